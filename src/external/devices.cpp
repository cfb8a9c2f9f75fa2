#include <algorithm>
#include <array>
#include <filesystem>
#include <initializer_list>
#include <optional>

#include "external/line_file.h"
#include "external/telmo_devices.h"
#include "external/telmo_log.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo {
namespace {

constexpr const char* kHeader =
    "# TELMO logical devices: name, value 1, value 2, value 3 (tab-separated; %XX for tabs, line ends, % and "
    "control characters)";

struct Store : detail::LineFile<LogicalDevice> {
  [[nodiscard]] Line* Find(std::string_view name) {
    for (auto& l : lines) {
      if (l.entry && EqualsIgnoreCase(l.entry->name.view(), name)) return &l;
    }
    return nullptr;
  }
};

bool NeedsEscape(unsigned char c) noexcept { return c < 0x20 || c == 0x7f || c == '%'; }

std::string Escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (NeedsEscape(u)) {
      out += Format("%%%02X", static_cast<unsigned>(u));
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// nullopt for a bad escape or a text that does not fit a 31-character field.
std::optional<Text32> Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  if (out.size() > Text32::kMaxLength || out.find('\0') != std::string::npos) return std::nullopt;
  return Text32(out);
}

std::optional<LogicalDevice> ParseDeviceLine(std::string_view line) {
  if (line.empty() || line.front() == '#') return std::nullopt;
  std::array<std::string_view, 4> fields;
  std::size_t count = 0;
  while (count < fields.size()) {
    const std::size_t tab = line.find('\t');
    fields[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  if (count != fields.size() || fields[3].find('\t') != std::string_view::npos) return std::nullopt;
  LogicalDevice device;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    auto text = Unescape(fields[i]);
    if (!text) return std::nullopt;
    (i == 0 ? device.name : device.values[i - 1]) = *text;
  }
  if (device.name.empty()) return std::nullopt;
  return device;
}

std::string DeviceLine(const LogicalDevice& device) {
  std::string line = Escape(device.name.view());
  for (const auto& v : device.values) {
    line += '\t';
    line += Escape(v.view());
  }
  return line;
}

// A missing store is an empty one; the Win32 error when it exists and cannot
// be read.
Result<Store> LoadStore(const std::string& path) {
  auto loaded = detail::LoadLineFile<LogicalDevice>(path, ParseDeviceLine);
  if (!loaded) return Error{loaded.error()};
  Store store;
  store.lines = std::move(loaded->lines);
  return store;
}

int Fail(std::int32_t code, StatusBlock& block) {
  TELMO_CLIENT_LDBLK(kFacilityMessaging, code, block);
  return 0;
}

int StoreFailure(const std::string& path, const char* what, std::uint32_t error, StatusBlock& block) {
  TELMO_MGMT_LogMessage("telmo_devices", "devices", __LINE__, "Cannot %s the logical device store %s, error %u\n", what,
                        path.c_str(), static_cast<unsigned>(error));
  return Fail(kMsgDeviceStore, block);
}

bool ValidDevice(std::string_view name, std::initializer_list<std::string_view> values) {
  if (name.empty() || name.size() > Text32::kMaxLength || name.find('\0') != std::string_view::npos) return false;
  return std::all_of(values.begin(), values.end(), [](std::string_view v) {
    return v.size() <= Text32::kMaxLength && v.find('\0') == std::string_view::npos;
  });
}

enum class Change { kAdd, kModify, kDelete };

// The read-modify-write of one change, under the store lock.
int ChangeStore(Change change, std::string_view name, const std::array<std::string_view, 3>& values,
                StatusBlock& block) {
  TELMO_CLIENT_INITBLK(block);
  if (!ValidDevice(name, {values[0], values[1], values[2]})) return Fail(kMsgBadDevice, block);
  const std::string path = DeviceStorePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const auto lock = platform::ExclusiveFileLock::Acquire(path + ".lock");
  if (!lock) return StoreFailure(path, "lock", lock.error(), block);
  auto store = LoadStore(path);
  if (!store) return StoreFailure(path, "read", store.error(), block);

  Store::Line* line = store->Find(name);
  if (change == Change::kAdd && line != nullptr) return Fail(kMsgDeviceExists, block);
  if (change != Change::kAdd && line == nullptr) return Fail(kMsgDeviceNotFound, block);
  if (change == Change::kDelete) {
    store->lines.erase(store->lines.begin() + (line - store->lines.data()));
  } else {
    LogicalDevice device;
    device.name = Text32(change == Change::kAdd ? name : line->entry->name.view());
    for (std::size_t i = 0; i < values.size(); ++i) device.values[i] = Text32(values[i]);
    Store::Line updated{DeviceLine(device), device};
    if (line != nullptr) {
      *line = std::move(updated);
    } else {
      if (store->lines.empty()) store->lines.push_back({kHeader, std::nullopt});
      store->lines.push_back(std::move(updated));
    }
  }
  if (auto written = platform::WriteFileAtomically(path, store->Text(), 0644); !written) {
    return StoreFailure(path, "write", written.error(), block);
  }
  return 1;
}

}  // namespace

std::string DeviceStorePath() { return platform::StateDir() + "/logical_devices"; }

Result<std::vector<LogicalDevice>> ListDevices() {
  auto store = LoadStore(DeviceStorePath());
  if (!store) return Error{store.error()};
  std::vector<LogicalDevice> devices;
  for (const auto& l : store->lines) {
    if (l.entry) devices.push_back(*l.entry);
  }
  return devices;
}

}  // namespace telmo

int TELMO_CLIENT_VIEW_DEVICE(std::string_view name, telmo::Text32& value1, telmo::Text32& value2,
                             telmo::Text32& value3, StatusBlock& block) {
  TELMO_CLIENT_INITBLK(block);
  if (!telmo::ValidDevice(name, {})) return telmo::Fail(kMsgBadDevice, block);
  const std::string path = telmo::DeviceStorePath();
  auto store = telmo::LoadStore(path);
  if (!store) return telmo::StoreFailure(path, "read", store.error(), block);
  const telmo::Store::Line* line = store->Find(name);
  if (line == nullptr) return telmo::Fail(kMsgDeviceNotFound, block);
  value1 = line->entry->values[0];
  value2 = line->entry->values[1];
  value3 = line->entry->values[2];
  return 1;
}

int TELMO_CLIENT_ADD_DEVICE(std::string_view name, std::string_view value1, std::string_view value2,
                            std::string_view value3, StatusBlock& block) {
  return telmo::ChangeStore(telmo::Change::kAdd, name, {value1, value2, value3}, block);
}

int TELMO_CLIENT_MODIF_DEVICE(std::string_view name, std::string_view value1, std::string_view value2,
                              std::string_view value3, StatusBlock& block) {
  return telmo::ChangeStore(telmo::Change::kModify, name, {value1, value2, value3}, block);
}

int TELMO_CLIENT_DELETE_DEVICE(std::string_view name, StatusBlock& block) {
  return telmo::ChangeStore(telmo::Change::kDelete, name, {}, block);
}
