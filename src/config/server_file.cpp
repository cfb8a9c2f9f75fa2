#include "config/server_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "config/components.h"
#include "config/globals.h"
#include "config/watchdog_table.h"
#include "external/telmo_config.h"
#include "external/telmo_env.h"
#include "external/telmo_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/win_error.h"
#include "config/file_lookups.h"
#include "util/base64.h"
#include "util/text.h"

namespace telmo::config {
namespace {

constexpr const char* kSource = "telmo_manager_utils";

bool IsBlankOrTab(char c) noexcept { return c == ' ' || c == '\t'; }

// Names are written with "," as "^;" (the files' own escape) and "^" as
// "^^", so that a name holding "^;" comes back as it was.
std::string EscapeName(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 8);
  for (const char c : name) {
    if (c == ',') {
      out += "^;";
    } else if (c == '^') {
      out += "^^";
    } else {
      out += c;
    }
  }
  return out;
}

std::string UnescapeName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '^' && i + 1 < text.size() && (text[i + 1] == ';' || text[i + 1] == '^')) {
      out += text[i + 1] == ';' ? ',' : '^';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

void LoadSystemError(int error, StatusBlock& status) { TELMO_SERVER_LDBLK(kFacilitySystem, error, status); }

}  // namespace

// ---------------------------------------------------------------------------
// Field reader

std::string_view FieldText(std::string_view line, int index) noexcept {
  std::size_t pos = 0;
  std::string_view field;
  for (int k = 0; k < index; ++k) {
    bool comma_skipped = false;
    while (pos < line.size() && (IsBlankOrTab(line[pos]) || (line[pos] == ',' && !comma_skipped))) {
      if (line[pos] == ',') comma_skipped = true;
      ++pos;
    }
    const std::size_t comma = line.find(',', pos);
    const std::size_t end = comma == std::string_view::npos ? line.size() : comma;
    field = line.substr(pos, end - pos);
    pos = end;
  }
  return field;
}

FieldStatus ReadField(std::string_view line, int index, const FieldSpec& spec, int line_number, std::string& out) {
  std::string_view text = FieldText(line, index);
  // As at the end of a line, carriage returns at the end of a field are
  // residue: the writer ends a line with the last field and could not keep them.
  while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  out.clear();
  if (text.empty()) {
    if (!spec.required) return FieldStatus::kAbsent;
    std::printf("%s not present in test file at line %d\n", spec.display_name, line_number);
    std::fflush(stdout);
    return FieldStatus::kRequiredMissing;
  }
  if (spec.max_length != 0 && text.size() > spec.max_length) {
    std::printf("%s bad format at line %d\n", spec.display_name, line_number);
    std::fflush(stdout);
    return FieldStatus::kTooLong;
  }
  out.assign(text);
  return FieldStatus::kPresent;
}

bool IsSafeServiceFileName(std::string_view service) noexcept {
  if (service.empty() || service.find("..") != std::string_view::npos) return false;
  for (const char c : service) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
    if (std::strchr("\\/<>:\"|?*", c) != nullptr) return false;
  }
  return true;
}

std::optional<std::string> ServerFilePath(const ServerRecord& record) {
  if (!record.server_file.empty()) return record.server_file;
  if (!IsSafeServiceFileName(record.dlgp_service.view())) return std::nullopt;
  const auto directory = k42_getenv("TELMOMGMT");
  if (!directory) return std::nullopt;
  const std::string name = record.dlgp_service.str() + std::string(kServerFileExtension);
  // The start-up loads "*.csd" without regard to letter case: a file of the
  // service in another case is the server's file (the first one, in listing
  // order, as the loader takes it), never one beside it.
  bool first = true;
  NextFileState state;
  std::string existing;
  if (TELMO_MGMT_NextFile(first, *directory, name, state, existing)) return existing;
  return *directory + "\\" + name;
}

// ---------------------------------------------------------------------------
// Loader

