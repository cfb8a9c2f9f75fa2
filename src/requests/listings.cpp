#include "requests/listings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "config/manager_log.h"
#include "config/manager_state.h"
#include "external/telmo_clock.h"
#include "external/telmo_config.h"
#include "external/telmo_env.h"
#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_process.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"
#include "external/telmo_xml.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "supervision/launch.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

constexpr std::size_t kInitialXmlSize = 4000;
/// Most bytes a listing reply can carry (the named reply's header comes first).
constexpr std::size_t kMaxListingText = wire::kMaxPayload - mgmt::kNamedHeader;

// The result buffers, each reused by the next request of its kind (only the
// request worker serves listings).
std::string& ListingText() {
  static std::string text;
  return text;
}
std::vector<char>& XmlBuffer() {
  static std::vector<char> buffer;
  return buffer;
}
std::vector<std::uint8_t>& DlgpServices() {
  static std::vector<std::uint8_t> entries;
  return entries;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

ListingAnswer Failure(std::int32_t facility, std::int32_t code) {
  ListingAnswer answer;
  answer.send = true;
  TELMO_SERVER_LDBLK(facility, code, answer.status);
  return answer;
}

ListingAnswer MutexFailure(const char* label, const StatusBlock& status) {
  LogMutexFailure(label, status);
  ListingAnswer answer;
  answer.send = true;
  answer.status = status;
  return answer;
}

void LogClientOverflow(StatusBlock& status) {
  IdentityRecord id;
  TELMO_USR_GetApplicationID(id);
  StatusBlock scratch;
  TELMO_CLIENT_LOGMSG(id.user.view(), "\n", scratch);
  LogBlockUnderApplicationName(status);
}

void RefreshPorts(ServerRecord& server, const ServicePorts& ports) {
  server.dlgp_port = ports.Port(server.dlgp_service.view());
  if (!server.hist_service.empty()) server.hist_port = ports.Port(server.hist_service.view());
  if (server.snf_usage == 1) {
    Text32 scanner, store, forward;
    TELMO_MGMT_GetStoFwdServ(server.dlgp_service.view(), scanner, store, forward);
    server.scanner_port = ports.Port(scanner.view());
    server.store_port = ports.Port(store.view());
    server.forward_port = ports.Port(forward.view());
  }
  for (const auto& component : server.components) {
    if (component && !component->tcp_service.empty()) component->tcp_port = ports.Port(component->tcp_service.view());
  }
}

XmlServerView View(const ServerRecord& server) {
  XmlServerView view{server.name,         server.dlgp_service.view(), server.dlgp_port,       server.hist_service.view(),
                     server.hist_port,    server.startup_status,      server.health_check,    server.snf_usage,
                     server.store_file_path, server.scanner_port,     server.store_port,      server.forward_port,
                     server.username,     server.run_status,          server.desired_state,   {}};
  view.components.reserve(server.components.size());
  for (const auto& c : server.components) {
    if (!c) continue;
    view.components.push_back({c->name, c->tcp_service.view(), c->tcp_port, c->executable, c->arguments, c->run_status});
  }
  return view;
}

}  // namespace

std::string ListingOutputFileName(const char* pattern, std::int64_t time) {
  const TelmoLocalTime t = TELMO_CLIENT_LOCALTIME(time);
  return Format(pattern, t.year % 100, t.month + 1, t.day, t.hours, t.minutes, t.seconds,
                static_cast<int>(time / 100));
}

