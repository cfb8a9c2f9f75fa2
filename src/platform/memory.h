// The heap's free memory given back to the system (the C library keeps freed
// blocks for later otherwise): malloc_trim on Linux, _heapmin on Windows.
#pragma once

namespace telmo::platform {

void GiveFreedMemoryBack() noexcept;

}  // namespace telmo::platform