namespace {

// A timeout: empty gives "Default"; a value other than "Default" whose
// number is below `threshold` gives "Default".
void ReadTimeout(std::string_view line, int index, const char* display, int threshold, int line_number,
                 FixedText<16>& out) {
  std::string value;
  ReadField(line, index, {display, false, 15}, line_number, value);
  if (value.empty() || (!EqualsIgnoreCase(value, "Default") && LeadingNumber(value) < threshold)) value = "Default";
  out.assign(value);
}

// A flag: empty gives "Default"; a value other than "Default" whose number
// is not 1 gives "Default".
void ReadFlag(std::string_view line, int index, const char* display, int line_number, FixedText<16>& out) {
  std::string value;
  ReadField(line, index, {display, false, 15}, line_number, value);
  if (value.empty() || (!EqualsIgnoreCase(value, "Default") && LeadingNumber(value) != 1)) value = "Default";
  out.assign(value);
}

int ReadBounded(std::string_view line, int index, const char* display, int low, int high, int fallback,
                int line_number) {
  std::string value;
  ReadField(line, index, {display, false, 15}, line_number, value);
  if (value.empty()) return fallback;
  const int n = LeadingNumber(value);
  return n < low || n > high ? fallback : n;
}

struct Loader {
  LineReader& reader;
  StatusBlock& status;

  std::nullptr_t Fail(int code) {
    TELMO_SERVER_LDBLK(kFacilityManagement, code, status);
    return nullptr;
  }
  std::nullptr_t Missing() {
    LoadSystemError(ENODATA, status);
    return Fail(15003);
  }
  // A read that failed fails the file, as a missing line would: what was
  // read may be cut anywhere.
  bool ReadFailed() {
    if (reader.error() == 0) return false;
    LoadSystemError(reader.error(), status);
    Fail(15001);
    return true;
  }
  // A line longer than the writer writes fails the file with `code`: loaded,
  // it would be written back cut.
  bool TooLong(std::string_view line, int code) {
    if (line.size() <= LineReader::kMaxLine) return false;
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__,
                          "Server file %s: line %d is longer than %d characters\n", reader.name().c_str(),
                          reader.line_number(), static_cast<int>(LineReader::kMaxLine));
    Fail(code);
    return true;
  }
  // The next line, which must be there; nullopt with the error loaded
  // (`code` for a line too long).
  std::optional<std::string_view> Required(int code) {
    const auto line = reader.NextLine();
    if (!line) {
      if (!ReadFailed()) Missing();
      return std::nullopt;
    }
    if (TooLong(*line, code)) return std::nullopt;
    return line;
  }
  FieldStatus Field(std::string_view line, int index, const FieldSpec& spec, std::string& out) {
    return ReadField(line, index, spec, reader.line_number(), out);
  }
};

}  // namespace

SnfParameters ReadSnfParameters(std::string_view line, int line_number) {
  SnfParameters snf;
  ReadTimeout(line, 3, "Scanner process timeout", 3, line_number, snf.scanner_timeout);
  ReadTimeout(line, 4, "Store process timeout", 3, line_number, snf.store_timeout);
  ReadTimeout(line, 5, "Forward process timeout", 5, line_number, snf.forward_timeout);
  ReadTimeout(line, 6, "Forward process MSGS", 2, line_number, snf.forward_msgs);
  ReadFlag(line, 7, "Scanner process NOTAGINFO", line_number, snf.scanner_notaginfo);
  ReadFlag(line, 8, "Store process NOTAGINFO", line_number, snf.store_notaginfo);
  if (LeadingNumber(snf.store_notaginfo.view()) == 1 && LeadingNumber(snf.scanner_notaginfo.view()) == 1) {
    snf.scanner_notaginfo.assign("Default");
  }
  ReadFlag(line, 9, "Scanner process DEVICE", line_number, snf.scanner_device);
  snf.max_time_in_queue =
      ReadBounded(line, 10, "Store process Max Time In Queue", 1, 8760, kDefaultMaxTimeInQueue, line_number);
  snf.max_queue_file_size =
      ReadBounded(line, 11, "Store process Max Queue File Size", 0, 1000000, kDefaultMaxQueueFileSize, line_number);
  return snf;
}

