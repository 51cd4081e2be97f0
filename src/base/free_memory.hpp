#pragma once
// Giving freed memory back to the system. The C library keeps freed blocks for reuse,
// in the arena of the thread that allocated them, and after a large buffer is freed it
// serves later large buffers from those arenas too; a long-running server that answered
// one large batch would keep its peak for good.
#include <cstdint>

namespace zorvik {

// Returns the free memory of every allocator arena to the system when the work just
// finished handled at least `bytes_handled` bytes (smaller work is not worth the walk).
void release_free_memory(std::uint64_t bytes_handled);

}  // namespace zorvik
