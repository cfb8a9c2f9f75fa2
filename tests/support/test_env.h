// A temporary node for a test: every directory of the configuration contract
// points into a fresh temporary directory, removed at the end. Nothing outside
// it is touched.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace telmo::test {

/// Sets an environment name for the scope and restores the old value after.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class TempNode {
 public:
  /// Creates root/{state,log,root,mgmt,iodata} and points TELMO_STATE_DIR,
  /// TELMO_LOG_DIR, TELMOROOT, TELMOMGMT, TELMOIODATA, TELMO_NODE (the given
  /// node name) and TELMO_LISTEN (127.0.0.1) at them.
  explicit TempNode(std::string node = "TESTNODE");
  ~TempNode();
  TempNode(const TempNode&) = delete;
  TempNode& operator=(const TempNode&) = delete;

  [[nodiscard]] const std::filesystem::path& root() const { return root_; }
  [[nodiscard]] std::filesystem::path state_dir() const { return root_ / "state"; }
  [[nodiscard]] std::filesystem::path log_dir() const { return root_ / "log"; }
  [[nodiscard]] std::filesystem::path product_root() const { return root_ / "root"; }
  [[nodiscard]] std::filesystem::path mgmt_dir() const { return root_ / "root" / "management"; }
  [[nodiscard]] std::filesystem::path iodata_dir() const { return root_ / "iodata"; }
  [[nodiscard]] std::filesystem::path services_file() const { return state_dir() / "services"; }
  [[nodiscard]] const std::string& node() const { return node_; }

  /// Sets (or with nullopt, unsets) a name for the life of the node.
  void Set(const std::string& name, const std::optional<std::string>& value);

 private:
  std::filesystem::path root_;
  std::string node_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

[[nodiscard]] std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);
/// The lines of a file, without their line ends.
[[nodiscard]] std::vector<std::string> ReadLines(const std::filesystem::path& path);
/// Number of lines of `path` that contain `needle`.
[[nodiscard]] int CountLinesWith(const std::filesystem::path& path, const std::string& needle);
/// A TCP port on 127.0.0.1 that was free a moment ago.
[[nodiscard]] int FreeLoopbackPort();
struct ProgramRun {
  int exit_code = -1;   ///< the exit status, or 128 + signal
  std::string output;   ///< standard output and standard error, interleaved
  bool timed_out = false;
};
/// Runs a program with the current environment and waits for it (killed
/// after `timeout_ms`). With `error_path`, standard error goes to that file
/// instead, and `output` holds standard output alone.
ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      int timeout_ms = 20000, const std::filesystem::path& error_path = {});

/// A new, empty directory under the system's temporary folder.
[[nodiscard]] std::filesystem::path MakeTempDir(const std::string& prefix);

/// Removes a directory with everything in it, as far as it can.
void RemoveTree(const std::filesystem::path& path);

/// True when the tests run on Wine (the Windows programs under Linux):
/// tests of what Wine only stubs (LogonUserA, the event log) skip there.
[[nodiscard]] bool RunningUnderWine();

/// "" on Linux, ".exe" on Windows.
extern const char* const kProgramSuffix;

/// Path of a program built next to the tests (fixtures, telmo_manager, telmoctl).
[[nodiscard]] std::filesystem::path BuiltProgram(const std::string& name);

/// A full disk for the scope: the soft file size limit is lowered to `bytes`
/// (writes beyond fail with EFBIG, SIGXFSZ ignored) and put back at the end.
/// Only the soft limit moves, so the restore needs no privilege and later
/// tests of the same process write whole files; a failed restore fails the test.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(unsigned long bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  unsigned long old_soft_ = 0;
  bool lowered_ = false;
};

}  // namespace telmo::test
