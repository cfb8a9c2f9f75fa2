// The messaging library's process call.
//
// The launch verb ("runas" or "open") and the flag steer how Windows shows
// or elevates a new process; a Linux process has no such choice, so both are
// accepted and ignored. The account is the logon token's, nothing else.
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "external/telmo_log.h"
#include "external/telmo_process.h"
#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/file_io.h"
#include "platform/win_error.h"

namespace {

/// The label as a file name: a service name from a server file must not lead
/// the log anywhere but into the components folder.
std::string LogFileStem(std::string_view label) {
  std::string stem;
  for (const char c : label) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.';
    stem += plain ? c : '_';
  }
  if (stem.front() == '.') stem.front() = '_';
  return stem;
}

/// Size past which the log shared by the processes without a label is
/// renewed at a start (one earlier file kept).
constexpr std::uint64_t kSharedLogLimit = 4u << 20;

/// Prepares the output log of a new start in $TELMO_LOG_DIR/components: a
/// process with a label writes <label>.log afresh and the log of its previous
/// start becomes <label>.log.1; processes without one all append to
/// component.log, which is renewed only when it has grown past a bound (a
/// renewal at each start would put away the output of the others still
/// running). Empty when the log cannot be made: the output is then discarded
/// rather than the start refused.
std::string PrepareOutputLog(std::string_view label) {
  namespace fs = std::filesystem;
  const fs::path directory = fs::path(telmo::platform::LogDir()) / "components";
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) {
    TELMO_MGMT_LogMessage("telmo_process", "TELMO_MGMT_CreateProcess", __LINE__,
                          "Cannot create %s (%s): output of %.*s discarded\n", directory.string().c_str(),
                          ec.message().c_str(), static_cast<int>(label.size()), label.data());
    return {};
  }
  const std::string log = (directory / (label.empty() ? "component" : LogFileStem(label))).string() + ".log";
  if (!label.empty()) (void)telmo::platform::RenewKeepingPrevious(log);
  auto probe = telmo::platform::AppendFile::Open(log);
  if (probe && label.empty() && probe->Size() > kSharedLogLimit) {
    probe->Close();
    (void)telmo::platform::RenewKeepingPrevious(log);
    probe = telmo::platform::AppendFile::Open(log);
  }
  if (!probe) {
    TELMO_MGMT_LogMessage("telmo_process", "TELMO_MGMT_CreateProcess", __LINE__,
                          "Cannot open %s (error %u): output of %.*s discarded\n", log.c_str(),
                          static_cast<unsigned>(probe.error()),
                          static_cast<int>(label.size()), label.data());
    return {};
  }
  return log;
}

int Failed(DWORD error, StatusBlock& status) {
  SetLastError(error);
  TELMO_SERVER_LDBLK(1, static_cast<std::int32_t>(error), status);
  return 0;
}

}  // namespace

int TELMO_MGMT_CreateProcess(std::string_view label, std::string_view /*verb*/, std::string_view program,
                             std::string_view arguments, LogonToken* logon, const char* working_directory,
                             ProcessHandle* process, int /*flag*/, StatusBlock& status) {
  // The status block is only ever loaded here, never cleared: callers may
  // carry an earlier error through (an expansion failure, for one).
  telmo::platform::SpawnOptions options;
  options.program = telmo::platform::NativePath(program);
  options.arguments = telmo::platform::SplitCommandLine(arguments);
  // The service the manager expects the process to serve (its label).
  options.environment.emplace_back(kComponentServiceVariable, std::string(label));
  if (logon != nullptr && logon->not_logged_on == 0) {
    // A logon that claims a user but holds no token must not quietly run
    // the program as the manager's own account.
    if (!logon->token) return Failed(ERROR_INVALID_HANDLE, status);
    options.account = logon->token.get();
  }
  if (working_directory != nullptr) options.working_directory = working_directory;
  options.output_path = PrepareOutputLog(label);

  auto started = telmo::platform::SpawnProcess(options);
  if (!started) return Failed(started.error(), status);
  if (process != nullptr) *process = std::move(started).value();
  return 1;
}