bool ReadListingFile(const std::string& path, std::string& text, StatusBlock& status) {
  text.clear();
  // Only a regular file is read, without blocking on anything else.
  int error = 0;
  platform::InputFile file = platform::InputFile::OpenRegular(path, error);
  bool ok = error == 0;
  if (!ok) {
    std::printf("error opening %s\n", path.c_str());
    std::fflush(stdout);
    MGR_LOG("Error %s opening parameters file %s\n", std::strerror(error), path.c_str());
    TELMO_SERVER_LDBLK(kFacilitySystem, error, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
  }
  char buffer[8192];
  while (ok) {
    const long n = file.Read(buffer, error);
    if (n < 0) {
      TELMO_SERVER_LDBLK(kFacilitySystem, error, status);
      TELMO_SERVER_LDBLK(kFacilityManagement, 15003, status);
      ok = false;
    } else if (n == 0) {
      break;
    } else if (text.size() + static_cast<std::size_t>(n) > kMaxListingText) {
      TELMO_SERVER_LDBLK(kFacilityManagement, 15012, status);
      ok = false;
    } else {
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (!ok) text.clear();
  file = {};  // closed before it is deleted
  (void)DeleteFileA(path);
  return ok;
}

ListingAnswer RunListingProgram(const ListingProgram& listing, std::string_view requested) {
  std::int64_t now = 0;
  TELMO_CLIENT_GETTIME(now);
  std::string expanded;
  (void)TELMO_MGMT_ExpandFileName(ListingOutputFileName(listing.output_pattern, now), expanded);
  // The program is a program of this system: it is handed the file's path
  // in the system's own form.
  const std::string output = platform::NativePath(expanded);
  // The output file name goes as one argument, exactly: `... "<file>"`.
  std::string arguments(requested);
  arguments += " \"";
  arguments += output;
  arguments += '"';
  if (arguments.size() >= kListingArgumentField) {
    MGR_LOG("Arguments of %llu characters for component %s refused: more than the %llu the command line holds\n",
            static_cast<unsigned long long>(requested.size()), listing.action,
            static_cast<unsigned long long>(kListingArgumentField - 1));
    return Failure(kFacilityMessaging, kMsgMalformedPayload);
  }
  std::string program;
  (void)TELMO_MGMT_ExpandFileName(listing.program, program);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(output).parent_path(), ignored);

  StatusBlock status;
  LogonToken no_logon;  // the listing program runs under the service's own account
  ProcessHandle process;
  if (!TELMO_MGMT_CreateProcess(listing.action, supervision::LaunchVerb(), program, arguments, &no_logon, nullptr,
                                &process, 0, status)) {
    StatusBlock scratch;
    TELMO_SERVER_LOGBLK(kOwnServiceName, status, scratch);
    MGR_LOG("System error %d creating process for component %s at [%s] arg [%s]\n", status.severity, listing.action,
            program.c_str(), arguments.c_str());
    return {};
  }
  DWORD exit_code = STILL_ACTIVE;
  for (int wait = 0; wait < kListingWaits; ++wait) {
    if (!GetExitCodeProcess(process, &exit_code) || exit_code != STILL_ACTIVE) break;
    (void)WaitForSingleObject(process, 1000);
  }
  if (GetExitCodeProcess(process, &exit_code) && exit_code == STILL_ACTIVE) {
    // A program that has not ended has not finished its listing: what the
    // file holds is partial. It is ended (it is this manager's own child),
    // and the requester is told.
    MGR_LOG("Component %s at [%s] still running after %d seconds: ended, its listing discarded\n", listing.action,
            program.c_str(), kListingWaits);
    (void)TerminateProcess(process, 1);
    (void)WaitForSingleObject(process, 2000);
    (void)DeleteFileA(output);
    return Failure(kFacilityMessaging, kMsgTimeout);
  }
  (void)CloseHandle(process);

  std::string& text = ListingText();
  if (!ReadListingFile(output, text, status)) {
    StatusBlock scratch;
    TELMO_SERVER_LOGBLK(kOwnServiceName, status, scratch);
    return {};
  }
  ListingAnswer answer;
  answer.send = true;
  answer.data = Bytes(text);
  return answer;
}

ListingAnswer EnumerateServers(ServerTable& table) {
  StatusBlock lock_status;
  ServerTableLock table_lock(table, lock_status);
  if (!table_lock.owns()) return MutexFailure("TELMO_MGMT_EnumerateServers", lock_status);
  if (table.size() > kMaxEnumeratedServers) {
    ListingAnswer answer = Failure(kFacilityClient, 124002);
    LogClientOverflow(answer.status);
    return answer;
  }
  const ServicePorts ports = ServicePorts::Load();
  std::vector<XmlServerView> views;
  views.reserve(table.size());
  for (const auto& server : table.records()) {
    RefreshPorts(*server, ports);
    views.push_back(View(*server));
  }
  ListingAnswer answer;
  answer.send = true;
  if (views.empty()) return answer;
  // The XML is built and copied while the mutex is held: no record it reads
  // can be freed meanwhile.
  // The buffer keeps the size the last listing needed: a node's listing
  // changes little between requests, so the text is built once.
  std::vector<char>& buffer = XmlBuffer();
  std::size_t size = std::max(kInitialXmlSize, buffer.size());
  for (;;) {
    if (buffer.size() < size) buffer.resize(size);
    if (TELMO_MGMT_ServersToXMLStream(buffer, size, views) == 0) break;
  }
  answer.data = {reinterpret_cast<const std::uint8_t*>(buffer.data()), std::min(size, buffer.size())};
  return answer;
}

ListingAnswer EnumerateDlgpServices(ServerTable& table) {
  StatusBlock lock_status;
  ServerTableLock table_lock(table, lock_status);
  if (!table_lock.owns()) return MutexFailure("TELMO_MGMT_EnumerateDLGPServices", lock_status);
  std::vector<std::uint8_t>& entries = DlgpServices();
  entries.clear();
  for (const auto& server : table.records()) {
    if (server->dlgp_service.empty()) continue;
    const auto& field = server->dlgp_service.bytes();  // zero-padded, at most 31 characters and a NUL
    entries.insert(entries.end(), field.begin(), field.end());
  }
  static constexpr std::uint8_t kNone[1] = {0};
  ListingAnswer answer;
  answer.send = true;
  answer.data = entries.empty() ? std::span<const std::uint8_t>(kNone) : std::span<const std::uint8_t>(entries);
  return answer;
}

}  // namespace telmo::requests