std::unique_ptr<ServerRecord> ParseServerFile(LineReader& reader, StatusBlock& status, WatchdogTable& watchdogs) {
  const bool diagnostics = TELMO_DIAG_LOGSTATE() == 0;
  Loader ld{reader, status};
  std::unique_ptr<ServerRecord> record;
  try {
    record = std::make_unique<ServerRecord>();
  } catch (const std::bad_alloc&) {
    LoadSystemError(ENOMEM, status);
    return ld.Fail(15002);
  }

  // Line 1: name, DLGP TCP service, historical DLGP TCP service. The name is
  // everything before the second-to-last comma; the two services are the two
  // fields after it.
  auto line = ld.Required(15005);
  if (!line) return nullptr;
  const std::size_t last = line->rfind(',');
  const std::size_t second = (last == std::string_view::npos || last == 0) ? std::string_view::npos
                                                                           : line->rfind(',', last - 1);
  if (second == std::string_view::npos) return ld.Fail(15005);
  record->name = UnescapeName(line->substr(0, second));
  const std::string_view services = line->substr(second);
  std::string text;
  if (ld.Field(services, 1, {"DLGP TCP Service", true, 31}, text) != FieldStatus::kPresent) return ld.Fail(15004);
  if (!IsSafeServiceFileName(text)) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__,
                          "DLGP TCP Service of server file %s cannot name a server file. File ignored\n",
                          reader.name().c_str());
    return ld.Fail(15004);
  }
  record->dlgp_service.assign(text);
  ld.Field(services, 2, {"HistoricalDLGP TCP Service", false, 31}, text);
  record->hist_service.assign(text);

  // Line 2: start-up status, username, password (base64).
  line = ld.Required(15006);
  if (!line) return nullptr;
  if (ld.Field(*line, 1, {"Server startup status", true, 30}, text) != FieldStatus::kPresent) return ld.Fail(15006);
  if (EqualsIgnoreCase(text, "Run")) {
    record->startup_status = 1;
  } else if (EqualsIgnoreCase(text, "DontRun")) {
    record->startup_status = 0;
  } else {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__, "Unrecognized Server startup status %s\n",
                          text.c_str());
    return ld.Fail(15006);
  }
  ld.Field(*line, 2, {"Server username", false, 0}, record->username);
  ld.Field(*line, 3, {"Server password", false, 0}, text);
  record->password = Base64Decode(text);
  // Kept as a C text: it ends at a decoded NUL byte.
  if (const auto nul = record->password.find('\0'); nul != std::string::npos) record->password.resize(nul);

  // Line 3: health check.
  line = ld.Required(15021);
  if (!line) return nullptr;
  int number = 0;
  if (ld.Field(*line, 1, {"Server check status", true, 30}, text) != FieldStatus::kPresent ||
      !ParseInteger(text, number)) {
    return ld.Fail(15021);
  }
  record->health_check = number < 1 ? 0 : number;

  // Line 4: store and forward.
  line = ld.Required(15020);
  if (!line) return nullptr;
  if (ld.Field(*line, 1, {"Server store & forward usage", true, 30}, text) != FieldStatus::kPresent)
    return ld.Fail(15020);
  if (EqualsIgnoreCase(text, "StoreForward")) {
    record->snf_usage = 1;
  } else if (EqualsIgnoreCase(text, "NoStoreForward")) {
    record->snf_usage = 0;
  } else {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__,
                          "Unrecognized Server store & forward usage %s\n", text.c_str());
    return ld.Fail(15020);
  }
  ld.Field(*line, 2, {"Store File Path", false, 0}, record->store_file_path);
  if (record->store_file_path.ends_with("\\\"")) {
    record->store_file_path.erase(record->store_file_path.size() - 2, 1);
  }
  const SnfParameters snf = ReadSnfParameters(*line, reader.line_number());
  record->snf = snf;
  if (diagnostics) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__, "Loaded TELMO Server [%s] S&F parameters [%s]\n",
                          record->dlgp_service.c_str(), std::string(*line).c_str());
  }

  // Line 5: number of component lines.
  line = ld.Required(15023);
  if (!line) return nullptr;
  if (ld.Field(*line, 1, {"Server Nb components", true, 30}, text) != FieldStatus::kPresent ||
      !ParseInteger(text, number) || number < 1) {
    return ld.Fail(15023);
  }
  const int declared = number;

  // Component lines: at most `declared` of them; extra lines are ignored and
  // a shorter list lowers the count, so no entry is ever left unset.
  record->components.reserve(static_cast<std::size_t>(std::min(declared, 64)) + 6);
  while (record->component_count() < declared) {
    line = reader.NextLine();
    if (!line) break;
    if (ld.TooLong(*line, 15023)) return nullptr;
    auto component = std::make_unique<ComponentRecord>();
    if (ld.Field(*line, 1, {"Component name", true, 0}, component->name) != FieldStatus::kPresent) {
      return ld.Fail(15023);
    }
    ld.Field(*line, 2, {"Component TCP Service", false, 31}, text);
    component->tcp_service.assign(text);
    ld.Field(*line, 3, {"Component executable", false, 0}, component->executable);
    ld.Field(*line, 4, {"Component arguments", false, 0}, component->arguments);
    record->components.push_back(std::move(component));
  }
  if (ld.ReadFailed()) return nullptr;
  if (record->components.empty()) return ld.Fail(15023);
  if (record->component_count() < declared) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__,
                          "Server file %s holds %d component lines for a count of %d. Count lowered\n",
                          reader.name().c_str(), record->component_count(), declared);
  } else if (reader.NextLine()) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__,
                          "Server file %s holds more component lines than its count of %d. Extra lines ignored\n",
                          reader.name().c_str(), declared);
  }
  if (ld.ReadFailed()) return nullptr;

  const std::string dlgp_service = record->dlgp_service.str();
  if (IsOpcUaDlgp(*record)) {
    record->components.resize(record->components.size() + 3);
    if (record->snf_usage == 1) record->components.resize(record->components.size() + 3);
    AddOpcUaComponents(dlgp_service, *record, record->snf_usage);
    if (record->snf_usage == 1) AddSnfComponents(dlgp_service, *record, snf);
  } else if (record->snf_usage == 1) {
    record->components.resize(record->components.size() + 3);
    AddSnfComponents(dlgp_service, *record, snf);
  }

  if (IsAsyncDlgp(*record)) watchdogs.Register(*record, status);
  if (status.failed()) return nullptr;
  return record;
}

