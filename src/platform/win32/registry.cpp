// The Windows registry itself. An HKEY of the interface names its key by root
// and path (see registry.h); every call opens the system key for the handle's
// access, does its work and closes it again, so a handle holds no system
// resource. What differs from the file store of the other backend:
//  - the system checks the access rights and the views (KEY_WOW64_32KEY and
//    KEY_WOW64_64KEY reach different keys for redirected paths);
//  - a key deleted under an open handle gives ERROR_KEY_DELETED, and a key
//    re-created under the same path is taken for the old one (as there);
//  - there is no store file: RegistryStorePath() is empty and the commit hook
//    is never called.
#include <algorithm>

#include "platform/registry.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace win32 = telmo::platform::win32;

namespace telmo::platform {
namespace {

constexpr REGSAM kViewBits = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

win32::Handle RootHandle(HKEY::Root root) { return win32::RegistryRoot(static_cast<int>(root)); }

// A system key open for one call.
class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (own_) win32::RegClose(h_);
  }
  // Opens the key of `key` with `needed` (and the view bits of the handle).
  LSTATUS Open(const HKEY& key, REGSAM needed) {
    if (!key.valid()) return ERROR_INVALID_HANDLE;
    if (key.path().empty()) {
      h_ = RootHandle(key.root());
      return ERROR_SUCCESS;
    }
    if (!key.predefined() && (key.access() & needed & ~kViewBits) != (needed & ~kViewBits)) {
      return ERROR_ACCESS_DENIED;
    }
    const LSTATUS rc = win32::RegOpen(RootHandle(key.root()), key.path(), needed | (key.access() & kViewBits), &h_);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_KEY_DELETED;
    own_ = rc == ERROR_SUCCESS;
    return rc;
  }
  [[nodiscard]] win32::Handle get() const { return h_; }

 private:
  win32::Handle h_ = nullptr;
  bool own_ = false;
};

// The names of a path; empty parts ("a\\\\b", a trailing "\\") are passed over.
std::vector<std::string> Parts(std::string_view path) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto end = std::min(path.find('\\', start), path.size());
    if (end > start) out.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string Child(const HKEY& parent, std::string_view subkey) {
  std::string out = parent.path();
  for (const auto& part : Parts(subkey)) {
    if (!out.empty()) out += '\\';
    out += part;
  }
  return out;
}

}  // namespace
}  // namespace telmo::platform

using telmo::platform::Child;
using telmo::platform::OpenKey;
using telmo::platform::RootHandle;
using telmo::platform::kViewBits;

LSTATUS RegOpenKeyExA(const HKEY& parent, const char* subkey, DWORD /*options*/, REGSAM desired, HKEY* result) {
  if (!parent.valid() || result == nullptr) return ERROR_INVALID_HANDLE;
  const std::string path = Child(parent, subkey ? subkey : "");
  win32::Handle h = nullptr;
  const REGSAM view = (desired | parent.access()) & kViewBits;
  const LSTATUS rc = win32::RegOpen(RootHandle(parent.root()), path, (desired & ~kViewBits) | view, &h);
  if (rc != ERROR_SUCCESS) return rc;
  win32::RegClose(h);
  *result = HKEY(parent.root(), path, desired | view);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(const HKEY& parent, const char* subkey, DWORD /*reserved*/, const char* /*class_name*/,
                        DWORD /*options*/, REGSAM desired, void* /*security*/, HKEY* result, DWORD* disposition) {
  if (!parent.valid() || result == nullptr) return ERROR_INVALID_HANDLE;
  if (subkey == nullptr || *subkey == '\0') return RegOpenKeyExA(parent, nullptr, 0, desired, result);
  if (!parent.predefined() && (parent.access() & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
  const std::string path = Child(parent, subkey);
  win32::Handle h = nullptr;
  DWORD disp = 0;
  const REGSAM view = (desired | parent.access()) & kViewBits;
  const LSTATUS rc = win32::RegCreate(RootHandle(parent.root()), path, (desired & ~kViewBits) | view, &h, &disp);
  if (rc != ERROR_SUCCESS) return rc;
  win32::RegClose(h);
  *result = HKEY(parent.root(), path, desired | view);
  if (disposition) *disposition = disp;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(const HKEY& key, const char* name, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                         DWORD* data_size) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_QUERY_VALUE); rc != ERROR_SUCCESS) return rc;
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  return win32::RegQuery(k.get(), name, type, data, data_size);
}

LSTATUS RegSetValueExA(const HKEY& key, const char* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                       DWORD data_size) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_SET_VALUE); rc != ERROR_SUCCESS) return rc;
  return win32::RegSet(k.get(), name, type, data, data_size);
}

LSTATUS RegDeleteValueA(const HKEY& key, const char* name) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_SET_VALUE); rc != ERROR_SUCCESS) return rc;
  return win32::RegDeleteValueNative(k.get(), name);
}

