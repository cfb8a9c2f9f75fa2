// Processes and accounts: the system calls behind native.h.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/win32/native.h"

namespace telmo::platform::win32 {

bool SnapshotProcesses(std::vector<ProcessEntry>* out) {
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  out->clear();
  for (BOOL more = ::Process32First(snap, &entry); more; more = ::Process32Next(snap, &entry)) {
    out->push_back({entry.th32ProcessID, entry.szExeFile, entry.th32ParentProcessID});
  }
  ::CloseHandle(snap);
  return true;
}

Handle OpenProcessNative(u32 access, u32 pid) noexcept { return ::OpenProcess(access, FALSE, pid); }
bool TerminateProcessNative(Handle process, u32 exit_code) noexcept {
  return ::TerminateProcess(process, exit_code) != 0;
}
u32 ProcessIdOf(Handle process) noexcept { return ::GetProcessId(process); }

std::uint64_t ProcessCreationTime(Handle process) noexcept {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool ProcessImagePath(Handle process, std::string* out) {
  char path[MAX_PATH * 4] = {};
  DWORD size = sizeof path;
  if (!::QueryFullProcessImageNameA(process, 0, path, &size)) return false;
  out->assign(path, size);
  return true;
}

std::vector<std::string> EnvironmentStrings() {
  std::vector<std::string> out;
  LPCH block = ::GetEnvironmentStringsA();
  if (block == nullptr) return out;
  for (const char* p = block; *p != '\0'; p += out.back().size() + 1) out.emplace_back(p);
  ::FreeEnvironmentStringsA(block);
  return out;
}

u32 CreateProcessNative(const CreateProcessRequest& r, Handle* process, u32* pid) noexcept {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE null_in = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
  HANDLE null_out = nullptr;
  HANDLE out = r.output;
  if (out == nullptr) {
    null_out = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    out = null_out;
  }
  // Only the standard handles are handed on: without the list, every
  // inheritable handle of the manager (a file a C runtime call holds open at
  // that moment on another thread) would stay open in the component.
  HANDLE inherited[2] = {null_in, out};
  SIZE_T list_size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::vector<unsigned char> list_storage(list_size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_storage.data());
  bool have_list = list_size > 0 && ::InitializeProcThreadAttributeList(list, 1, 0, &list_size);
  if (have_list && !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                 sizeof inherited, nullptr, nullptr)) {
    ::DeleteProcThreadAttributeList(list);
    have_list = false;
  }
  STARTUPINFOEXA si{};
  si.StartupInfo.cb = have_list ? sizeof si : sizeof si.StartupInfo;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = null_in;
  si.StartupInfo.hStdOutput = out;
  si.StartupInfo.hStdError = out;
  si.lpAttributeList = have_list ? list : nullptr;
  PROCESS_INFORMATION pi{};
  std::string command_line = r.command_line;  // CreateProcess may write into it
  std::string environment = r.environment_block;
  const char* directory = r.working_directory.empty() ? nullptr : r.working_directory.c_str();
  // No console of its own and no window: components are background programs.
  const DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | (have_list ? EXTENDED_STARTUPINFO_PRESENT : 0);
  BOOL ok;
  if (r.token != nullptr) {
    ok = ::CreateProcessAsUserA(r.token, r.application.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                                environment.data(), directory, &si.StartupInfo, &pi);
  } else {
    ok = ::CreateProcessA(r.application.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                          environment.data(), directory, &si.StartupInfo, &pi);
  }
  if (have_list) ::DeleteProcThreadAttributeList(list);
  const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  if (null_in != INVALID_HANDLE_VALUE) ::CloseHandle(null_in);
  if (null_out != nullptr && null_out != INVALID_HANDLE_VALUE) ::CloseHandle(null_out);
  if (!ok) {
    ::SetLastError(error);
    return error;
  }
  ::CloseHandle(pi.hThread);
  *process = pi.hProcess;
  *pid = pi.dwProcessId;
  return ERROR_SUCCESS;
}

Handle LogonUserNative(const std::string& user, const std::string& domain, const std::string& password, u32 type,
                       u32 provider) noexcept {
  HANDLE token = nullptr;
  if (!::LogonUserA(user.c_str(), domain.c_str(), password.c_str(), type, provider, &token)) return nullptr;
  return token;
}

}  // namespace telmo::platform::win32
