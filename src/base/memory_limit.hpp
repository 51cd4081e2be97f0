#pragma once
// How much memory this process may use at most: the smallest of the machine's
// physical memory, the address-space and data-segment limits (RLIMIT_AS, RLIMIT_DATA)
// and the memory limit of the process's control group (cgroup v2 memory.max or v1
// memory.limit_in_bytes, of its own group and every ancestor), where each exists.
// A request larger than this can only end in an allocation failure or, where memory
// is promised lazily, in the process being killed; callers refuse it up front.
#include <cstdint>

namespace zorvik {

// Read afresh on every call: limits may change while the process runs.
std::uint64_t usable_memory_bytes();

// How much more this process may still take: the same limits less what is already used
// against each (the address space and data segment in use, the control group's charge
// less the file cache it would reclaim first, MemAvailable of /proc/meminfo).
std::uint64_t available_memory_bytes();

}  // namespace zorvik
