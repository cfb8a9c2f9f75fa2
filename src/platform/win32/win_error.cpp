// The thread's last error is the system's own: every Win32 call of the
// backend sets it, and so do the Windows-named calls built on them.
#include "platform/win32/native.h"
#include "platform/win_error.h"

DWORD GetLastError() noexcept { return telmo::platform::win32::LastError(); }
void SetLastError(DWORD error) noexcept { telmo::platform::win32::SetLastErrorCode(error); }
