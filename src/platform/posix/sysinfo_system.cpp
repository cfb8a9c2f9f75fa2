// System information on Linux.
//  - The manager stands for a 32-bit program, so on a 64-bit host it runs "as
//    WOW64" (harmless here: one registry view).
//  - The shell is version 6.1, above 6.0, so the launch verb is "runas".
#include <malloc.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sysinfo.h"
#include "platform/win_error.h"

namespace telmo::platform {

Result<std::string> ModuleFileName() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return Error{Win32FromErrno(errno)};
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);  // readlink fills the buffer when the path may be longer
  }
}

std::uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

void KeepFreedMemoryForReuse(std::size_t largest) {
#ifdef __GLIBC__
  // Blocks up to twice the largest frame come from the heap, not from a
  // mapping of their own, and the heap keeps four times that free at its
  // top: a frame, its payload and their copies fit without a page fault.
  const auto mapped = static_cast<int>(std::min<std::size_t>(largest * 2, 32u << 20));
  ::mallopt(M_MMAP_THRESHOLD, mapped);
  ::mallopt(M_TRIM_THRESHOLD, mapped * 2);
#else
  (void)largest;
#endif
}

Result<void> EnablePrivilege(std::string_view name) {
  if (name.empty()) return Error{ERROR_INVALID_PARAMETER};
  return {};
}

namespace detail {

bool SystemIsWow64() {
  utsname u{};
  if (::uname(&u) != 0) return sizeof(void*) == 8;
  const std::string_view m = u.machine;
  return m == "x86_64" || m == "aarch64" || m == "arm64" || m == "ppc64" || m == "ppc64le" || m == "s390x" ||
         m == "riscv64" || m == "loongarch64" || m == "mips64";
}

bool SystemShellVersion(DWORD* major, DWORD* minor, DWORD* build) {
  *major = 6;
  *minor = 1;
  *build = 0;
  return true;
}

}  // namespace detail
}  // namespace telmo::platform