LSTATUS RegDeleteKeyExA(const HKEY& parent, const char* subkey, REGSAM desired, DWORD /*reserved*/) {
  if (!parent.valid()) return ERROR_INVALID_HANDLE;
  if (subkey == nullptr || *subkey == '\0') return ERROR_INVALID_PARAMETER;
  const std::string path = Child(parent, subkey);
  return win32::RegDeleteKeyNative(RootHandle(parent.root()), path, (desired | parent.access()) & kViewBits);
}

LSTATUS RegDeleteKeyA(const HKEY& parent, const char* subkey) { return RegDeleteKeyExA(parent, subkey, 0, 0); }

LSTATUS RegDeleteTreeA(const HKEY& key, const char* subkey) {
  // The system needs delete, enumerate and query rights on the key for this.
  OpenKey k;
  HKEY all(key.root(), key.path(), KEY_ALL_ACCESS | (key.access() & kViewBits));
  if (const LSTATUS rc = k.Open(key.predefined() ? key : all, KEY_ALL_ACCESS); rc != ERROR_SUCCESS) return rc;
  const std::string sub = subkey ? subkey : "";
  return win32::RegDeleteTreeNative(k.get(), sub.empty() ? nullptr : sub.c_str());
}

LSTATUS RegEnumKeyExA(const HKEY& key, DWORD index, std::string* name) {
  // The system lists subkeys in its own order; the interface promises the
  // order of their names, letter case ignored.
  auto names = telmo::platform::RegListSubkeys(key);
  if (!names) return names.error();
  if (index >= names->size()) return ERROR_NO_MORE_ITEMS;
  if (name) *name = (*names)[index];
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(const HKEY& key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_QUERY_VALUE); rc != ERROR_SUCCESS) return rc;
  return win32::RegEnumValueAt(k.get(), index, name, type, data);
}

LSTATUS RegCloseKey(HKEY& key) {
  if (!key.valid()) return ERROR_INVALID_HANDLE;
  if (!key.predefined()) key.reset();
  return ERROR_SUCCESS;
}

namespace telmo::platform {

std::string RegistryStorePath() { return {}; }

Result<std::string> RegStoredPath(const HKEY& key) {
  if (!key.valid()) return Error{ERROR_INVALID_HANDLE};
  // Walks down from the root and takes each name as the system lists it.
  std::string out;
  HKEY at(key.root());
  for (const auto& part : Parts(key.path())) {
    auto names = RegListSubkeys(at);
    if (!names) return Error{names.error() == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : names.error()};
    const auto it = std::find_if(names->begin(), names->end(),
                                 [&](const std::string& n) { return EqualsIgnoreCase(n, part); });
    if (it == names->end()) return Error{ERROR_KEY_DELETED};
    if (!out.empty()) out += '\\';
    out += *it;
    at = HKEY(key.root(), out, KEY_READ | (key.access() & kViewBits));
  }
  return out;
}

Result<RegValue> RegGetValue(const HKEY& key, std::string_view name) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_QUERY_VALUE); rc != ERROR_SUCCESS) return Error{rc};
  const std::string n(name);
  RegValue out;
  out.name = n;
  for (;;) {
    DWORD size = 0;
    DWORD type = 0;
    LSTATUS rc = win32::RegQuery(k.get(), n.c_str(), &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return Error{rc};
    out.data.resize(size);
    rc = win32::RegQuery(k.get(), n.c_str(), &type, out.data.data(), &size);
    if (rc == ERROR_MORE_DATA) continue;  // the value grew between the two calls
    if (rc != ERROR_SUCCESS) return Error{rc};
    out.data.resize(size);
    out.type = type;
    return out;
  }
}

Result<std::vector<std::string>> RegListSubkeys(const HKEY& key) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_ENUMERATE_SUB_KEYS); rc != ERROR_SUCCESS) return Error{rc};
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    std::string name;
    const LSTATUS rc = win32::RegEnumSubkeyAt(k.get(), i, &name);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Error{rc};
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return ToUpper(a) < ToUpper(b);
  });
  return names;
}

Result<std::vector<RegValue>> RegListValues(const HKEY& key) {
  OpenKey k;
  if (const LSTATUS rc = k.Open(key, KEY_QUERY_VALUE); rc != ERROR_SUCCESS) return Error{rc};
  std::vector<RegValue> values;
  for (DWORD i = 0;; ++i) {
    RegValue v;
    const LSTATUS rc = win32::RegEnumValueAt(k.get(), i, &v.name, &v.type, &v.data);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return Error{rc};
    values.push_back(std::move(v));
  }
  return values;
}

namespace detail {
void SetRegistryCommitHook(CommitHook /*hook*/) noexcept {}
}  // namespace detail

}  // namespace telmo::platform
