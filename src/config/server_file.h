// Server files: one small comma-separated text file per server, named after
// its DLGP TCP service with the extension ".csd", in the management directory
// (TELMOMGMT). This header has the line reader and the field reader (shared
// with the management parameters file and the S&F cleanup), the loader, the
// writer and the file's path.
//
// Line syntax: a line is at most 1023 bytes (a longer physical line arrives
// in pieces, each taken as a line); the line feed is removed, and carriage
// returns before it too (the text mode of the files' home system turns
// "\r\n" into "\n"; further ones could not be written back). A line
// whose first character that is not a blank or tab is "#" is a comment;
// comments and empty lines are skipped but counted.
//
// Field syntax: fields are numbered from 1. To reach field k the reader
// repeats k times: skip blanks, tabs and at most one comma, then take the
// text up to the next comma or the end of the line. Fields keep their
// trailing blanks but not trailing carriage returns; no field can hold a comma.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/records.h"
#include "config/server_table.h"
#include "external/telmo_status.h"

class WatchdogTable;

namespace telmo::config {

inline constexpr std::string_view kServerFileExtension = ".csd";

/// Reads the lines of a text file (read whole, then handed out line by line).
class LineReader {
 public:
  static constexpr std::size_t kMaxPiece = 1023;

  /// Opens and reads `path` ("\" or "/" separators). nullopt when it cannot be
  /// opened, with `error` the errno of the failed call. A read error is
  /// logged ("Error %s reading file %s\n") and ends the file there.
  static std::optional<LineReader> Open(std::string_view path, int& error);
  /// A reader over text already in memory; `name` is used in messages.
  LineReader(std::string content, std::string name);

  /// The next line that is neither empty nor a comment; nullopt at the end.
  /// The view stays valid as long as the reader.
  std::optional<std::string_view> NextLine();
  /// Physical lines read so far (skipped ones included).
  [[nodiscard]] int line_number() const noexcept { return line_number_; }
  [[nodiscard]] const std::string& name() const noexcept { return name_; }

 private:
  std::string content_;
  std::string name_;
  std::size_t pos_ = 0;
  int line_number_ = 0;
};

enum class FieldStatus {
  kPresent,          ///< copied
  kAbsent,           ///< empty and not required: the destination is empty
  kTooLong,          ///< "%s bad format at line %d\n" printed; destination empty
  kRequiredMissing,  ///< "%s not present in test file at line %d\n" printed; destination empty
};

struct FieldSpec {
  const char* display_name;
  bool required = false;
  std::size_t max_length = 0;  ///< 0: no limit
};

/// Field `index` (from 1) of `line` into `out`, by the rules above. The
/// messages go to standard output with `line_number`. A required field that
/// is empty never ends the process: the caller fails the file with the error
/// code of its line.
FieldStatus ReadField(std::string_view line, int index, const FieldSpec& spec, int line_number, std::string& out);

/// Only the raw text of field `index`, without messages or limits.
[[nodiscard]] std::string_view FieldText(std::string_view line, int index) noexcept;

/// Numbers as the files hold them. ParseInteger accepts leading white space,
/// a sign and at least one digit, and ignores what follows (so "300 " is
/// 300); false for no digits or a value outside 32 bits. LeadingNumber is the
/// same but gives 0 when there is no number and saturates.
[[nodiscard]] bool ParseInteger(std::string_view text, int& value) noexcept;
[[nodiscard]] int LeadingNumber(std::string_view text) noexcept;

/// Fields 3 to 11 of the store-and-forward line (line 4) with their rules:
/// timeouts and MSGS empty or below their threshold (3, 3, 5, 2) give
/// "Default"; flags empty or not 1 give "Default", and the scanner NOTAGINFO
/// gives way to the store NOTAGINFO when both are 1; max time in queue outside
/// 1..8760 gives 72, max queue file size outside 0..1000000 gives 0. Values that
/// pass keep their text as written.
[[nodiscard]] SnfParameters ReadSnfParameters(std::string_view line, int line_number);

/// True when `service` can name a file in the management directory: not
/// empty, no "\" or "/", no "..", no control character and none of the
/// characters <>:"|?* that a file name cannot hold.
[[nodiscard]] bool IsSafeServiceFileName(std::string_view service) noexcept;

/// "<TELMOMGMT>\<dlgp_service>.csd"; nullopt when TELMOMGMT is not defined
/// or the service cannot name a file (IsSafeServiceFileName).
[[nodiscard]] std::optional<std::string> ServerFilePath(const ServerRecord& record);

/// Loads one server file into a new record, or null with the reason in
/// `status` (initialised first): (1, errno) and (15, 15001) when the file
/// cannot be opened; (15, 15002) no memory; (1, errno) and (15, 15003) a line
/// missing; (15, 15004) DLGP TCP service missing, too long or not a file name;
/// (15, 15005) fewer than two commas on the server line; (15, 15006) start-up
/// status; (15, 15021) check status; (15, 15020) store-and-forward usage;
/// (15, 15023) component count, or a component line without a name, or no
/// component line at all. Loading stops at the first error. A file with more
/// component lines than its count has the extra lines ignored (logged); one
/// with fewer has its count lowered to the lines read. A server whose DLGP is
/// asynchronous is registered in `watchdogs`, whose errors fail the file too.
std::unique_ptr<ServerRecord> LoadServer(std::string_view path, StatusBlock& status, WatchdogTable& watchdogs);
/// The same with the process-wide watchdog monitor table.
std::unique_ptr<ServerRecord> LoadServer(std::string_view path, StatusBlock& status);

/// The loader over a reader (the fuzz target feeds it arbitrary bytes).
std::unique_ptr<ServerRecord> ParseServerFile(LineReader& reader, StatusBlock& status, WatchdogTable& watchdogs);

/// Start-up: under the table mutex, empties the table and loads every "*.csd"
/// file of the management directory in listing order, appending each record
/// that loads. A file that fails is left on disk and the next one loads.
/// `status` ends holding the result of the last file (or the mutex failure).
void LoadAll(ServerTable& table, StatusBlock& status, WatchdogTable& watchdogs);
void LoadAll(ServerTable& table, StatusBlock& status);

/// The text of the server file of `record`, exactly as the loader reads it
/// back (store-and-forward line rebuilt from the generated components). The
/// name is written with each "," as "^;" and each "^" as "^^"; the loader
/// turns "^;" back into "," and "^^" into "^".
[[nodiscard]] std::string BuildServerFile(const ServerRecord& record);

/// True when every line of `text` fits one read of the line reader (at most
/// 1023 characters), so that the file reads back line for line.
[[nodiscard]] bool FitsLineReader(std::string_view text) noexcept;

/// Writes the server file of `record`: a temporary file in the same
/// directory, flushed, renamed over the old one, readable by the owner only.
/// A record whose file would hold a line too long to be read back is not
/// written: (1, E2BIG) and (15, 15001), and the old file stays.
/// On failure the old file stays whole, "Error %s opening server file %s\n"
/// is logged and (1, errno) and (15, 15001) are loaded; a missing TELMOMGMT
/// or a service that cannot name a file loads (15, 15001) and writes nothing.
bool WriteServerFile(const ServerRecord& record, StatusBlock& status);

}  // namespace telmo::config
