#include "base/file_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zorvik {

namespace {

// Largest single transfer the system performs in one call.
constexpr std::size_t kMaxTransfer = 0x7ffff000;

template <class Bytes, class Call>
int transfer_all(Call call, int fd, Bytes* p, std::size_t n, std::uint64_t offset) {
    while (n > 0) {
        const ssize_t done = call(fd, p, std::min(n, kMaxTransfer), static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return errno;
        if (done == 0) return EIO;
        p += done;
        n -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
    return 0;
}

}  // namespace

int write_all(int fd, const void* data, std::size_t n, std::uint64_t offset) {
    return transfer_all(::pwrite, fd, static_cast<const unsigned char*>(data), n, offset);
}

int read_all(int fd, void* data, std::size_t n, std::uint64_t offset) {
    return transfer_all(::pread, fd, static_cast<unsigned char*>(data), n, offset);
}

}  // namespace zorvik
