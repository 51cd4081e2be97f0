#pragma once
// The process-wide worker pool: a fixed set of std::threads fed from one queue.
// Any number of threads may submit work at once. A caller runs its own indices until
// none is left unclaimed, so parallel work started from inside a task cannot deadlock:
// the caller then waits only for indices other threads are running. An exception thrown
// by a task is rethrown in the caller whose task threw it.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zorvik::pool {

class ThreadPool {
public:
    // Starts up to `threads` workers; stops early (keeping those started) when the
    // system refuses a thread.
    explicit ThreadPool(std::size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t threads() const { return workers_.size(); }

    // Runs body(i) for every i in [0, count) and returns when all have finished.
    // The calling thread takes part, joined by at most threads() - 1 workers. The first
    // exception thrown is rethrown here.
    void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

private:
    struct Group;
    void worker_loop();
    bool run_one_queued(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable wake_;      // workers: a task was queued, or the pool stops
    std::condition_variable finished_;  // callers: a group's last index is done
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

// Online logical processors as the system reports them, 1 when the report is below 2.
std::size_t online_processors();

// Creates the process-wide pool with `threads` workers (0 = default size).
// Returns false when the pool exists already or cannot be created.
bool create_global(std::size_t threads);

// The process-wide pool, created with the default size on first use. A child process
// made by fork() gets a pool of its own, of the parent's size, on its first use; the
// parent's pool object is left behind untouched (its threads do not exist there).
ThreadPool& global();

// Shorthands for the process-wide pool.
inline std::size_t thread_count() { return global().threads(); }
inline void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
    global().parallel_for(count, body);
}

}  // namespace zorvik::pool