namespace {

// One file: the record, or null with the reason in `status` and a log line
// that names the file and the reason.
std::unique_ptr<ServerRecord> LoadOne(std::string_view path, StatusBlock& status, WatchdogTable& watchdogs) {
  TELMO_SERVER_INITBLK(status);
  const std::string p(path);
  int error = 0;
  auto reader = LineReader::Open(path, error);
  if (!reader) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__, "Error %s opening server file %s\n",
                          LineReader::ErrorText(error).c_str(), p.c_str());
    LoadSystemError(error, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return nullptr;
  }
  auto record = ParseServerFile(*reader, status, watchdogs);
  if (!record) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__, "Server file %s not loaded (line %d): %s\n",
                          p.c_str(), reader->line_number(), status.describe().c_str());
    return nullptr;
  }
  record->server_file = p;
  return record;
}

// Temporary files of writes that were cut short (".NAME.XXXXXX", see
// platform::WriteFileAtomically) are never read and would pile up.
void RemoveInterruptedWrites(std::string_view directory, std::string_view file_pattern) {
  bool first = true;
  NextFileState state;
  std::string path;
  const std::string pattern = "." + std::string(file_pattern) + ".??????";
  while (TELMO_MGMT_NextFile(first, directory, pattern, state, path)) {
    if (DeleteFileA(path)) {
      TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadAll", __LINE__, "Removed %s, left by an interrupted write\n",
                            path.c_str());
    }
  }
}

