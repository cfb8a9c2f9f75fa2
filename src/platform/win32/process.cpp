// Processes through the system's own calls: kernel process handles, Toolhelp
// snapshots, CreateProcessA/CreateProcessAsUserA.
//
// Kill by image name must only ever end processes that this manager started.
// Windows gives no sound way to read another process's environment, so the
// marker is kept by the manager itself: every process SpawnProcess starts is
// entered in $TELMO_STATE_DIR/children (process id, creation time, marker
// directory, image name), and a process carries the marker when its id and
// creation time are in that file under this manager's marker directory. The
// creation time tells a reused process id from the process that was started,
// and the file outlives the manager, so leftovers of an earlier run are found
// at start-up. The environment marker of the other backend is set as well, for
// the components' own use.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/win32/native.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmo::platform::detail {

struct ProcessObject {
  win32::KernelHandle handle;
  DWORD pid = 0;
};

struct Snapshot {
  std::vector<win32::ProcessEntry> entries;
  std::size_t next = 0;
};

}  // namespace telmo::platform::detail

namespace telmo::platform {
namespace {

using detail::ProcessObject;

constexpr DWORD kSynchronize = 0x00100000;
constexpr DWORD kQueryLimited = 0x1000;

ProcessHandle Wrap(win32::Handle h, DWORD pid) {
  auto object = std::make_shared<ProcessObject>();
  object->handle = win32::KernelHandle(h);
  object->pid = pid;
  return ProcessHandle(std::move(object));
}

// ---------------------------------------------------------------- the children file

struct Child {
  DWORD pid = 0;
  std::uint64_t created = 0;
  std::string directory;
  std::string image;
};

std::string ChildrenPath() { return JoinPath(StateDir(), "children"); }

std::vector<Child> ReadChildren() {
  std::vector<Child> out;
  auto text = ReadWholeFile(ChildrenPath());
  if (!text) return out;
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    Child c;
    if (!(fields >> c.pid >> c.created)) continue;
    fields.get();  // the tab before the directory
    if (!std::getline(fields, c.directory, '\t') || !std::getline(fields, c.image)) continue;
    out.push_back(std::move(c));
  }
  return out;
}

// True when the process `pid` still runs and was created at `created`.
bool StillThere(DWORD pid, std::uint64_t created) {
  win32::KernelHandle h(win32::OpenProcessNative(kQueryLimited | kSynchronize, pid));
  if (!h) return false;
  DWORD code = 0;
  return win32::ProcessCreationTime(h.get()) == created && win32::ExitCodeOf(h.get(), &code, false) &&
         code == STILL_ACTIVE;
}

bool SameDirectory(std::string_view a, std::string_view b) {
  return EqualsIgnoreCase(NativePath(a), NativePath(b));
}

std::string Line(const Child& c) {
  return std::to_string(c.pid) + ' ' + std::to_string(c.created) + '\t' + c.directory + '\t' + c.image + '\n';
}

// Enters a started child: one line appended under the file's lock.
void RecordChild(const Child& child) {
  std::error_code ec;
  std::filesystem::create_directories(StateDir(), ec);
  const auto lock = ExclusiveFileLock::Acquire(ChildrenPath() + ".lock");
  if (auto file = AppendFile::Open(ChildrenPath())) static_cast<void>(file->Write(Line(child)));
}

// The children that still run; the file is rewritten without the others.
std::vector<Child> LiveChildren() {
  const auto lock = ExclusiveFileLock::Acquire(ChildrenPath() + ".lock");
  std::vector<Child> live;
  const auto all = ReadChildren();
  std::string text;
  for (const auto& c : all) {
    if (!StillThere(c.pid, c.created)) continue;
    text += Line(c);
    live.push_back(c);
  }
  if (live.size() != all.size()) static_cast<void>(WriteFileAtomically(ChildrenPath(), text));
  return live;
}

bool Marked(DWORD pid, std::uint64_t created, std::string_view image) {
  const std::string directory = MarkerDirectory();
  const auto children = ReadChildren();
  return std::any_of(children.begin(), children.end(), [&](const Child& c) {
    return c.pid == pid && c.created == created && SameDirectory(c.directory, directory) &&
           EqualsIgnoreCase(c.image, image);
  });
}

// ---------------------------------------------------------------- spawning

std::string BackslashPath(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

bool HasNul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

bool ValidInput(const SpawnOptions& o) {
  if (HasNul(o.program) || HasNul(o.working_directory) || HasNul(o.output_path)) return false;
  for (const auto& a : o.arguments) {
    if (HasNul(a)) return false;
  }
  for (const auto& [name, value] : o.environment) {
    if (name.empty() || HasNul(name) || HasNul(value) || name.find('=') != std::string::npos) return false;
  }
  return true;
}

// The environment block: the manager's own, the caller's additions, then the
// marker; names compare ignoring case, and the block is sorted as Windows
// wants it.
std::string EnvironmentBlock(const SpawnOptions& options, std::string_view image) {
  std::vector<std::pair<std::string, std::string>> overrides = options.environment;
  overrides.emplace_back(kMarkerDirectoryVariable, MarkerDirectory());
  overrides.emplace_back(kMarkerImageVariable, std::string(image));
  std::vector<std::string> env;
  const auto overridden = [&](std::string_view name) {
    return std::any_of(overrides.begin(), overrides.end(),
                       [&](const auto& o) { return EqualsIgnoreCase(o.first, name); });
  };
  for (auto& entry : win32::EnvironmentStrings()) {
    // "=C:=C:\dir" entries (the current folder of each drive) have a name starting with "=".
    const auto eq = entry.find('=', 1);
    if (!overridden(std::string_view(entry).substr(0, eq))) env.push_back(std::move(entry));
  }
  for (std::size_t i = 0; i < overrides.size(); ++i) {
    const bool later = std::any_of(overrides.begin() + static_cast<std::ptrdiff_t>(i) + 1, overrides.end(),
                                   [&](const auto& o) { return EqualsIgnoreCase(o.first, overrides[i].first); });
    if (!later) env.push_back(overrides[i].first + "=" + overrides[i].second);
  }
  std::stable_sort(env.begin(), env.end(), [](const std::string& a, const std::string& b) {
    return ToUpper(a.substr(0, a.find('=', 1))) < ToUpper(b.substr(0, b.find('=', 1)));
  });
  std::string block;
  for (const auto& e : env) {
    block += e;
    block += '\0';
  }
  block += '\0';
  return block;
}

Error Fail(DWORD code) {
  SetLastError(code);
  return Error{code};
}

}  // namespace

Result<ProcessHandle> SpawnProcess(const SpawnOptions& options) {
  if (!ValidInput(options)) return Fail(ERROR_INVALID_PARAMETER);
  if (options.program.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  win32::CreateProcessRequest request;
  request.application = BackslashPath(options.program);
  // The system assumes no extension when the program is named in full; a
  // program named without one is looked for as NAME.exe, as a command line
  // would find it.
  if (win32::FileAttributes(request.application) == INVALID_FILE_ATTRIBUTES &&
      PathTail(request.application).find('.') == std::string_view::npos) {
    request.application += ".exe";
  }
  std::string command_line = QuoteArgument(request.application);
  for (const auto& a : options.arguments) command_line += ' ' + QuoteArgument(a);
  request.command_line = std::move(command_line);
  const std::string image(PathTail(request.application));
  request.environment_block = EnvironmentBlock(options, image);
  request.working_directory = BackslashPath(options.working_directory);
  if (options.account != nullptr) request.token = options.account->system_token.get();

  win32::KernelHandle output;
  if (!options.output_path.empty()) {
    output.reset(win32::OpenAppend(BackslashPath(options.output_path), true));
    if (!output) return Fail(GetLastError());
    request.output = output.get();
  }

  win32::Handle process = nullptr;
  DWORD pid = 0;
  const DWORD error = win32::CreateProcessNative(request, &process, &pid);
  if (error != ERROR_SUCCESS) return Fail(error);
  ProcessHandle handle = Wrap(process, pid);
  RecordChild({pid, win32::ProcessCreationTime(process), MarkerDirectory(), image});
  return handle;
}

std::string CommandInterpreter() {
  return LookupEnvironment("ComSpec").value_or(LookupEnvironment("SystemRoot").value_or("C:\\Windows") +
                                               "\\system32\\cmd.exe");
}

std::string ScriptArguments(std::string_view path) { return "/c " + QuoteArgument(BackslashPath(path)); }

std::vector<DWORD> FindMarkedProcesses(std::string_view image) {
  std::vector<DWORD> out;
  const std::string directory = MarkerDirectory();
  for (const auto& c : LiveChildren()) {
    if (SameDirectory(c.directory, directory) && EqualsIgnoreCase(c.image, image)) out.push_back(c.pid);
  }
  return out;
}

std::map<std::string, std::vector<DWORD>> MarkedProcessesByImage() {
  std::map<std::string, std::vector<DWORD>> found;
  const std::string directory = MarkerDirectory();
  for (const auto& c : LiveChildren()) {
    if (SameDirectory(c.directory, directory) && !c.image.empty()) found[ToUpper(c.image)].push_back(c.pid);
  }
  return found;
}

bool CarriesMarker(const ProcessHandle& process, std::string_view image) {
  if (!process) return false;
  win32::Handle h = process.get()->handle.get();
  DWORD code = 0;
  if (!win32::ExitCodeOf(h, &code, false) || code != STILL_ACTIVE) return false;
  return Marked(process.get()->pid, win32::ProcessCreationTime(h), image);
}

bool RunsProgramFile(const ProcessHandle& process, std::string_view path) {
  if (!process || path.empty()) return false;
  win32::Handle h = process.get()->handle.get();
  DWORD code = 0;
  if (!win32::ExitCodeOf(h, &code, false) || code != STILL_ACTIVE) return false;
  std::string image;
  if (!win32::ProcessImagePath(h, &image)) return false;
  // One file has one full path; Windows compares paths ignoring case.
  return EqualsIgnoreCase(BackslashPath(image), BackslashPath(path));
}

bool StartedForService(const ProcessHandle& process, std::string_view service) {
  if (!process || service.empty()) return false;
  win32::Handle h = process.get()->handle.get();
  DWORD code = 0;
  if (!win32::ExitCodeOf(h, &code, false) || code != STILL_ACTIVE) return false;
  const DWORD service_pid = win32::ServiceProcessId(std::string(service));
  if (service_pid == 0) return false;
  std::vector<win32::ProcessEntry> entries;
  if (!win32::SnapshotProcesses(&entries)) return false;
  // From the process up through the ones that started it; a bounded walk, as
  // a parent's id may have been reused by a younger process.
  DWORD pid = process.get()->pid;
  for (int depth = 0; depth < 16 && pid != 0; ++depth) {
    if (pid == service_pid) return true;
    const auto it = std::find_if(entries.begin(), entries.end(), [pid](const auto& e) { return e.pid == pid; });
    if (it == entries.end() || it->parent == pid) return false;
    pid = it->parent;
  }
  return false;
}

}  // namespace telmo::platform

using telmo::platform::detail::ProcessObject;
namespace win32 = telmo::platform::win32;

ProcessHandle::ProcessHandle(std::shared_ptr<ProcessObject> o) : obj_(std::move(o)) {}
ProcessHandle::~ProcessHandle() = default;
int ProcessHandle::value() const noexcept {
  return obj_ ? static_cast<int>(reinterpret_cast<std::intptr_t>(obj_->handle.get())) : 0;
}
void ProcessHandle::reset() noexcept { obj_.reset(); }

ProcessHandle OpenProcess(DWORD desired_access, BOOL /*inherit*/, DWORD process_id) {
  // Waiting and reading the exit code need these rights whatever was asked.
  win32::Handle h =
      win32::OpenProcessNative(desired_access | telmo::platform::kSynchronize | telmo::platform::kQueryLimited,
                               process_id);
  if (h == nullptr) return {};
  return telmo::platform::Wrap(h, process_id);
}

BOOL GetExitCodeProcess(const ProcessHandle& process, DWORD* exit_code) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return win32::ExitCodeOf(process.get()->handle.get(), exit_code, false) ? TRUE : FALSE;
}

