#include "prepare/writeback.hpp"

#include <fcntl.h>

#include <system_error>

namespace zorvik::prepare {

Writeback::Writeback(int fd, bool enabled) : fd_(fd) {
    if (!enabled) return;
    try {
        helper_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread: the final flush writes everything.
    }
}

Writeback::~Writeback() {
    if (!helper_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_one();
    helper_.join();
}

void Writeback::push(off_t offset, off_t length) {
    if (!helper_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ranges_.emplace_back(offset, length);
    }
    wake_.notify_one();
}

void Writeback::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return done_ || !ranges_.empty(); });
        if (ranges_.empty()) return;
        const auto [offset, length] = ranges_.front();
        ranges_.pop_front();
        lock.unlock();
        // Errors surface at the flush; this only gets the write going.
        ::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
        lock.lock();
    }
}

}  // namespace zorvik::prepare
