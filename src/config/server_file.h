// Server files: one small comma-separated text file per server, named after
// its DLGP TCP service with the extension ".csd", in the management directory
// (TELMOMGMT). This header has the field reader (shared with the management
// parameters file and the S&F cleanup), the loader, the writer and the file's
// path; the line reader is in config/line_reader.h.
//
// Line syntax: see config/line_reader.h. A server file line is at most 1023
// bytes, the most the writer writes: a file with a longer line does not load
// (it could not be written back whole).
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

#include "config/line_reader.h"
#include "config/records.h"
#include "config/server_table.h"
#include "external/telmo_status.h"

class WatchdogTable;

namespace telmo::config {

inline constexpr std::string_view kServerFileExtension = ".csd";

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

/// The file the record was loaded from; for a record not loaded from a file,
/// the first file of the management directory named "<dlgp_service>.csd" in
/// any letter case, else "<TELMOMGMT>\<dlgp_service>.csd". nullopt when
/// TELMOMGMT is not defined or the service cannot name a file
/// (IsSafeServiceFileName).
[[nodiscard]] std::optional<std::string> ServerFilePath(const ServerRecord& record);

/// Loads one server file into a new record, or null with the reason in
/// `status` (initialised first), and a log line with the path and the reason:
/// (1, errno) and (15, 15001) when the file cannot be opened, is no regular
/// file, is larger than LineReader::kMaxFileSize or cannot be read to its
/// end; (15, 15002) no memory; (1, errno) and (15, 15003) a line
/// missing; (15, 15004) DLGP TCP service missing, too long or not a file name;
/// (15, 15005) fewer than two commas on the server line; (15, 15006) start-up
/// status; (15, 15021) check status; (15, 15020) store-and-forward usage;
/// (15, 15023) component count, or a component line without a name, or no
/// component line at all. A line longer than LineReader::kMaxLine fails the
/// file with the code of that line (15005, 15006, 15021, 15020, 15023).
/// Loading stops at the first error. The record remembers its file
/// (`server_file`) and its line 4 (`snf`). A file with more
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
/// that loads. A file that fails is left on disk and the next one loads. A
/// file whose DLGP TCP service (ignoring case) is a server loaded already is
/// logged and left alone: it is neither loaded nor ever written. Temporary
/// files of interrupted writes are removed first; a management directory
/// that cannot be listed is logged.
/// `status` ends holding the result of the last file (or the mutex failure).
void LoadAll(ServerTable& table, StatusBlock& status, WatchdogTable& watchdogs);
void LoadAll(ServerTable& table, StatusBlock& status);

/// Deletes, with a log line each, the temporary files that interrupted
/// writes of files matching `file_pattern` left in the management directory
/// (".NAME.XXXXXX"). LoadAll does it for the server files.
void RemoveInterruptedWrites(std::string_view file_pattern);

/// The text of the server file of `record`, exactly as the loader reads it
/// back (store-and-forward line from the record's `snf` when it has S&F
/// components, else rebuilt from the generated components' arguments). The
/// name is written with each "," as "^;" and each "^" as "^^"; the loader
/// turns "^;" back into "," and "^^" into "^".
[[nodiscard]] std::string BuildServerFile(const ServerRecord& record);

/// True when no line of `text` is longer than a server file line may be
/// (LineReader::kMaxLine), so that the file loads back.
[[nodiscard]] bool FitsLineReader(std::string_view text) noexcept;

/// Writes the server file of `record`: a temporary file in the same
/// directory, flushed, renamed over the old one, readable by the owner only.
/// A record whose file would hold a line too long to be read back is not
/// written: (1, E2BIG) and (15, 15001), and the old file stays.
/// On failure the old file stays whole, "Error %s opening server file %s\n"
/// (the temporary file cannot be created) or "Error %s writting to file %s\n"
/// (writing, flushing or renaming it failed) is logged and (1, errno) and
/// (15, 15001) are loaded; a missing TELMOMGMT
/// or a service that cannot name a file loads (15, 15001) and writes nothing.
bool WriteServerFile(const ServerRecord& record, StatusBlock& status);

}  // namespace telmo::config