// Whether the management directory can be listed; a line says why not.
bool DirectoryReadable(const std::string& directory) {
  const DWORD attributes = GetFileAttributesA(directory);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  const std::string why = attributes == INVALID_FILE_ATTRIBUTES
                              ? platform::SystemMessage(GetLastError()).value_or("unknown error")
                              : std::string("not a directory");
  TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadAll", __LINE__,
                        "Management directory %s cannot be read (%s): no server file loaded\n", directory.c_str(),
                        why.c_str());
  return false;
}

}  // namespace

std::unique_ptr<ServerRecord> LoadServer(std::string_view path, StatusBlock& status, WatchdogTable& watchdogs) {
  return LoadOne(path, status, watchdogs);
}

std::unique_ptr<ServerRecord> LoadServer(std::string_view path, StatusBlock& status) {
  return LoadServer(path, status, gWatchdogTable);
}

void RemoveInterruptedWrites(std::string_view file_pattern) {
  if (const auto directory = k42_getenv("TELMOMGMT")) RemoveInterruptedWrites(*directory, file_pattern);
}

void LoadAll(ServerTable& table, StatusBlock& status, WatchdogTable& watchdogs) {
  if (!table.mutex.Acquire(-1, status)) {
    LogMutexFailure("TELMO_MGMT_LoadAll", status);
    return;
  }
  // Called once, at start-up, on an empty table.
  (void)table.TakeAll();
  const auto directory = k42_getenv("TELMOMGMT");
  if (directory && DirectoryReadable(*directory)) {
    RemoveInterruptedWrites(*directory, "*" + std::string(kServerFileExtension));
    bool first = true;
    NextFileState state;
    std::string path;
    const std::string pattern = "*" + std::string(kServerFileExtension);
    while (TELMO_MGMT_NextFile(first, *directory, pattern, state, path)) {
      // Loaded aside: a file that repeats a server already loaded (its DLGP
      // TCP service in any letter case) must change nothing.
      WatchdogTable aside;
      auto record = LoadOne(path, status, aside);
      if (!record) continue;
      const ServerRecord* loaded = nullptr;
      for (const auto& other : table.records()) {
        if (EqualsIgnoreCase(other->dlgp_service.view(), record->dlgp_service.view())) loaded = other.get();
      }
      if (loaded != nullptr) {
        TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadAll", __LINE__,
                              "Server file %s names DLGP TCP Service %s, loaded from %s already. File ignored\n",
                              path.c_str(), record->dlgp_service.c_str(), loaded->server_file.c_str());
        continue;
      }
      if (IsAsyncDlgp(*record)) watchdogs.Register(*record, status);
      if (status.failed()) {
        TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadAll", __LINE__, "Server file %s not loaded: %s\n",
                              path.c_str(), status.describe().c_str());
        continue;
      }
      table.Append(std::move(record));
    }
  }
  table.mutex.Release(status);
}

void LoadAll(ServerTable& table, StatusBlock& status) { LoadAll(table, status, gWatchdogTable); }

// ---------------------------------------------------------------------------
// Writer

