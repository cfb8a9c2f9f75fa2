// The registry store: one JSON file, read whole for every call and written
// whole for every change.
//
//   { "format": "telmo-registry", "version": 1,
//     "HKEY_LOCAL_MACHINE": { "values": [ {"name": "...", "type": 4, "dword": 7}, ... ],
//                             "keys": [ {"name": "SOFTWARE", "values": [...], "keys": [...]}, ... ] },
//     ... one entry per root ... }
//
// A value's bytes are stored as "dword" (REG_DWORD of 4 bytes), "text" (REG_SZ
// or REG_EXPAND_SZ holding one NUL-terminated UTF-8 text) or "hex" (anything
// else), so that every byte given to RegSetValueExA comes back unchanged.

#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/environment.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/posix/unique_fd.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform {
namespace {

using json = nlohmann::ordered_json;  // keeps "name" first: the file stays readable

constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
constexpr std::size_t kMaxDepth = 512;  // key levels, as on Windows

struct KeyNode {
  std::string name;
  std::vector<RegValue> values;
  std::vector<KeyNode> subkeys;  // ordered by name, case ignored
};

constexpr std::array<HKEY::Root, 4> kRoots = {HKEY::Root::kClassesRoot, HKEY::Root::kCurrentUser,
                                               HKEY::Root::kLocalMachine, HKEY::Root::kUsers};

struct Store {
  std::array<KeyNode, 4> roots;
  KeyNode& root(HKEY::Root r) { return roots[static_cast<std::size_t>(r) - 1]; }
};

detail::CommitHook g_commit_hook = nullptr;

// ---------------------------------------------------------------- names

bool LessIgnoreCase(std::string_view a, std::string_view b) { return ToUpper(a) < ToUpper(b); }

/// Strict UTF-8 (no overlong forms, no surrogates), no control characters.
bool IsPlainText(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) return false;
      ++p;
      continue;
    }
    int extra = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      const unsigned d = p[i];
      if (i == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) return false;
    }
    p += extra + 1;
  }
  return true;
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const auto sep = path.find('\\');
    const std::string_view part = path.substr(0, sep);
    if (!part.empty()) parts.emplace_back(part);
    if (sep == std::string_view::npos) break;
    path.remove_prefix(sep + 1);
  }
  return parts;
}

std::string JoinParts(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += '\\';
    out += p;
  }
  return out;
}

bool ValidKeyName(std::string_view name) { return name.size() <= kMaxKeyName && IsPlainText(name); }
bool ValidValueName(std::string_view name) { return name.size() <= kMaxValueName && IsPlainText(name); }

// ---------------------------------------------------------------- tree

KeyNode* FindChild(KeyNode& node, std::string_view name) {
  for (auto& k : node.subkeys) {
    if (EqualsIgnoreCase(k.name, name)) return &k;
  }
  return nullptr;
}

KeyNode* Walk(KeyNode& from, const std::vector<std::string>& parts) {
  KeyNode* node = &from;
  for (const auto& p : parts) {
    node = FindChild(*node, p);
    if (node == nullptr) return nullptr;
  }
  return node;
}

KeyNode& AddChild(KeyNode& node, std::string name) {
  auto at = std::find_if(node.subkeys.begin(), node.subkeys.end(),
                         [&](const KeyNode& k) { return LessIgnoreCase(name, k.name); });
  KeyNode child;
  child.name = std::move(name);
  return *node.subkeys.insert(at, std::move(child));
}

RegValue* FindValue(KeyNode& node, std::string_view name) {
  for (auto& v : node.values) {
    if (EqualsIgnoreCase(v.name, name)) return &v;
  }
  return nullptr;
}

void AddPath(KeyNode& node, std::string_view path) {
  KeyNode* at = &node;
  for (auto& part : SplitPath(path)) {
    KeyNode* next = FindChild(*at, part);
    at = next ? next : &AddChild(*at, part);
  }
}

