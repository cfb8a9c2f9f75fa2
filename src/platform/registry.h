// The Windows registry, kept in one file: $TELMO_STATE_DIR/registry.
//
//  - Key names compare ignoring letter case and keep the case they were
//    created with; so do value names. Paths use "\" between key names (a "/"
//    is an ordinary character of a key name, as on Windows); empty path parts
//    ("a\\b", a trailing "\") are passed over.
//  - Values are typed: REG_SZ, REG_EXPAND_SZ (not expanded on reading),
//    REG_BINARY, REG_DWORD, REG_MULTI_SZ; the bytes given are kept as given.
//  - Every change re-reads the store and writes it back atomically (temporary
//    file in the same directory, fsync, rename) under an exclusive flock of
//    "registry.lock" beside it, so that the manager and a console changing the
//    store at the same time never lose each other's writes. Reading takes no
//    lock: a reader sees the store as it was before or after a change.
//  - A store that cannot be parsed fails every call with ERROR_BADDB. The
//    first change after that moves the bad file aside ("registry.corrupt",
//    then ".1", ".2"... so that no earlier copy is overwritten), writes a
//    warning event and starts a fresh store.
//  - A store that does not exist yet holds the keys every Windows machine has:
//    HKEY_LOCAL_MACHINE\SOFTWARE,
//    HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application
//    and HKEY_CURRENT_USER\Software.
//  - One registry view: KEY_WOW64_32KEY and KEY_WOW64_64KEY are accepted and
//    change nothing; RegDeleteKeyExA is always available.
//  - Access rights are those of the handle: KEY_QUERY_VALUE to read values,
//    KEY_SET_VALUE to set or delete them, KEY_CREATE_SUB_KEY to create a
//    subkey, KEY_ENUMERATE_SUB_KEYS to list subkeys; otherwise
//    ERROR_ACCESS_DENIED. Predefined roots have every right. As on Windows,
//    deleting a subkey needs no right on the parent handle.
//  - Names that are not valid UTF-8 or hold control characters are refused
//    (ERROR_INVALID_PARAMETER): the store keeps names as text.
//  - A handle names its key by path. When the key has been deleted, calls on
//    the handle fail with ERROR_KEY_DELETED; a key re-created under the same
//    path is taken for the old one (Windows would not).
//
// The Reg* calls return the Win32 error (ERROR_SUCCESS on success) and, as on
// Windows, leave the thread's last error alone.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win_error.h"
#include "platform/win_types.h"
#include "util/result.h"

/// Result of the registry calls. LONG on Windows; unsigned here so that it
/// compares with the ERROR_* constants without sign warnings.
using LSTATUS = DWORD;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM REG_DELETE = 0x00010000;  ///< DELETE
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_EXECUTE = KEY_READ;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

/// An open registry key, or a predefined root. Move-only; the key needs no
/// system resource, so closing only empties the handle.
class HKEY {
 public:
  enum class Root { kNone, kClassesRoot, kCurrentUser, kLocalMachine, kUsers };

  HKEY() = default;
  /// A predefined root (HKEY_LOCAL_MACHINE...).
  explicit HKEY(Root root) noexcept : root_(root), access_(KEY_ALL_ACCESS), predefined_(true) {}
  HKEY(Root root, std::string path, REGSAM access) noexcept
      : root_(root), path_(std::move(path)), access_(access) {}
  HKEY(HKEY&& other) noexcept { *this = std::move(other); }
  HKEY& operator=(HKEY&& other) noexcept {
    if (this != &other) {
      root_ = std::exchange(other.root_, Root::kNone);
      path_ = std::move(other.path_);
      other.path_.clear();
      access_ = std::exchange(other.access_, 0);
      predefined_ = std::exchange(other.predefined_, false);
    }
    return *this;
  }
  HKEY(const HKEY&) = delete;
  HKEY& operator=(const HKEY&) = delete;
  ~HKEY() = default;

  [[nodiscard]] bool valid() const noexcept { return root_ != Root::kNone; }
  explicit operator bool() const noexcept { return valid(); }
  [[nodiscard]] bool predefined() const noexcept { return predefined_; }
  [[nodiscard]] Root root() const noexcept { return root_; }
  /// Path below the root, "\" between names, as the key was opened; empty for a root.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  [[nodiscard]] REGSAM access() const noexcept { return access_; }
  void reset() noexcept { *this = HKEY(); }

 private:
  Root root_ = Root::kNone;
  std::string path_;
  REGSAM access_ = 0;
  bool predefined_ = false;
};

inline const HKEY HKEY_CLASSES_ROOT{HKEY::Root::kClassesRoot};
inline const HKEY HKEY_CURRENT_USER{HKEY::Root::kCurrentUser};
inline const HKEY HKEY_LOCAL_MACHINE{HKEY::Root::kLocalMachine};
inline const HKEY HKEY_USERS{HKEY::Root::kUsers};

/// Opens an existing key (ERROR_FILE_NOT_FOUND when it is missing). A null or
/// empty subkey opens `parent` again.
LSTATUS RegOpenKeyExA(const HKEY& parent, const char* subkey, DWORD options, REGSAM desired, HKEY* result);

