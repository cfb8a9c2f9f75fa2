#include "platform/memory.h"

#include <malloc.h>

namespace telmo::platform {

void GiveFreedMemoryBack() noexcept { ::malloc_trim(0); }

}  // namespace telmo::platform
