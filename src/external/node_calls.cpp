#include <array>
#include <string>

#include "external/telmo_node.h"
#include "platform/registry.h"
#include "platform/win_error.h"

int ObtainNoWriteMode() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTelmoProductKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return -1;
  const auto value = telmo::platform::RegGetDword(key, "TELMONoWriteMode");
  RegCloseKey(key);
  if (value) return static_cast<int>(*value);
  return value.error() == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

DWORD TELMO_AddTasksToRegistry(std::string_view first, std::string_view second, std::string_view third,
                               std::string_view fourth, std::string_view fifth, std::string_view sixth) {
  if (first.empty() || first.find('\\') != std::string_view::npos) return ERROR_INVALID_NAME;
  const std::string path = std::string(kTelmoProductKey) + "\\Tasks\\" + std::string(first);
  HKEY key;
  DWORD rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                             nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::array<std::string_view, 6> texts{first, second, third, fourth, fifth, sixth};
  for (std::size_t i = 0; i < texts.size() && rc == ERROR_SUCCESS; ++i) {
    const std::string name = "Task" + std::to_string(i + 1);
    if (auto set = telmo::platform::RegSetString(key, name, texts[i]); !set) rc = set.error();
  }
  RegCloseKey(key);
  return rc;
}
