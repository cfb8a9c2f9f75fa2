#include "housekeeping/snf_cleanup.h"

#include <cstring>

#include "config/manager_log.h"
#include "config/server_file.h"
#include "external/telmo_env.h"
#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/sysinfo.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::housekeeping {
namespace {

constexpr DWORD kNeverDeleted = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Present unless it is plainly not there: a file that exists and cannot be
// read still counts.
bool FilePresent(const std::string& path) {
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void DeleteLogged(const std::string& path, const char* function) {
  if (!DeleteFileA(path)) {
    TELMO_MGMT_UTILS_LOG(function, "Failed to delete file *%s* with error=%d\n", path.c_str(),
                         static_cast<int>(GetLastError()));
  }
}

void RemoveDirectoryLogged(const std::string& path, const char* function) {
  if (!RemoveDirectoryA(path)) {
    TELMO_MGMT_UTILS_LOG(function, "Failed to delete directory *%s* with error=%d\n", path.c_str(),
                         static_cast<int>(GetLastError()));
  }
}

// Deletes the files of `directory` that match `pattern` and are neither
// directories nor hidden or system files.
void DeleteMatchingFiles(const std::string& directory, const std::string& pattern, const char* function) {
  WIN32_FIND_DATAA data;
  FindHandle find = FindFirstFileA(Format("%s\\%s", directory.c_str(), pattern.c_str()), &data);
  if (!find) return;
  do {
    if ((data.dwFileAttributes & kNeverDeleted) != 0) continue;
    DeleteLogged(Format("%s\\%s", directory.c_str(), data.cFileName.c_str()), function);
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

// A directory named by a store list or built from a service: deleted in only
// when it lies inside the I/O data directory, links resolved.
bool InsideIoData(const std::string& path, const std::string& iodata, const char* function) {
  if (platform::ResolvesInside(path, iodata)) return true;
  TELMO_MGMT_UTILS_LOG(function, "Directory *%s* does not lie inside %s. Not deleted\n", path.c_str(), iodata.c_str());
  return false;
}

void RemoveStoreDirectory(const std::string& directory, const std::string& iodata) {
  constexpr const char* kFunction = "TELMO_MGMT_RemoveSnfData";
  if (!IsDirectory(directory) || !InsideIoData(directory, iodata, kFunction)) return;
  const std::string queue_name(platform::PathTail(directory));
  DeleteMatchingFiles(directory, queue_name + "_*", kFunction);
  RemoveDirectoryLogged(directory, kFunction);
}

}  // namespace

std::vector<std::string> StoreListDirectories(std::span<const std::uint8_t> list, std::string_view list_name) {
  constexpr const char* kFunction = "TELMO_MGMT_RemoveSnfData";
  const std::string name(list_name);
  std::vector<std::string> directories;
  if (list.size() < kStoreListHeader) return directories;
  std::uint32_t count = wire::GetU32(list.data() + 8);
  const std::size_t held = (list.size() - kStoreListHeader) / kStoreListRecord;
  if (count > held) {
    TELMO_MGMT_UTILS_LOG(kFunction, "Store list *%s* counts %u records but holds %u; the rest is skipped\n",
                         name.c_str(), static_cast<unsigned>(count), static_cast<unsigned>(held));
    count = static_cast<std::uint32_t>(held);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto* record = reinterpret_cast<const char*>(list.data() + kStoreListHeader + i * kStoreListRecord);
    const auto* end = static_cast<const char*>(std::memchr(record, '\0', kStoreListRecord));
    if (end == nullptr || end == record) {
      TELMO_MGMT_UTILS_LOG(kFunction, "Store list *%s* record %u names no store directory; skipped\n", name.c_str(),
                           static_cast<unsigned>(i));
      continue;
    }
    directories.emplace_back(record, static_cast<std::size_t>(end - record));
  }
  return directories;
}

}  // namespace telmo::housekeeping

using namespace telmo;

void TELMO_MGMT_RemoveSnfData(std::string_view service) {
  constexpr const char* kFunction = "TELMO_MGMT_RemoveSnfData";
  const auto iodata = k42_getenv("TELMOIODATA");
  if (service.empty() || !iodata) return;
  // The service becomes part of file names: one that could name a path
  // elsewhere is never used.
  if (!config::IsSafeServiceFileName(service)) return;
  const std::string s(service);
  for (const char* list : {"TELMO_SCAN_LIST", "TELMO_UNSOL_LIST"}) {
    const std::string path = Format("%s\\%s.%s", iodata->c_str(), list, s.c_str());
    if (housekeeping::FilePresent(path)) housekeeping::DeleteLogged(path, kFunction);
  }

  const std::string store_list = Format("%s\\TELMO_STORE_LIST.%s", iodata->c_str(), s.c_str());
  if (!housekeeping::FilePresent(store_list)) return;
  const auto bytes = platform::ReadWholeFile(store_list);
  if (!bytes) {
    TELMO_MGMT_UTILS_LOG(kFunction, "Failed to read file *%s* with error=%d\n", store_list.c_str(),
                         static_cast<int>(bytes.error()));
    return;
  }
  const std::span<const std::uint8_t> list(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
  if (list.size() < housekeeping::kStoreListHeader) {
    TELMO_MGMT_UTILS_LOG(kFunction, "Store list *%s* holds no header (%d bytes). Kept\n", store_list.c_str(),
                         static_cast<int>(list.size()));
    return;
  }
  if (wire::GetU32(list.data() + 8) == 0) return;  // an empty list stays
  for (const auto& directory : housekeeping::StoreListDirectories(list, store_list)) {
    housekeeping::RemoveStoreDirectory(directory, *iodata);
  }
  housekeeping::DeleteLogged(store_list, kFunction);
}

void TELMO_MGMT_RemoveQueueDirectories(std::string_view service) {
  constexpr const char* kFunction = "TELMO_MGMT_RemoveQueueDirectories";
  const auto iodata = k42_getenv("TELMOIODATA");
  if (service.empty() || !iodata || !config::IsSafeServiceFileName(service)) return;
  const std::string queues = Format("%s\\%.*s", iodata->c_str(), static_cast<int>(service.size()), service.data());
  for (const std::string& directory : {queues + "\\HistoryQueue", queues + "\\SubscribeQueue", queues}) {
    if (!housekeeping::IsDirectory(directory) || !housekeeping::InsideIoData(directory, *iodata, kFunction)) continue;
    TELMO_MGMT_RemoveDirectoryFiles(directory);
  }
}

void TELMO_MGMT_RemoveDirectoryFiles(std::string_view path) {
  constexpr const char* kFunction = "TELMO_MGMT_RemoveDirectoryFiles";
  if (path.empty()) return;
  const std::string directory(path);
  housekeeping::DeleteMatchingFiles(directory, "*.*", kFunction);
  housekeeping::RemoveDirectoryLogged(directory, kFunction);
}

void TELMO_MGMT_DeleteScannerKey(std::string_view service, std::string_view node) {
  const std::string key_path =
      Format("Software\\Zarvelco\\TELMO\\TELMO_SCANNER_%.*s_CFG", static_cast<int>(service.size()), service.data());
  // A node name holding a separator would name a key further down.
  if (node.empty() || node.find('\\') != std::string_view::npos) return;
  const REGSAM view = TELMO_IsWow64() == 1 ? KEY_WOW64_32KEY : 0;
  HKEY key;
  const LSTATUS opened =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, view | READ_CONTROL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return;
  if (opened != ERROR_SUCCESS) {
    LogWindowsError("TELMO Manager", Format("Error %s key=[%s]", "Opening", key_path.c_str()).c_str(), opened);
    return;
  }
  const std::string subkey(node);
  const LSTATUS deleted = platform::RegDeleteKeyExAvailable()
                              ? RegDeleteKeyExA(key, subkey.c_str(), KEY_WOW64_32KEY, 0)
                              : RegDeleteKeyA(key, subkey.c_str());
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
    LogWindowsError("TELMO Manager",
                    Format("Error %s key=[%s\\%s]", "Deleting", key_path.c_str(), subkey.c_str()).c_str(), deleted);
  }
  RegCloseKey(key);
}
