#include <algorithm>
#include <cerrno>
#include <climits>
#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "external/telmo_config.h"
#include "platform/process.h"
#include "util/text.h"

namespace {

constexpr std::size_t kPlainLimit = telmo::Text32::kMaxLength;  // 31
constexpr std::size_t kKeptPrefix = 16;
constexpr std::size_t kHashChars = 10;

std::uint64_t Fnv1a(std::string_view text) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  return h;
}

// Service name of an auxiliary process: "<svc><suffix>", or for a name too
// long to take the suffix, its first 16 characters, "~", ten base-32 digits
// of the hash of the whole name in upper case, and the suffix.
telmo::Text32 Derive(std::string_view dlgp_service, std::string_view suffix) {
  if (dlgp_service.empty()) return {};
  std::string name;
  if (dlgp_service.size() + suffix.size() <= kPlainLimit) {
    name.assign(dlgp_service);
  } else {
    static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
    std::uint64_t h = Fnv1a(telmo::ToUpper(dlgp_service));
    name.assign(dlgp_service.substr(0, kKeptPrefix));
    name += '~';
    for (std::size_t i = 0; i < kHashChars; ++i, h >>= 5) name += kDigits[h & 31u];
  }
  name += suffix;
  return telmo::Text32(name);
}

// Reads " -Name %d " at the start of `text`; advances past it.
bool TakeNumberOption(std::string_view& text, std::string_view option, int& value) {
  if (!text.starts_with(option)) return false;
  text.remove_prefix(option.size());
  std::size_t i = (!text.empty() && text.front() == '-') ? 1 : 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  int v = 0;
  if (std::from_chars(text.data(), text.data() + i, v).ec == std::errc()) value = v;
  text.remove_prefix(i);
  if (text.starts_with(' ')) text.remove_prefix(1);
  return true;
}

// " <path>" at the start of `text`, when a path was appended.
void SkipPath(std::string_view& text, bool path_given, std::string_view path) {
  if (!path_given) return;
  if (text.starts_with(' ') && text.substr(1).starts_with(path)) text.remove_prefix(1 + path.size());
}

using telmo::LeadingNumber;

// The loader keeps a timeout that is not exactly "Default" only when it is
// "Default" in another letter case or a number at or above its threshold, and
// a MSGS value only when it is a number of 2 or more; only such texts can
// stand in arguments, which settles where an option ends when a text itself
// holds " MSGS " or " NOTAGINFO".
// A field as the field reader yields it: not empty, at most 15 characters,
// no leading blank or tab, no trailing carriage return, no comma.
bool PlausibleField(std::string_view text) {
  return !text.empty() && text.size() <= 15 && text.front() != ' ' && text.front() != '\t' && text.back() != '\r' &&
         text.find(',') == std::string_view::npos;
}
bool PlausibleTimeout(std::string_view text, int threshold) {
  return PlausibleField(text) && text != "Default" &&
         (telmo::EqualsIgnoreCase(text, "Default") || LeadingNumber(text) >= threshold);
}
bool PlausibleMsgs(std::string_view text) { return PlausibleField(text) && LeadingNumber(text) >= 2; }
// Nothing, or " <timeout>" with a plausible timeout.
bool PlausibleTimeoutPart(std::string_view part, int threshold) {
  return part.empty() || (part.front() == ' ' && PlausibleTimeout(part.substr(1), threshold));
}

// What is left is " <timeout>" or nothing.
void TakeTimeout(std::string_view text, telmo::FixedText<16>& timeout) {
  if (text.size() > 1 && text.front() == ' ') timeout.assign(text.substr(1));
}

using Flag = std::pair<std::string_view, telmo::FixedText<16>*>;

// "[ <timeout>][ <flag>]..." with the flags given from last to first: a flag
// found at the end is taken when what stays before it can still be read.
void TakeTimeoutAndFlags(std::string_view part, int threshold, std::initializer_list<Flag> flags,
                         telmo::FixedText<16>& timeout) {
  for (const auto& [flag, target] : flags) {
    if (!part.ends_with(flag)) continue;
    const std::string_view before = part.substr(0, part.size() - flag.size());
    bool readable = PlausibleTimeoutPart(before, threshold);
    for (const Flag& other : flags) {
      if (other.first != flag && before.ends_with(other.first)) readable = true;
    }
    if (!readable) continue;
    target->assign("1");
    part = before;
  }
  TakeTimeout(part, timeout);
}

}  // namespace