/// Opens a key, creating it and any missing key above it. `disposition`
/// (optional) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY. Creating
/// needs KEY_CREATE_SUB_KEY on `parent`. The class, options and security
/// arguments are accepted and ignored.
LSTATUS RegCreateKeyExA(const HKEY& parent, const char* subkey, DWORD reserved, const char* class_name,
                        DWORD options, REGSAM desired, void* security, HKEY* result, DWORD* disposition);

/// Windows buffer semantics: with `data` null, *data_size receives the size
/// needed; with a buffer smaller than the value, ERROR_MORE_DATA and the size
/// needed in *data_size (nothing copied); else the bytes and their count. A
/// null or empty name reads the default value. `type` is optional.
LSTATUS RegQueryValueExA(const HKEY& key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size);

/// Sets a value to `data_size` bytes of `data` (kept as given: a REG_SZ
/// carries its terminating NUL when the caller counts it, as Windows callers do).
LSTATUS RegSetValueExA(const HKEY& key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD data_size);

LSTATUS RegDeleteValueA(const HKEY& key, const char* name);

/// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED when it has some,
/// ERROR_FILE_NOT_FOUND when it is missing). The subkey must be named.
LSTATUS RegDeleteKeyA(const HKEY& parent, const char* subkey);
/// RegDeleteKeyA; the view in `desired` changes nothing (one view).
LSTATUS RegDeleteKeyExA(const HKEY& parent, const char* subkey, REGSAM desired, DWORD reserved);
/// Deletes a key with everything below it (a null or empty subkey: everything
/// below `key`, which itself stays).
LSTATUS RegDeleteTreeA(const HKEY& key, const char* subkey);

/// The name of subkey number `index` (subkeys in order of their names, case
/// ignored); ERROR_NO_MORE_ITEMS past the last. Needs KEY_ENUMERATE_SUB_KEYS.
LSTATUS RegEnumKeyExA(const HKEY& key, DWORD index, std::string* name);
/// Value number `index` (values in the order they were first set);
/// ERROR_NO_MORE_ITEMS past the last. `type` and `data` are optional.
LSTATUS RegEnumValueA(const HKEY& key, DWORD index, std::string* name, DWORD* type, std::vector<BYTE>* data);

/// Empties the handle; ERROR_INVALID_HANDLE for an empty one. Closing a
/// predefined root succeeds and changes nothing.
LSTATUS RegCloseKey(HKEY& key);

namespace telmo::platform {

struct RegValue {
  std::string name;  ///< empty: the default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

/// A value's type and bytes, whatever its size.
[[nodiscard]] Result<RegValue> RegGetValue(const HKEY& key, std::string_view name);
/// A REG_DWORD of 4 bytes; ERROR_INVALID_DATA for any other type or size.
[[nodiscard]] Result<DWORD> RegGetDword(const HKEY& key, std::string_view name);
/// A REG_SZ or REG_EXPAND_SZ up to its first NUL (not expanded);
/// ERROR_INVALID_DATA for another type.
[[nodiscard]] Result<std::string> RegGetString(const HKEY& key, std::string_view name);

Result<void> RegSetDword(const HKEY& key, std::string_view name, DWORD value);
/// Stores the text with its terminating NUL; `type` REG_SZ or REG_EXPAND_SZ.
Result<void> RegSetString(const HKEY& key, std::string_view name, std::string_view text, DWORD type = REG_SZ);

/// Subkey names in the order RegEnumKeyExA gives them.
[[nodiscard]] Result<std::vector<std::string>> RegListSubkeys(const HKEY& key);
/// Every value in the order RegEnumValueA gives them.
[[nodiscard]] Result<std::vector<RegValue>> RegListValues(const HKEY& key);

/// True: RegDeleteKeyExA exists on this platform (the lookup the manager
/// makes at start always succeeds here).
[[nodiscard]] constexpr bool RegDeleteKeyExAvailable() noexcept { return true; }

/// The root of a full key path as the console writes it: "HKLM", "HKCU",
/// "HKCR", "HKU" or the long names, letter case ignored. The rest of the
/// path (after the first "\") goes to *rest.
[[nodiscard]] HKEY::Root ParseRootName(std::string_view full_path, std::string_view* rest = nullptr);
/// "HKEY_LOCAL_MACHINE" and so on; empty for kNone.
[[nodiscard]] std::string_view RootLongName(HKEY::Root root) noexcept;

/// The stored names of the key's path below its root, "\" between them (the
/// case the keys were created with); ERROR_KEY_DELETED when it is gone.
[[nodiscard]] Result<std::string> RegStoredPath(const HKEY& key);

/// $TELMO_STATE_DIR/registry
[[nodiscard]] std::string RegistryStorePath();

namespace detail {
/// Test hook: runs after the new store has been written and flushed and before
/// it is renamed over the old one (a test ends the process here to simulate a
/// crash). Null to remove.
using CommitHook = void (*)();
void SetRegistryCommitHook(CommitHook hook) noexcept;
}  // namespace detail

}  // namespace telmo::platform
