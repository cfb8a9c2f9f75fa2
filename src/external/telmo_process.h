// The messaging library's process call and the logon holder it takes.
#pragma once

#include <string_view>

#include "external/telmo_status.h"
#include "platform/accounts.h"
#include "platform/process.h"

/// A logon: the token (empty when there is none) and whether no logon took
/// place or it failed (1) or the token holds a logged-on user (0).
struct LogonToken {
  TokenHandle token;
  BYTE not_logged_on = 1;
};

/// Every process started here finds its label (for a component: the TCP
/// service the manager expects it to serve) in this environment name.
inline constexpr const char* kComponentServiceVariable = "TELMO_COMPONENT_SERVICE";

/// Starts `program` with `arguments` (one text, split with the Windows
/// command-line rules, never given to a shell). With a logged-on token the
/// child runs under that account. `working_directory` and `process` may be
/// null. The child carries the manager's marker (its image name is the file
/// name of `program`); its standard output and error go to
/// $TELMO_LOG_DIR/components/<label>.log (the previous one kept as .1).
/// Returns nonzero when the process was started; else 0 with the failure in
/// `status` (facility 1 and the Win32 error of the failed step).
int TELMO_MGMT_CreateProcess(std::string_view label, std::string_view verb, std::string_view program,
                             std::string_view arguments, LogonToken* logon, const char* working_directory,
                             ProcessHandle* process, int flag, StatusBlock& status);
