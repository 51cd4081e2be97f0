#pragma once
// Starts the disk write of finished parts of a file on a helper thread, so that the
// caller goes on filling the file while earlier parts travel to disk and the final
// flush finds little left to do. Only starts writes; durability is the flush's job.
#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace zorvik::prepare {

class Writeback {
public:
    // Without a helper (`enabled` false, or no thread to be had) push() does nothing.
    Writeback(int fd, bool enabled);
    ~Writeback();  // returns once every pushed range has been handed to the system
    Writeback(const Writeback&) = delete;
    Writeback& operator=(const Writeback&) = delete;

    void push(off_t offset, off_t length);

private:
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<off_t, off_t>> ranges_;
    bool done_ = false;
    std::thread helper_;
};

}  // namespace zorvik::prepare
