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
#include "config/file_lookups.h"
#include "util/base64.h"
#include "util/text.h"

namespace telmo::config {
namespace {

constexpr const char* kSource = "telmo_manager_utils";

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool IsBlankOrTab(char c) noexcept { return c == ' ' || c == '\t'; }

// The text mode of the files' home system turns "\r\n" into "\n".
void DropCarriageReturns(std::string& text) {
  if (text.find('\r') == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  text = std::move(out);
}

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
// Line reader and field reader

std::optional<LineReader> LineReader::Open(std::string_view path, int& error) {
  const std::string native = platform::NativePath(path);
  errno = 0;
  FilePtr file(std::fopen(native.c_str(), "rb"));
  if (!file) {
    error = errno != 0 ? errno : ENOENT;
    return std::nullopt;
  }
  std::string content;
  char buffer[16384];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    content.append(buffer, n);
    if (n < sizeof buffer) {
      if (std::ferror(file.get())) {
        const int read_error = errno;
        TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_ReadLine", __LINE__, "Error %s reading file %s\n",
                              std::strerror(read_error), std::string(path).c_str());
      }
      break;
    }
  }
  error = 0;
  return LineReader(std::move(content), std::string(path));
}

LineReader::LineReader(std::string content, std::string name) : content_(std::move(content)), name_(std::move(name)) {
  DropCarriageReturns(content_);
}

std::optional<std::string_view> LineReader::NextLine() {
  const std::string_view all(content_);
  while (pos_ < all.size()) {
    // One read of at most 1023 bytes, up to and including a line feed.
    std::size_t length = std::min(kMaxPiece, all.size() - pos_);
    const std::size_t feed = all.find('\n', pos_);
    if (feed != std::string_view::npos && feed - pos_ + 1 <= length) length = feed - pos_ + 1;
    std::string_view line = all.substr(pos_, length);
    pos_ += length;
    ++line_number_;
    // The line is a C text: it ends at a NUL byte.
    if (const std::size_t nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    // Carriage returns at the end of a line are line-end residue, never data:
    // the writer could not write them back.
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] == '#') continue;
    return line;
  }
  return std::nullopt;
}

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

namespace {
// Digits after optional white space and sign; `ok` tells whether any digit
// came, `overflow` whether the value left 32 bits (it is then saturated).
int ScanNumber(std::string_view text, bool& ok, bool& overflow) noexcept {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  ok = false;
  overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    ok = true;
    if (!overflow) {
      value = value * 10 + (text[i] - '0');
      if (value > static_cast<long long>(INT_MAX) + 1) overflow = true;
    }
  }
  if (negative) value = -value;
  if (overflow || value > INT_MAX || value < INT_MIN) {
    overflow = true;
    return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(value);
}
}  // namespace

bool ParseInteger(std::string_view text, int& value) noexcept {
  bool ok = false;
  bool overflow = false;
  const int v = ScanNumber(text, ok, overflow);
  if (!ok || overflow) return false;
  value = v;
  return true;
}

int LeadingNumber(std::string_view text) noexcept {
  bool ok = false;
  bool overflow = false;
  return ScanNumber(text, ok, overflow);
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
  if (!IsSafeServiceFileName(record.dlgp_service.view())) return std::nullopt;
  const auto directory = k42_getenv("TELMOMGMT");
  if (!directory) return std::nullopt;
  std::string path = *directory;
  path += '\\';
  path += record.dlgp_service.view();
  path += kServerFileExtension;
  return path;
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
  auto line = reader.NextLine();
  if (!line) return ld.Missing();
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
  line = reader.NextLine();
  if (!line) return ld.Missing();
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
  line = reader.NextLine();
  if (!line) return ld.Missing();
  int number = 0;
  if (ld.Field(*line, 1, {"Server check status", true, 30}, text) != FieldStatus::kPresent ||
      !ParseInteger(text, number)) {
    return ld.Fail(15021);
  }
  record->health_check = number < 1 ? 0 : number;

  // Line 4: store and forward.
  line = reader.NextLine();
  if (!line) return ld.Missing();
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
  if (diagnostics) {
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__, "Loaded TELMO Server [%s] S&F parameters [%s]\n",
                          record->dlgp_service.c_str(), std::string(*line).c_str());
  }

  // Line 5: number of component lines.
  line = reader.NextLine();
  if (!line) return ld.Missing();
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

std::unique_ptr<ServerRecord> LoadServer(std::string_view path, StatusBlock& status, WatchdogTable& watchdogs) {
  TELMO_SERVER_INITBLK(status);
  int error = 0;
  auto reader = LineReader::Open(path, error);
  if (!reader) {
    const std::string p(path);
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_LoadServer", __LINE__, "Error %s opening server file %s\n",
                          std::strerror(error), p.c_str());
    LoadSystemError(error, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return nullptr;
  }
  return ParseServerFile(*reader, status, watchdogs);
}

std::unique_ptr<ServerRecord> LoadServer(std::string_view path, StatusBlock& status) {
  return LoadServer(path, status, gWatchdogTable);
}

void LoadAll(ServerTable& table, StatusBlock& status, WatchdogTable& watchdogs) {
  if (!table.mutex.Acquire(-1, status)) {
    LogMutexFailure("TELMO_MGMT_LoadAll", status);
    return;
  }
  // Called once, at start-up, on an empty table.
  (void)table.TakeAll();
  if (const auto directory = k42_getenv("TELMOMGMT")) {
    bool first = true;
    NextFileState state;
    std::string path;
    const std::string pattern = "*" + std::string(kServerFileExtension);
    while (TELMO_MGMT_NextFile(first, *directory, pattern, state, path)) {
      if (auto record = LoadServer(path, status, watchdogs)) table.Append(std::move(record));
    }
  }
  table.mutex.Release(status);
}

void LoadAll(ServerTable& table, StatusBlock& status) { LoadAll(table, status, gWatchdogTable); }

// ---------------------------------------------------------------------------
// Writer

std::string BuildServerFile(const ServerRecord& record) {
  SnfParameters snf = SnfParameters::AllDefault();
  int written = 0;
  for (const auto& component : record.components) {
    if (!component) continue;
    if (component->generated != 0) {
      ParseSnfArguments(*component, record.dlgp_service.view(), record.store_file_path, snf);
    } else {
      ++written;
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
    if (end - pos > LineReader::kMaxPiece) return false;
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
                          static_cast<int>(LineReader::kMaxPiece));
    LoadSystemError(E2BIG, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return false;
  }
  errno = 0;
  // Server files hold passwords: readable by the owner only.
  const Result<void> written = platform::WriteFileAtomically(*path, content, 0600);
  if (!written) {
    const int error = errno != 0 ? errno : EIO;
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_WriteServerFile", __LINE__, "Error %s opening server file %s\n",
                          std::strerror(error), path->c_str());
    LoadSystemError(error, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return false;
  }
  return true;
}

}  // namespace telmo::config
