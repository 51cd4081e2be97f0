#pragma once
// Whole transfers at an offset: retried when interrupted or short, in pieces no larger
// than the system moves in one call.
#include <cstddef>
#include <cstdint>

namespace zorvik {

// All `n` bytes at `offset`; 0 or errno.
int write_all(int fd, const void* data, std::size_t n, std::uint64_t offset);

// All `n` bytes from `offset`; 0 or errno (EIO when the file ends first).
int read_all(int fd, void* data, std::size_t n, std::uint64_t offset);

}  // namespace zorvik
