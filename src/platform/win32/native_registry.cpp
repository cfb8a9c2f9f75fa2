// The registry and the event log: the system calls behind native.h.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <vector>

#include "platform/win32/native.h"

namespace telmo::platform::win32 {

Handle RegistryRoot(int root) noexcept {
  switch (root) {
    case 1: return HKEY_CLASSES_ROOT;
    case 2: return HKEY_CURRENT_USER;
    case 3: return HKEY_LOCAL_MACHINE;
    case 4: return HKEY_USERS;
    default: return nullptr;
  }
}

namespace {
HKEY Key(Handle h) { return static_cast<HKEY>(h); }
u32 Status(LSTATUS s) { return static_cast<u32>(s); }
}  // namespace

u32 RegOpen(Handle parent, const std::string& subkey, u32 access, Handle* result) noexcept {
  HKEY out = nullptr;
  const LSTATUS s = ::RegOpenKeyExA(Key(parent), subkey.empty() ? nullptr : subkey.c_str(), 0, access, &out);
  *result = out;
  return Status(s);
}

u32 RegCreate(Handle parent, const std::string& subkey, u32 access, Handle* result, u32* disposition) noexcept {
  HKEY out = nullptr;
  DWORD disp = 0;
  const LSTATUS s = ::RegCreateKeyExA(Key(parent), subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                      nullptr, &out, &disp);
  *result = out;
  if (disposition) *disposition = disp;
  return Status(s);
}

void RegClose(Handle key) noexcept {
  if (key != nullptr) ::RegCloseKey(Key(key));
}

u32 RegQuery(Handle key, const char* name, u32* type, unsigned char* data, u32* size) noexcept {
  DWORD t = 0;
  DWORD n = size ? *size : 0;
  const LSTATUS s = ::RegQueryValueExA(Key(key), name, nullptr, &t, data, size ? &n : nullptr);
  if (type) *type = t;
  if (size) *size = n;
  return Status(s);
}

u32 RegSet(Handle key, const char* name, u32 type, const unsigned char* data, u32 size) noexcept {
  return Status(::RegSetValueExA(Key(key), name, 0, type, data, size));
}

u32 RegDeleteValueNative(Handle key, const char* name) noexcept { return Status(::RegDeleteValueA(Key(key), name)); }

u32 RegDeleteKeyNative(Handle parent, const std::string& subkey, u32 access) noexcept {
  return Status(::RegDeleteKeyExA(Key(parent), subkey.c_str(), access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY), 0));
}

u32 RegDeleteTreeNative(Handle key, const char* subkey) noexcept { return Status(::RegDeleteTreeA(Key(key), subkey)); }

u32 RegEnumSubkeyAt(Handle key, u32 index, std::string* name) noexcept {
  char buf[256] = {};  // key names are at most 255 characters
  DWORD n = sizeof buf;
  const LSTATUS s = ::RegEnumKeyExA(Key(key), index, buf, &n, nullptr, nullptr, nullptr, nullptr);
  if (s == ERROR_SUCCESS && name) name->assign(buf, n);
  return Status(s);
}

u32 RegEnumValueAt(Handle key, u32 index, std::string* name, u32* type, std::vector<unsigned char>* data) noexcept {
  DWORD max_name = 0;
  DWORD max_data = 0;
  LSTATUS s = ::RegQueryInfoKeyA(Key(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &max_name,
                                 &max_data, nullptr, nullptr);
  if (s != ERROR_SUCCESS) return Status(s);
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<char> name_buf(max_name + 1);
    std::vector<unsigned char> data_buf(max_data + 1);
    DWORD name_len = static_cast<DWORD>(name_buf.size());
    DWORD data_len = static_cast<DWORD>(data_buf.size());
    DWORD t = 0;
    s = ::RegEnumValueA(Key(key), index, name_buf.data(), &name_len, nullptr, &t, data_buf.data(), &data_len);
    if (s == ERROR_MORE_DATA) {  // a value grew meanwhile
      max_name = max_name * 2 + 64;
      max_data = data_len > max_data ? data_len : max_data * 2 + 64;
      continue;
    }
    if (s != ERROR_SUCCESS) return Status(s);
    if (name) name->assign(name_buf.data(), name_len);
    if (type) *type = t;
    if (data) data->assign(data_buf.begin(), data_buf.begin() + data_len);
    return ERROR_SUCCESS;
  }
  return Status(s);
}

Handle RegisterEventSourceNative(const std::string& source) noexcept {
  return ::RegisterEventSourceA(nullptr, source.c_str());
}

bool ReportEventNative(Handle source, std::uint16_t type, std::uint16_t category, u32 id,
                       const std::vector<const char*>& strings) noexcept {
  std::vector<LPCSTR> list(strings.begin(), strings.end());
  return ::ReportEventA(source, type, category, id, nullptr, static_cast<WORD>(list.size()), 0,
                        list.empty() ? nullptr : list.data(), nullptr) != 0;
}

void DeregisterEventSourceNative(Handle source) noexcept {
  if (source != nullptr) ::DeregisterEventSource(source);
}

}  // namespace telmo::platform::win32