/// What a node that has never had a store holds: the keys every Windows has.
Store FreshStore() {
  Store s;
  for (const auto r : kRoots) s.root(r).name = std::string(RootLongName(r));
  AddPath(s.root(HKEY::Root::kLocalMachine), "SOFTWARE");
  AddPath(s.root(HKEY::Root::kLocalMachine), "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
  AddPath(s.root(HKEY::Root::kCurrentUser), "Software");
  return s;
}

// ---------------------------------------------------------------- encoding

constexpr char kHex[] = "0123456789abcdef";

std::string ToHex(const std::vector<BYTE>& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const BYTE b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

bool FromHex(std::string_view text, std::vector<BYTE>& out) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.clear();
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int h = nibble(text[i]), l = nibble(text[i + 1]);
    if (h < 0 || l < 0) return false;
    out.push_back(static_cast<BYTE>(h << 4 | l));
  }
  return true;
}

json EncodeValue(const RegValue& v) {
  json j = {{"name", v.name}, {"type", v.type}};
  if (v.type == REG_DWORD && v.data.size() == 4) {
    DWORD d = 0;
    std::memcpy(&d, v.data.data(), 4);  // stored little-endian, as on Windows
    j["dword"] = d;
    return j;
  }
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && !v.data.empty() && v.data.back() == 0) {
    const std::string_view text(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
    if (text.find('\0') == std::string_view::npos && IsPlainText(text)) {
      j["text"] = std::string(text);
      return j;
    }
  }
  j["hex"] = ToHex(v.data);
  return j;
}

/// A key as stored; the roots are stored without their name.
json EncodeKey(const KeyNode& k, bool named) {
  json j = json::object();
  if (named) j["name"] = k.name;
  json values = json::array();
  for (const auto& v : k.values) values.push_back(EncodeValue(v));
  json keys = json::array();
  for (const auto& s : k.subkeys) keys.push_back(EncodeKey(s, true));
  j["values"] = std::move(values);
  j["keys"] = std::move(keys);
  return j;
}

bool DecodeValue(const json& j, RegValue& v) {
  if (!j.is_object()) return false;
  const auto name = j.find("name");
  const auto type = j.find("type");
  if (name == j.end() || !name->is_string() || type == j.end() || !type->is_number_unsigned()) return false;
  v.name = name->get<std::string>();
  if (!ValidValueName(v.name) || type->get<std::uint64_t>() > 0xFFFFFFFFu) return false;
  v.type = type->get<DWORD>();
  if (const auto d = j.find("dword"); d != j.end()) {
    if (!d->is_number_unsigned() || d->get<std::uint64_t>() > 0xFFFFFFFFu) return false;
    const DWORD value = d->get<DWORD>();
    v.data.resize(4);
    std::memcpy(v.data.data(), &value, 4);
    return true;
  }
  if (const auto t = j.find("text"); t != j.end()) {
    if (!t->is_string()) return false;
    const auto& s = t->get_ref<const std::string&>();
    v.data.assign(s.begin(), s.end());
    v.data.push_back(0);
    return true;
  }
  if (const auto h = j.find("hex"); h != j.end()) {
    return h->is_string() && FromHex(h->get_ref<const std::string&>(), v.data);
  }
  return false;
}

bool DecodeKey(const json& j, KeyNode& k, std::size_t depth) {
  if (!j.is_object() || depth > kMaxDepth) return false;
  const auto values = j.find("values");
  const auto keys = j.find("keys");
  if (values == j.end() || !values->is_array() || keys == j.end() || !keys->is_array()) return false;
  for (const auto& jv : *values) {
    RegValue v;
    if (!DecodeValue(jv, v) || FindValue(k, v.name) != nullptr) return false;
    k.values.push_back(std::move(v));
  }
  for (const auto& jk : *keys) {
    if (!jk.is_object()) return false;
    const auto name = jk.find("name");
    if (name == jk.end() || !name->is_string()) return false;
    const auto& n = name->get_ref<const std::string&>();
    if (n.empty() || !ValidKeyName(n) || n.find('\\') != std::string::npos || FindChild(k, n) != nullptr) {
      return false;
    }
    KeyNode& child = AddChild(k, n);
    if (!DecodeKey(jk, child, depth + 1)) return false;
  }
  return true;
}

Result<Store> Parse(std::string_view text) {
  const json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) return Error{ERROR_BADDB};
  const auto format = j.find("format");
  if (format == j.end() || *format != "telmo-registry") return Error{ERROR_BADDB};
  Store s;
  for (const auto r : kRoots) {
    KeyNode& root = s.root(r);
    root.name = std::string(RootLongName(r));
    const auto it = j.find(root.name);
    if (it == j.end()) continue;
    if (!DecodeKey(*it, root, 0)) return Error{ERROR_BADDB};
  }
  return s;
}

