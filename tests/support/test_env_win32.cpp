// The system's side of the test support on Windows (and Wine).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "test_env.h"

namespace telmo::test {

const char* const kProgramSuffix = ".exe";

namespace {

// The system's environment block (inherited by children) and the C
// runtime's copy (getenv) both change.
void SetVariable(const std::string& name, const std::optional<std::string>& value) {
  ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
  ::_putenv_s(name.c_str(), value ? value->c_str() : "");
}

std::string Quote(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : a) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  SetVariable(name_, value);
}

ScopedEnv::~ScopedEnv() { SetVariable(name_, old_); }

std::filesystem::path MakeTempDir(const std::string& prefix) {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto p = std::filesystem::temp_directory_path() / (prefix + std::to_string(random() % 100000000));
    if (::CreateDirectoryA(p.string().c_str(), nullptr)) return p;
  }
  throw std::runtime_error("no temporary directory");
}

// A file that a process still holds open (a log the library keeps open) is
// only marked for deletion, and its folder cannot go until it is closed:
// such leftovers are passed over instead of retried.
void RemoveTree(const std::filesystem::path& path) {
  WIN32_FIND_DATAA data{};
  const std::string dir = path.string();
  HANDLE find = ::FindFirstFileA((dir + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = dir + "\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(child.c_str());
      }
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryA(dir.c_str());
}

bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int FreeLoopbackPort() {
  WSADATA data{};
  ::WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    throw std::runtime_error("no free port");
  }
  ::closesocket(s);
  return ntohs(addr.sin_port);
}

ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args, int timeout_ms,
                      const std::filesystem::path& error_path) {
  ProgramRun run;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &sa, 0)) return run;
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = write_end;
  // Standard error into its own file when asked, else with the output.
  HANDLE error_file = INVALID_HANDLE_VALUE;
  if (!error_path.empty()) {
    error_file = ::CreateFileA(error_path.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  si.hStdError = error_file != INVALID_HANDLE_VALUE ? error_file : write_end;
  std::string command_line = Quote(program.string());
  for (const auto& a : args) command_line += " " + Quote(a);
  PROCESS_INFORMATION pi{};
  const BOOL ok = ::CreateProcessA(program.string().c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
  ::CloseHandle(write_end);
  if (error_file != INVALID_HANDLE_VALUE) ::CloseHandle(error_file);
  if (!ok) {
    ::CloseHandle(read_end);
    return run;
  }
  ::CloseHandle(pi.hThread);
  // The pipe is read on this thread until the child's end closes; the
  // time-out ends the child, which closes it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;  // child's end closed
    if (available == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        run.timed_out = true;
        ::TerminateProcess(pi.hProcess, 1);
        break;
      }
      if (::WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0) {
        // Ended: whatever is left in the pipe is read below.
        ::PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr);
        if (available == 0) break;
      }
      continue;
    }
    DWORD n = 0;
    if (!::ReadFile(read_end, buf, sizeof buf, &n, nullptr) || n == 0) break;
    run.output.append(buf, n);
  }
  ::CloseHandle(read_end);
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hProcess);
  run.exit_code = static_cast<int>(code);
  return run;
}

}  // namespace telmo::test