BOOL TerminateProcess(const ProcessHandle& process, UINT exit_code) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return win32::TerminateProcessNative(process.get()->handle.get(), exit_code) ? TRUE : FALSE;
}

DWORD GetProcessId(const ProcessHandle& process) { return process ? process.get()->pid : 0; }

BOOL CloseHandle(ProcessHandle& process) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  process.reset();
  return TRUE;
}

DWORD GetCurrentProcessId() { return win32::CurrentProcessId(); }

DWORD WaitForSingleObject(const ProcessHandle& process, DWORD milliseconds) {
  if (!process) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return win32::Wait(process.get()->handle.get(), milliseconds);
}

SnapshotHandle CreateToolhelp32Snapshot(DWORD flags, DWORD /*process_id*/) {
  if ((flags & TH32CS_SNAPPROCESS) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  auto snapshot = std::make_shared<telmo::platform::detail::Snapshot>();
  if (!win32::SnapshotProcesses(&snapshot->entries)) return {};
  return SnapshotHandle(std::move(snapshot));
}

namespace {
BOOL NextEntry(const SnapshotHandle& snapshot, PROCESSENTRY32* entry) {
  if (!snapshot || entry == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& s = *snapshot.get();
  if (s.next >= s.entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  entry->th32ProcessID = s.entries[s.next].pid;
  entry->szExeFile = s.entries[s.next].image;
  ++s.next;
  return TRUE;
}
}  // namespace

BOOL Process32First(const SnapshotHandle& snapshot, PROCESSENTRY32* entry) {
  if (snapshot) snapshot.get()->next = 0;
  return NextEntry(snapshot, entry);
}
BOOL Process32Next(const SnapshotHandle& snapshot, PROCESSENTRY32* entry) { return NextEntry(snapshot, entry); }

BOOL CloseHandle(SnapshotHandle& snapshot) {
  if (!snapshot) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  snapshot.reset();
  return TRUE;
}
