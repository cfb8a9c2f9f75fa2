// The registry helpers that only build on the Windows calls, for every system.
#include <algorithm>
#include <cstring>

#include "platform/registry.h"
#include "util/text.h"

namespace telmo::platform {

HKEY::Root ParseRootName(std::string_view full_path, std::string_view* rest) {
  const auto sep = full_path.find('\\');
  const std::string_view head = full_path.substr(0, sep);
  if (rest) *rest = sep == std::string_view::npos ? std::string_view() : full_path.substr(sep + 1);
  struct Alias {
    std::string_view name;
    HKEY::Root root;
  };
  static constexpr Alias kAliases[] = {
      {"HKLM", HKEY::Root::kLocalMachine}, {"HKEY_LOCAL_MACHINE", HKEY::Root::kLocalMachine},
      {"HKCU", HKEY::Root::kCurrentUser},  {"HKEY_CURRENT_USER", HKEY::Root::kCurrentUser},
      {"HKCR", HKEY::Root::kClassesRoot},  {"HKEY_CLASSES_ROOT", HKEY::Root::kClassesRoot},
      {"HKU", HKEY::Root::kUsers},         {"HKEY_USERS", HKEY::Root::kUsers},
  };
  for (const auto& a : kAliases) {
    if (EqualsIgnoreCase(head, a.name)) return a.root;
  }
  return HKEY::Root::kNone;
}

std::string_view RootLongName(HKEY::Root root) noexcept {
  switch (root) {
    case HKEY::Root::kClassesRoot: return "HKEY_CLASSES_ROOT";
    case HKEY::Root::kCurrentUser: return "HKEY_CURRENT_USER";
    case HKEY::Root::kLocalMachine: return "HKEY_LOCAL_MACHINE";
    case HKEY::Root::kUsers: return "HKEY_USERS";
    case HKEY::Root::kNone: break;
  }
  return {};
}

Result<DWORD> RegGetDword(const HKEY& key, std::string_view name) {
  auto v = RegGetValue(key, name);
  if (!v) return Error{v.error()};
  if (v->type != REG_DWORD || v->data.size() != 4) return Error{ERROR_INVALID_DATA};
  DWORD d = 0;
  std::memcpy(&d, v->data.data(), 4);
  return d;
}

Result<std::string> RegGetString(const HKEY& key, std::string_view name) {
  auto v = RegGetValue(key, name);
  if (!v) return Error{v.error()};
  if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) return Error{ERROR_INVALID_DATA};
  const auto nul = std::find(v->data.begin(), v->data.end(), BYTE{0});
  return std::string(v->data.begin(), nul);
}

Result<void> RegSetDword(const HKEY& key, std::string_view name, DWORD value) {
  const std::string n(name);
  const LSTATUS rc =
      RegSetValueExA(key, n.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  if (rc != ERROR_SUCCESS) return Error{rc};
  return {};
}

Result<void> RegSetString(const HKEY& key, std::string_view name, std::string_view text, DWORD type) {
  if (type != REG_SZ && type != REG_EXPAND_SZ) return Error{ERROR_INVALID_PARAMETER};
  const std::string n(name);
  const std::string data(text);
  const LSTATUS rc = RegSetValueExA(key, n.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>(data.size() + 1));
  if (rc != ERROR_SUCCESS) return Error{rc};
  return {};
}

}  // namespace telmo::platform