std::string BuildServerFile(const ServerRecord& record) {
  // Line 4 holds the options the S&F components were built from: those the
  // record was loaded with, else those their arguments carry. A server
  // without S&F components writes the defaults.
  SnfParameters snf = SnfParameters::AllDefault();
  int written = 0;
  for (const auto& component : record.components) {
    if (!component) continue;
    if (component->generated == 0) {
      ++written;
    } else if (!record.snf) {
      ParseSnfArguments(*component, record.dlgp_service.view(), record.store_file_path, snf);
    }
  }
  if (record.snf && record.snf_usage == 1) {
    snf = *record.snf;
    // A flag that is on stands in the arguments as its word alone: "1".
    for (auto* flag : {&snf.store_notaginfo, &snf.scanner_notaginfo, &snf.scanner_device}) {
      if (!EqualsIgnoreCase(flag->view(), "Default")) flag->assign("1");
    }
  }
  // The loader lets the store's NOTAGINFO win over the scanner's; the line is
  // written as it will be read.
  if (LeadingNumber(snf.store_notaginfo.view()) == 1 && LeadingNumber(snf.scanner_notaginfo.view()) == 1) {
    snf.scanner_notaginfo.assign("Default");
  }
  const auto shown = [](const auto& value) -> std::string {
    return EqualsIgnoreCase(value.view(), "Default") ? std::string() : value.str();
  };

  // The loader turns a final backslash and double quote into the quote
  // alone; a path that truly ends in them is written with one more backslash.
  std::string store_file_path = record.store_file_path;
  if (store_file_path.ends_with("\\\"")) store_file_path.insert(store_file_path.size() - 1, 1, '\\');

  std::string out;
  out += Format("%s,%s,%s\n", EscapeName(record.name).c_str(), record.dlgp_service.c_str(),
                record.hist_service.c_str());
  out += Format("%s,%s,%s\n", record.startup_status == 1 ? "Run" : "DontRun", record.username.c_str(),
                Base64Encode(record.password).c_str());
  out += Format("%d\n", record.health_check);
  out += Format("%s,%s,%s,%s,%s,%s,%s,%s,%s,%d,%d\n", record.snf_usage == 1 ? "StoreForward" : "NoStoreForward",
                store_file_path.c_str(), shown(snf.scanner_timeout).c_str(), shown(snf.store_timeout).c_str(),
                shown(snf.forward_timeout).c_str(), shown(snf.forward_msgs).c_str(),
                shown(snf.scanner_notaginfo).c_str(), shown(snf.store_notaginfo).c_str(),
                shown(snf.scanner_device).c_str(), snf.max_time_in_queue, snf.max_queue_file_size);
  out += Format("%d\n", written);
  for (const auto& component : record.components) {
    if (!component || component->generated != 0) continue;
    // A name that would make the line a comment is preceded by the one comma
    // that the field reader skips before the first field.
    const std::size_t first = component->name.find_first_not_of(" \t");
    if (first != std::string::npos && component->name[first] == '#') out += ',';
    out += Format("%s,%s,%s,%s\n", component->name.c_str(), component->tcp_service.c_str(),
                  component->executable.c_str(), component->arguments.c_str());
  }
  return out;
}

bool FitsLineReader(std::string_view text) noexcept {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (end - pos > LineReader::kMaxLine) return false;
    pos = end + 1;
  }
  return true;
}

bool WriteServerFile(const ServerRecord& record, StatusBlock& status) {
  const auto path = ServerFilePath(record);
  if (!path) {
    if (!IsSafeServiceFileName(record.dlgp_service.view())) {
      TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_WriteServerFile", __LINE__,
                            "DLGP TCP Service [%s] of server %s cannot name a server file. Not written\n",
                            record.dlgp_service.c_str(), record.name.c_str());
    }
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return false;
  }
  const std::string content = BuildServerFile(record);
  if (!FitsLineReader(content)) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_WriteServerFile", __LINE__,
                          "Server file %s would hold a line longer than %d characters. Not written\n", path->c_str(),
                          static_cast<int>(LineReader::kMaxLine));
    LoadSystemError(E2BIG, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return false;
  }
  // Server files hold passwords: readable by the owner only. A file that
  // already holds the record is left as it is: rewriting it costs two
  // flushes to disk, and the stop of a node writes back every server.
  if (platform::FileHolds(*path, content, 0600)) return true;
  errno = 0;
  platform::WriteFailure failure = platform::WriteFailure::kNone;
  const Result<void> written = platform::WriteFileAtomically(*path, content, 0600, &failure);
  if (!written) {
    const int error = errno != 0 ? errno : EIO;
    if (failure == platform::WriteFailure::kCreate) {
      TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_WriteServerFile", __LINE__, "Error %s opening server file %s\n",
                            std::strerror(error), path->c_str());
    } else {
      TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_WriteServerFile", __LINE__, "Error %s writting to file %s\n",
                            std::strerror(error), path->c_str());
    }
    LoadSystemError(error, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return false;
  }
  return true;
}

}  // namespace telmo::config
