#pragma once
// Makes the data of a file being written durable behind the writer: a helper thread
// flushes the file each time a large share more has been written, so the flush before
// its rename finds only the last part left. Disks that keep written data in a volatile
// cache (virtual disks above all) take their time at the flush, not at the write.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace zorvik::prepare {

class FlushBehind {
public:
    // No helper for files of `length` bytes too small to gain, or when the system
    // refuses a thread: the final flush then does all the work, as it would anyway.
    FlushBehind(int fd, std::uint64_t length);
    ~FlushBehind();
    FlushBehind(const FlushBehind&) = delete;
    FlushBehind& operator=(const FlushBehind&) = delete;

    // The first `bytes` of the file are written.
    void written(std::uint64_t bytes);
    // Stops the helper; 0, or the errno of a failed flush. The file reports a failure
    // to one flush only, so the caller must treat this as its own flush failing.
    int finish();

private:
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::uint64_t written_ = 0;
    bool done_ = false;
    int error_ = 0;
    std::thread helper_;  // last: starts once everything it uses exists
};

}  // namespace zorvik::prepare