Result<std::string> Serialize(const Store& s) {
  json j = {{"format", "telmo-registry"}, {"version", 1}};
  for (const auto r : kRoots) j[std::string(RootLongName(r))] = EncodeKey(s.roots[static_cast<std::size_t>(r) - 1], false);
  try {
    return j.dump(1) + "\n";
  } catch (const json::exception&) {
    return Error{ERROR_INVALID_DATA};  // names are checked on the way in: not expected
  }
}

// ---------------------------------------------------------------- the file

std::string LockPath() { return RegistryStorePath() + ".lock"; }

Result<Store> Load() {
  auto text = ReadWholeFile(RegistryStorePath());
  if (!text) {
    if (text.error() == ERROR_FILE_NOT_FOUND) return FreshStore();
    return Error{text.error()};
  }
  return Parse(*text);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Temp file, fsync, rename, fsync of the directory. Runs under the store lock,
// so one fixed temporary name serves (a crash leaves it behind; the next
// writer truncates it).
Result<void> Save(const Store& s) {
  auto text = Serialize(s);
  if (!text) return Error{text.error()};
  const std::string path = RegistryStorePath();
  const std::string temp = path + ".new";
  mode_t mode = 0644;
  if (struct stat st{}; ::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  {
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd) return Error{Win32FromErrno(errno)};
    if (!WriteAll(fd.get(), *text) || ::fsync(fd.get()) != 0) {
      const DWORD e = Win32FromErrno(errno);
      ::unlink(temp.c_str());
      return Error{e};
    }
  }
  if (g_commit_hook) g_commit_hook();
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const DWORD e = Win32FromErrno(errno);
    ::unlink(temp.c_str());
    return Error{e};
  }
  UniqueFd dir(::open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return {};
}

/// Moves an unreadable store aside under a name no earlier copy has.
void MoveCorruptAside() {
  const std::string path = RegistryStorePath();
  std::string aside = path + ".corrupt";
  for (int i = 1; i < 10000 && ::access(aside.c_str(), F_OK) == 0; ++i) aside = Format("%s.corrupt.%d", path.c_str(), i);
  if (::rename(path.c_str(), aside.c_str()) != 0) return;
  WriteEvent("TELMO Registry", EVENTLOG_WARNING_TYPE, 0x80000010u,
             {Format("The registry store %s could not be read; it was kept as %s and a new store was started.",
                     path.c_str(), aside.c_str())});
}

/// Runs `change` on the current store under the store lock and writes the
/// result back when it succeeded and changed something.
template <typename Change>
LSTATUS Modify(Change change) {
  const std::string path = RegistryStorePath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  UniqueFd lock(::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock) return Win32FromErrno(errno);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Win32FromErrno(errno);
  }
  auto store = Load();
  if (!store && store.error() == ERROR_BADDB) {
    MoveCorruptAside();
    store = Load();
  }
  if (!store) return store.error();
  bool changed = false;
  const LSTATUS status = change(*store, changed);
  if (status != ERROR_SUCCESS || !changed) return status;
  const auto saved = Save(*store);
  return saved ? ERROR_SUCCESS : saved.error();
}  // the lock ends with its descriptor

// ---------------------------------------------------------------- handles