void TELMO_MGMT_GetStoFwdServ(std::string_view dlgp_service, telmo::Text32& scanner, telmo::Text32& store,
                              telmo::Text32& forward) {
  scanner = Derive(dlgp_service, "_SCN");
  store = Derive(dlgp_service, "_STO");
  forward = Derive(dlgp_service, "_FWD");
}

void TELMO_MGMT_GetOPCUAServ(std::string_view dlgp_service, telmo::Text32& read, telmo::Text32& write,
                             telmo::Text32& unsolicited) {
  read = Derive(dlgp_service, "_UAR");
  write = Derive(dlgp_service, "_UAW");
  unsolicited = Derive(dlgp_service, "_UAU");
}

void TELMO_MGMT_ParseSNFArguments(SnfComponentView component, std::string_view dlgp_service,
                                  std::string_view store_file_path, SnfOptions& block) {
  const std::string_view executable = component.executable;
  const bool is_store = executable.find("Telmo_sf_store") != std::string_view::npos;
  const bool is_scanner = executable.find("Telmo_sf_scanner") != std::string_view::npos;
  const bool is_forward = executable.find("Telmo_sf_forward") != std::string_view::npos;
  if (!is_store && !is_scanner && !is_forward) return;
  std::string_view rest = component.arguments;
  if (!rest.starts_with(dlgp_service)) return;
  rest.remove_prefix(dlgp_service.size());
  const bool path_given = !telmo::EqualsIgnoreCase(store_file_path, "Default");

  // One kind per component in practice; should an executable name more than
  // one, the parts follow each other in the order store, scanner, forward.
  if (is_store) {
    SkipPath(rest, path_given, store_file_path);
    const std::size_t anchor = rest.find(" -MaxTimeInQueue ");
    if (anchor != std::string_view::npos) {
      const std::string_view middle = rest.substr(0, anchor);
      rest.remove_prefix(anchor);
      TakeTimeoutAndFlags(middle, 3, {{" NOTAGINFO", &block.store_notaginfo}}, block.store_timeout);
      TakeNumberOption(rest, " -MaxTimeInQueue ", block.max_time_in_queue);
      TakeNumberOption(rest, " -MaxQueueFileSize ", block.max_queue_file_size);
    }
  }
  if (is_scanner && !is_forward) {
    // (With a forward part after it, the scanner's part could not be told
    // from the forward's path and timeout: it is left out.)
    TakeTimeoutAndFlags(rest, 3, {{" DEVICE", &block.scanner_device}, {" NOTAGINFO", &block.scanner_notaginfo}},
                        block.scanner_timeout);
  }
  if (is_forward) {
    SkipPath(rest, path_given, store_file_path);
    // The last " MSGS " whose value and timeout part both read back.
    for (std::size_t at = rest.rfind(" MSGS "); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : rest.rfind(" MSGS ", at - 1)) {
      const std::string_view msgs = rest.substr(at + 6);
      if (PlausibleMsgs(msgs) && PlausibleTimeoutPart(rest.substr(0, at), 5)) {
        block.forward_msgs.assign(msgs);
        rest = rest.substr(0, at);
        break;
      }
    }
    TakeTimeout(rest, block.forward_timeout);
  }
}

const std::array<std::string_view, OpcDaArguments::kCount> kOpcDaOptionNames = {
    "-TCPSERVICE", "-OPCSERVER",      "-OPCNODE",  "-WATCHDOGTAG", "-GROUP",
    "-UPDATERATE", "-WATCHDOGTIMEOUT", "-DEADBAND", "-LOCALEID",    "-LOGLEVEL"};

namespace {
int OpcDaOption(std::string_view argument) noexcept {
  for (std::size_t i = 0; i < kOpcDaOptionNames.size(); ++i) {
    if (telmo::EqualsIgnoreCase(argument, kOpcDaOptionNames[i])) return static_cast<int>(i);
  }
  return -1;
}
}  // namespace

bool TELMO_MGMT_ParseOpcDaArguments(std::string_view arguments, OpcDaArguments& parsed, StatusBlock& status) {
  const std::vector<std::string> argv = telmo::platform::SplitCommandLine(arguments);
  bool ok = true;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const int option = OpcDaOption(argv[i]);
    if (option < 0) continue;
    if (i + 1 >= argv.size() || OpcDaOption(argv[i + 1]) >= 0) {
      ok = false;
      continue;
    }
    parsed.texts[static_cast<std::size_t>(option)] = argv[++i];
  }
  if (!ok) TELMO_SERVER_LDBLK(kFacilitySystem, EINVAL, status);
  return ok;
}

std::string_view telmo_lefttrim(std::string_view text) noexcept {
  const std::size_t first = text.find_first_not_of(" \t\r\n\v\f");
  return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}
