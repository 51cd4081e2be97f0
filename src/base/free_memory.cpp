#include "base/free_memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "base/tuning.hpp"

namespace zorvik {

void release_free_memory(std::uint64_t bytes_handled) {
    if (bytes_handled < tuning::kReleaseFreedBytes) return;
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace zorvik
