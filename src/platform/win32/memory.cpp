#include "platform/memory.h"

#include <malloc.h>

namespace telmo::platform {

void GiveFreedMemoryBack() noexcept { ::_heapmin(); }

}  // namespace telmo::platform