LSTATUS Check(const HKEY& key, REGSAM needed) {
  if (!key.valid()) return ERROR_INVALID_HANDLE;
  if (!key.predefined() && (key.access() & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

/// The node a handle names; nullptr when it has been deleted.
KeyNode* Resolve(Store& s, const HKEY& key) { return Walk(s.root(key.root()), SplitPath(key.path())); }

std::string ChildPath(const HKEY& parent, const std::vector<std::string>& parts) {
  std::string p = parent.path();
  const std::string rest = JoinParts(parts);
  if (!p.empty() && !rest.empty()) p += '\\';
  return p + rest;
}

/// Reads the store and runs `read` on the handle's node.
template <typename Read>
LSTATUS Inspect(const HKEY& key, REGSAM needed, Read read) {
  if (const LSTATUS c = Check(key, needed); c != ERROR_SUCCESS) return c;
  auto store = Load();
  if (!store) return store.error();
  KeyNode* node = Resolve(*store, key);
  if (node == nullptr) return ERROR_KEY_DELETED;
  return read(*node);
}

LSTATUS DeleteKey(const HKEY& parent, const char* subkey, bool tree) {
  if (!parent.valid()) return ERROR_INVALID_HANDLE;
  if (subkey == nullptr && !tree) return ERROR_INVALID_PARAMETER;
  const auto parts = SplitPath(subkey ? subkey : "");
  if (parts.empty() && !tree) return ERROR_INVALID_PARAMETER;
  return Modify([&](Store& s, bool& changed) -> LSTATUS {
    KeyNode* base = Resolve(s, parent);
    if (base == nullptr) return ERROR_KEY_DELETED;
    if (parts.empty()) {  // the tree below `parent`, which itself stays
      changed = !base->subkeys.empty() || !base->values.empty();
      base->subkeys.clear();
      base->values.clear();
      return ERROR_SUCCESS;
    }
    KeyNode* above = Walk(*base, std::vector<std::string>(parts.begin(), parts.end() - 1));
    KeyNode* target = above ? FindChild(*above, parts.back()) : nullptr;
    if (target == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!tree && !target->subkeys.empty()) return ERROR_ACCESS_DENIED;
    std::erase_if(above->subkeys, [&](const KeyNode& k) { return &k == target; });
    changed = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace

// ---------------------------------------------------------------- helpers

std::string RegistryStorePath() { return JoinPath(StateDir(), "registry"); }

Result<std::string> RegStoredPath(const HKEY& key) {
  if (!key.valid()) return Error{ERROR_INVALID_HANDLE};
  std::string out;
  auto store = Load();
  if (!store) return Error{store.error()};
  KeyNode* node = &store->root(key.root());
  for (const auto& part : SplitPath(key.path())) {
    node = FindChild(*node, part);
    if (node == nullptr) return Error{ERROR_KEY_DELETED};
    if (!out.empty()) out += '\\';
    out += node->name;
  }
  return out;
}

Result<RegValue> RegGetValue(const HKEY& key, std::string_view name) {
  RegValue out;
  const LSTATUS rc = Inspect(key, KEY_QUERY_VALUE, [&](KeyNode& node) -> LSTATUS {
    const RegValue* v = FindValue(node, name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    out = *v;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return Error{rc};
  return out;
}

Result<std::vector<std::string>> RegListSubkeys(const HKEY& key) {
  std::vector<std::string> names;
  const LSTATUS rc = Inspect(key, KEY_ENUMERATE_SUB_KEYS, [&](KeyNode& node) {
    for (const auto& k : node.subkeys) names.push_back(k.name);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return Error{rc};
  return names;
}

Result<std::vector<RegValue>> RegListValues(const HKEY& key) {
  std::vector<RegValue> values;
  const LSTATUS rc = Inspect(key, KEY_QUERY_VALUE, [&](KeyNode& node) {
    values = node.values;
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return Error{rc};
  return values;
}

namespace detail {
void SetRegistryCommitHook(CommitHook hook) noexcept { g_commit_hook = hook; }
}  // namespace detail

}  // namespace telmo::platform

// ---------------------------------------------------------------- Windows calls

using telmo::platform::RegValue;

LSTATUS RegOpenKeyExA(const HKEY& parent, const char* subkey, DWORD /*options*/, REGSAM desired, HKEY* result) {
  using namespace telmo::platform;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  result->reset();
  if (!parent.valid()) return ERROR_INVALID_HANDLE;
  const auto parts = SplitPath(subkey ? subkey : "");
  auto store = Load();
  if (!store) return store.error();
  KeyNode* base = Resolve(*store, parent);
  if (base == nullptr) return ERROR_KEY_DELETED;
  if (Walk(*base, parts) == nullptr) return ERROR_FILE_NOT_FOUND;
  *result = HKEY(parent.root(), ChildPath(parent, parts), desired);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(const HKEY& parent, const char* subkey, DWORD /*reserved*/, const char* /*class_name*/,
                        DWORD /*options*/, REGSAM desired, void* /*security*/, HKEY* result, DWORD* disposition) {
  using namespace telmo::platform;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  result->reset();
  if (!parent.valid()) return ERROR_INVALID_HANDLE;
  const auto parts = SplitPath(subkey ? subkey : "");
  for (const auto& p : parts) {
    if (!ValidKeyName(p)) return ERROR_INVALID_PARAMETER;
  }
  if (SplitPath(parent.path()).size() + parts.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
  DWORD how = REG_OPENED_EXISTING_KEY;
  const LSTATUS rc = Modify([&](Store& s, bool& changed) -> LSTATUS {
    KeyNode* node = Resolve(s, parent);
    if (node == nullptr) return ERROR_KEY_DELETED;
    for (const auto& p : parts) {
      KeyNode* next = FindChild(*node, p);
      if (next == nullptr) {
        if (!changed && Check(parent, KEY_CREATE_SUB_KEY) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
        next = &AddChild(*node, p);
        changed = true;
        how = REG_CREATED_NEW_KEY;
      }
      node = next;
    }
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *result = HKEY(parent.root(), ChildPath(parent, parts), desired);
  if (disposition) *disposition = how;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(const HKEY& key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size) {
  using namespace telmo::platform;
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) return ERROR_INVALID_PARAMETER;
  auto value = RegGetValue(key, name ? name : "");
  if (!value) return value.error();
  if (type) *type = value->type;
  const auto needed = static_cast<DWORD>(value->data.size());
  if (data_size == nullptr) return ERROR_SUCCESS;
  if (data == nullptr) {
    *data_size = needed;
    return ERROR_SUCCESS;
  }
  if (*data_size < needed) {
    *data_size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed > 0) std::memcpy(data, value->data.data(), needed);
  *data_size = needed;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(const HKEY& key, const char* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                       DWORD data_size) {
  using namespace telmo::platform;
  if (const LSTATUS c = Check(key, KEY_SET_VALUE); c != ERROR_SUCCESS) return c;
  const std::string value_name = name ? name : "";
  if (!ValidValueName(value_name) || (data == nullptr && data_size > 0)) return ERROR_INVALID_PARAMETER;
  std::vector<BYTE> bytes(data, data + (data ? data_size : 0));
  return Modify([&](Store& s, bool& changed) -> LSTATUS {
    KeyNode* node = Resolve(s, key);
    if (node == nullptr) return ERROR_KEY_DELETED;
    if (RegValue* v = FindValue(*node, value_name)) {
      v->type = type;  // the name keeps the case it was first set with
      v->data = std::move(bytes);
    } else {
      node->values.push_back(RegValue{value_name, type, std::move(bytes)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValueA(const HKEY& key, const char* name) {
  using namespace telmo::platform;
  if (const LSTATUS c = Check(key, KEY_SET_VALUE); c != ERROR_SUCCESS) return c;
  const std::string value_name = name ? name : "";
  return Modify([&](Store& s, bool& changed) -> LSTATUS {
    KeyNode* node = Resolve(s, key);
    if (node == nullptr) return ERROR_KEY_DELETED;
    const auto before = node->values.size();
    std::erase_if(node->values, [&](const RegValue& v) { return telmo::EqualsIgnoreCase(v.name, value_name); });
    changed = node->values.size() != before;
    return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LSTATUS RegDeleteKeyA(const HKEY& parent, const char* subkey) {
  return telmo::platform::DeleteKey(parent, subkey, false);
}

LSTATUS RegDeleteKeyExA(const HKEY& parent, const char* subkey, REGSAM /*desired*/, DWORD /*reserved*/) {
  return telmo::platform::DeleteKey(parent, subkey, false);
}

LSTATUS RegDeleteTreeA(const HKEY& key, const char* subkey) { return telmo::platform::DeleteKey(key, subkey, true); }

LSTATUS RegEnumKeyExA(const HKEY& key, DWORD index, std::string* name) {
  using namespace telmo::platform;
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  return Inspect(key, KEY_ENUMERATE_SUB_KEYS, [&](KeyNode& node) -> LSTATUS {
    if (index >= node.subkeys.size()) return ERROR_NO_MORE_ITEMS;
    *name = node.subkeys[index].name;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueA(const HKEY& key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data) {
  using namespace telmo::platform;
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  return Inspect(key, KEY_QUERY_VALUE, [&](KeyNode& node) -> LSTATUS {
    if (index >= node.values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = node.values[index];
    *name = v.name;
    if (type) *type = v.type;
    if (data) *data = v.data;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCloseKey(HKEY& key) {
  if (!key.valid()) return ERROR_INVALID_HANDLE;
  if (!key.predefined()) key.reset();
  return ERROR_SUCCESS;
}
