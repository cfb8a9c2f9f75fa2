// The messaging library's configuration calls: the service names of a
// server's auxiliary processes, the inverse of the S&F argument building, the
// splitting of a DLGP's command-line arguments, and a trimming helper.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "external/telmo_status.h"
#include "util/fixed_text.h"

/// Service names of a server's auxiliary processes, derived from its DLGP
/// service. The rule (stable, at most 31 characters, compared ignoring case
/// like every service name):
///   - a DLGP service of at most 27 characters gets a 4-character suffix:
///       S&F     "<svc>_SCN" scanner, "<svc>_STO" store, "<svc>_FWD" forward
///       OPC UA  "<svc>_UAR" read,    "<svc>_UAW" write, "<svc>_UAU" unsolicited
///   - a longer one (28 to 31 characters) keeps its first 16 characters, then
///     "~", ten characters (0-9, A-V) of a 64-bit FNV-1a hash of the whole
///     name in upper case, then the suffix: 31 characters. Distinct names
///     keep distinct results unless their hashes collide (50 bits).
///   - an empty DLGP service gives empty names.
/// The six suffixes differ, so the six names of one server differ, and none
/// of them equals the DLGP service it came from.
void TELMO_MGMT_GetStoFwdServ(std::string_view dlgp_service, telmo::Text32& scanner, telmo::Text32& store,
                              telmo::Text32& forward);
void TELMO_MGMT_GetOPCUAServ(std::string_view dlgp_service, telmo::Text32& read, telmo::Text32& write,
                             telmo::Text32& unsolicited);

/// The library's view of a component: its unexpanded executable and its
/// arguments (the caller's record stays its own).
struct SnfComponentView {
  std::string_view executable;
  std::string_view arguments;
};

/// The store-and-forward options of a server as the S&F arguments carry
/// them: each text at most 15 characters, "Default" for the process's own
/// default.
struct SnfOptions {
  telmo::FixedText<16> forward_timeout;
  telmo::FixedText<16> forward_msgs;
  telmo::FixedText<16> store_timeout;
  telmo::FixedText<16> store_notaginfo;
  int max_time_in_queue = 72;
  int max_queue_file_size = 0;
  telmo::FixedText<16> scanner_timeout;
  telmo::FixedText<16> scanner_notaginfo;
  telmo::FixedText<16> scanner_device;
  friend bool operator==(const SnfOptions&, const SnfOptions&) = default;
};

/// Fills `block` from the arguments of a generated S&F component, inverting
/// the building of the S&F options (see config/components.h):
///   store:   "<dlgp> [path] [timeout] [NOTAGINFO] -MaxTimeInQueue n  -MaxQueueFileSize n "
///   scanner: "<dlgp> [timeout] [NOTAGINFO] [DEVICE]"
///   forward: "<dlgp> [path] [timeout] [MSGS m]"
/// `store_file_path` is the path that was appended (nothing is expected when
/// it is "Default" ignoring case). A flag found gives "1". Options that are
/// absent leave the block's field as it was; a component that is not an S&F
/// process (by its executable), or whose arguments do not start with
/// `dlgp_service`, leaves the block untouched.
void TELMO_MGMT_ParseSNFArguments(SnfComponentView component, std::string_view dlgp_service,
                                  std::string_view store_file_path, SnfOptions& block);

/// The texts a DLGP's command line carries. The arguments are split with the
/// Windows command-line rules (double quotes group); each option below,
/// matched ignoring case, takes the next argument as its value; other
/// arguments are ignored; an option given twice keeps the last value. The
/// texts of options not given are empty.
///   [0] -TCPSERVICE name        the DLGP's own TCP service
///   [1] -OPCSERVER progid       the OPC server it reads
///   [2] -OPCNODE node           the node of the OPC server
///   [3] -WATCHDOGTAG tag        the watchdog tag name
///   [4] -GROUP name             the OPC group
///   [5] -UPDATERATE ms          the group's update rate
///   [6] -WATCHDOGTIMEOUT n      the watchdog time-out (TELMO_DIFFTIME units)
///   [7] -DEADBAND percent       the group's dead band
///   [8] -LOCALEID id            the locale of the OPC connection
///   [9] -LOGLEVEL n             the DLGP's log level
struct OpcDaArguments {
  static constexpr std::size_t kCount = 10;
  static constexpr std::size_t kTcpService = 0;
  static constexpr std::size_t kOpcServer = 1;
  static constexpr std::size_t kOpcNode = 2;
  static constexpr std::size_t kWatchdogTag = 3;
  static constexpr std::size_t kGroup = 4;
  static constexpr std::size_t kUpdateRate = 5;
  static constexpr std::size_t kWatchdogTimeout = 6;
  static constexpr std::size_t kDeadband = 7;
  static constexpr std::size_t kLocaleId = 8;
  static constexpr std::size_t kLogLevel = 9;
  std::array<std::string, kCount> texts;
};
/// The option names in the order of the texts ("-TCPSERVICE" ...).
extern const std::array<std::string_view, OpcDaArguments::kCount> kOpcDaOptionNames;

/// Splits `arguments` into `parsed`. An option that ends the line without a
/// value, or is followed by another option of the list, loads (1, EINVAL)
/// into `status` and returns false (`parsed` holds what was read).
bool TELMO_MGMT_ParseOpcDaArguments(std::string_view arguments, OpcDaArguments& parsed, StatusBlock& status);

/// The text without its leading white space (blanks, tabs, line ends, form
/// feeds, vertical tabs).
[[nodiscard]] std::string_view telmo_lefttrim(std::string_view text) noexcept;
