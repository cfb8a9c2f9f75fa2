// The thread's last error: a thread-local number, as Windows keeps it.
#include "platform/win_error.h"

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() noexcept { return t_last_error; }
void SetLastError(DWORD error) noexcept { t_last_error = error; }
