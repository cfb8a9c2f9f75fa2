// The configuration contract: every path and address the programs use comes
// from these names (process environment first, then the KEY=VALUE file
// $TELMO_STATE_DIR/environment), with the defaults below.
//
//   TELMO_STATE_DIR  /var/lib/telmo        TELMO_LOG_DIR   /var/log/telmo
//   TELMO_NODE       host name             TELMO_SERVICES_FILE $TELMO_STATE_DIR/services
//   TELMO_LISTEN     127.0.0.1             TELMOROOT, TELMOROOTQ  /opt/telmo
//   TELMOIO          $TELMOROOT/io         TELMOIODATA     unset
//   TELMOMGMT        unset                 PROGRAMDATA     $TELMO_STATE_DIR/ProgramData
//   APPDATA          $TELMO_STATE_DIR/AppData   SystemRoot  $TELMO_STATE_DIR/Windows
//   ProgramFiles     $TELMO_STATE_DIR/ProgramFiles
//   ProgramFiles(x86)  $TELMO_STATE_DIR/ProgramFilesX86
//   TELMO_DIAG       off                   TELMO_TRACE     off
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace telmo::platform {

/// The value a name has in the process environment or the environment file;
/// nullopt when neither defines it. No defaults.
[[nodiscard]] std::optional<std::string> LookupEnvironment(std::string_view name);

/// LookupEnvironment, then the contract default of the name (table above);
/// nullopt for a name that is undefined and has no default.
[[nodiscard]] std::optional<std::string> LookupConfig(std::string_view name);

[[nodiscard]] std::string StateDir();  ///< TELMO_STATE_DIR
[[nodiscard]] std::string LogDir();    ///< TELMO_LOG_DIR

/// True when the name is set to "1" (TELMO_DIAG, TELMO_TRACE).
[[nodiscard]] bool FlagEnabled(std::string_view name);

/// Expands every %NAME% reference through LookupConfig. A reference that is
/// not defined stays as written; `all_expanded` tells whether every one was.
[[nodiscard]] std::string ExpandReferences(std::string_view text, bool* all_expanded = nullptr);

namespace detail {
// The system's part of the contract (environment_defaults.cpp of the backend):
// the host name and the default folders (on Windows: C:/ProgramData/TELMO/state,
// C:/ProgramData/TELMO/log, C:/Program Files/TELMO).
[[nodiscard]] std::string HostName();
/// $TELMO_STATE_DIR/services on Linux; %SystemRoot%\system32\drivers\etc\services on Windows.
[[nodiscard]] std::string DefaultServicesFile();
extern const char* const kDefaultStateDir;
extern const char* const kDefaultLogDir;
extern const char* const kDefaultRoot;
}  // namespace detail

}  // namespace telmo::platform
