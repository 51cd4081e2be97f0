#include "prepare/flush_behind.hpp"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/tuning.hpp"

namespace zorvik::prepare {

FlushBehind::FlushBehind(int fd, std::uint64_t length) : fd_(fd) {
    if (length <= tuning::kFlushBehindBytes) return;
    try {
        helper_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No helper: the final flush does all the work.
    }
}

FlushBehind::~FlushBehind() { finish(); }

void FlushBehind::written(std::uint64_t bytes) {
    if (!helper_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        written_ = bytes;
    }
    wake_.notify_one();
}

int FlushBehind::finish() {
    if (helper_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        helper_.join();
    }
    return error_;
}

void FlushBehind::run() {
    std::uint64_t flushed = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return done_ || written_ - flushed >= tuning::kFlushBehindBytes; });
        if (done_) return;
        const std::uint64_t target = written_;
        lock.unlock();
        const int err = ::fdatasync(fd_) == 0 ? 0 : errno;
        lock.lock();
        if (err != 0) {
            error_ = err;
            return;
        }
        flushed = target;
    }
}

}  // namespace zorvik::prepare
