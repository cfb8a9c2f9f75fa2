#include <cstring>

#include "external/telmo_status.h"
#include "util/text.h"

bool StatusBlock::holds(std::int32_t facility, std::int32_t code) const noexcept {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (codes[i].facility == facility && codes[i].code == code) return true;
  }
  return false;
}

std::string StatusBlock::describe() const {
  std::string out;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!out.empty()) out += "; ";
    out += telmo::Format("(%d,%d) ", codes[i].facility, codes[i].code);
    out += TELMO_StatusText(codes[i].facility, codes[i].code);
  }
  return out;
}

void TELMO_SERVER_INITBLK(StatusBlock& block) noexcept { block = StatusBlock{}; }
void TELMO_CLIENT_INITBLK(StatusBlock& block) noexcept { block = StatusBlock{}; }

void TELMO_SERVER_LDBLK(std::int32_t facility, std::int32_t code, StatusBlock& block) noexcept {
  if (block.count < StatusBlock::kMaxCodes) block.codes[block.count++] = StatusCode{facility, code};
  block.severity = code > 0 ? code : 1;
}

void TELMO_CLIENT_LDBLK(std::int32_t facility, std::int32_t code, StatusBlock& block) noexcept {
  TELMO_SERVER_LDBLK(facility, code, block);
}

void TELMO_LoadCodes(const StatusBlock& from, StatusBlock& to) noexcept {
  for (std::uint32_t i = 0; i < from.count && i < StatusBlock::kMaxCodes; ++i) {
    TELMO_SERVER_LDBLK(from.codes[i].facility, from.codes[i].code, to);
  }
}

namespace {
struct Text {
  std::int32_t code;
  const char* text;
};
constexpr Text kManagementTexts[] = {
    {15001, "cannot open or create the file"},
    {15002, "no memory for the server record"},
    {15003, "the file ends before a required line"},
    {15004, "DLGP TCP service name too long"},
    {15005, "server line has fewer than two commas"},
    {15006, "startup status is not Run or DontRun"},
    {15012, "out of memory"},
    {15014, "cannot log on as the server's account"},
    {15016, "cannot expand the executable path"},
    {15017, "no server with that DLGP TCP service"},
    {15018, "start failed"},
    {15019, "stop failed"},
    {15020, "store-and-forward usage is not StoreForward or NoStoreForward"},
    {15021, "check status (or check period) too long or not a number"},
    {15022, "no status given"},
    {15023, "component count too long, not a number or below 1"},
    {15027, "DLGP TCP service not registered"},
    {15028, "historical DLGP TCP service not registered"},
    {15030, "executable not found"},
    {15031, "the account cannot log on"},
    {15032, "DLGP TCP service registered with another port"},
    {15033, "historical DLGP TCP service registered with another port"},
    {15035, "S&F scanner service not registered"},
    {15036, "S&F scanner service registered with another port"},
    {15037, "S&F store service not registered"},
    {15038, "S&F store service registered with another port"},
    {15039, "S&F forward service not registered"},
    {15040, "S&F forward service registered with another port"},
    {15042, "the DLGP component's TCP service differs from the server's"},
    {15043, "the DLGP's -TCPSERVICE argument differs from the server's"},
    {15044, "time-out too long or not a number"},
    {15045, "request refused: the requester is not on this node"},
    {15046, "request refused: the manager is stopping"},  // this manager's own
};
}  // namespace

std::string TELMO_StatusText(std::int32_t facility, std::int32_t code) {
  switch (facility) {
    case kFacilitySystem: return std::strerror(code);
    case kFacilityManagement:
      for (const auto& t : kManagementTexts) {
        if (t.code == code) return t.text;
      }
      break;
    case kFacilityMutex:
      switch (code) {
        case 14010: return "cannot create the server table mutex";
        case 14012: return "cannot close the server table mutex";
        case 14014: return "cannot take the server table mutex";
        case 14016: return "cannot release the server table mutex";
        default: break;
      }
      break;
    case kFacilityWatchdog:
      if (code == 4055) return "no memory for the watchdog monitor table";
      if (code == 4037) return "cannot parse the DLGP arguments";
      if (code == 4012) return "the service does not support the request";
      break;
    case kFacilityLogon: return telmo::Format("logon failed, Win32 error %d", code);
    case kFacilityClient:
      if (code == 124002) return "out of memory or too many servers";
      break;
    case 125:  // the messaging library's own codes (telmo_message.h)
      switch (code) {
        case 125001: return "the messaging library is not initialised";
        case 125002: return "service name empty or longer than 31 characters";
        case 125003: return "the service is not in the services file";
        case 125004: return "cannot listen on the service's port";
        case 125005: return "cannot connect to the service";
        case 125006: return "time-out";
        case 125007: return "the connection was closed";
        case 125008: return "malformed frame";
        case 125009: return "the message does not suit the call";
        case 125010: return "message too large";
        case 125011: return "malformed request payload";
        case 125012: return "unknown node";
        case 125013: return "system error";
        case 125014: return "no logical device of that name";
        case 125015: return "a logical device of that name exists already";
        case 125016: return "device name empty, or a name or value longer than 31 characters";
        case 125017: return "the logical device store cannot be read or written";
        default: break;
      }
      break;
    default: break;
  }
  return telmo::Format("error %d of facility %d", code, facility);
}
