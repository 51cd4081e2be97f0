#include "base/pool.hpp"

#include "base/settings.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <system_error>

namespace zorvik::pool {

namespace {
// Far beyond any useful size; keeps a huge requested count from exhausting the process.
constexpr std::size_t kMaxThreads = 1024;
}  // namespace

// One parallel_for call: indices are claimed from `next`; `done` counts finished ones.
struct ThreadPool::Group {
    ThreadPool* pool = nullptr;
    std::size_t count = 0;
    const std::function<void(std::size_t)>* body = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::mutex error_mutex;
    std::exception_ptr error;

    // Claims and runs indices until none are left.
    void drain() {
        for (;;) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) return;
            try {
                (*body)(i);
            } catch (...) {
                std::lock_guard<std::mutex> g(error_mutex);
                if (!error) error = std::current_exception();
            }
            if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
                std::lock_guard<std::mutex> g(pool->mutex_);
                pool->finished_.notify_all();
            }
        }
    }
};

ThreadPool::ThreadPool(std::size_t threads) {
    if (threads > kMaxThreads) threads = kMaxThreads;
    workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { worker_loop(); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

bool ThreadPool::run_one_queued(std::unique_lock<std::mutex>& lock) {
    if (queue_.empty()) return false;
    auto task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();  // tasks never throw: Group::drain catches
    lock.lock();
    return true;
}

void ThreadPool::worker_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (run_one_queued(lock)) continue;
        if (stopping_) return;
        wake_.wait(lock);
    }
}

void ThreadPool::parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
    if (count == 0) return;
    auto group = std::make_shared<Group>();
    group->pool = this;
    group->count = count;
    group->body = &body;

    // The caller counts as one of the pool's N threads: it is joined by at most N - 1
    // workers, so one call never runs more than N indices at once.
    const std::size_t helpers = std::min(count - 1, workers_.size() > 1 ? workers_.size() - 1 : 0);
    if (helpers > 0) {
        std::size_t queued = 0;
        {
            std::lock_guard<std::mutex> g(mutex_);
            try {
                for (; queued < helpers; ++queued) queue_.emplace_back([group] { group->drain(); });
            } catch (...) {
                // Out of memory part-way: the helpers already queued still help and the
                // rest is run here. This call returns only once every index is done, so
                // a helper that starts later finds nothing to claim and never touches `body`.
            }
        }
        // One worker per helper: the others sleep on, so little work wakes few threads.
        for (std::size_t i = 0; i < queued; ++i) wake_.notify_one();
    }
    group->drain();

    // Every index is claimed now, each by a thread that is running it, so waiting cannot
    // deadlock. The caller takes on no queued work meanwhile: that may belong to another
    // caller's group (several threads submit at once when the interpreter lock is let go)
    // and would hold this caller long after its own indices are done.
    if (group->done.load(std::memory_order_acquire) != count) {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return group->done.load(std::memory_order_acquire) == count; });
    }
    if (group->error) std::rethrow_exception(group->error);
}

std::size_t online_processors() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n < 2 ? 1 : static_cast<std::size_t>(n);
}

namespace {

// Size used when no size is given: RAYON_NUM_THREADS when it holds a positive count,
// else the number of online processors (at least 1).
std::size_t default_threads() {
    if (const auto n = settings::rayon_threads()) return static_cast<std::size_t>(std::min<std::uint64_t>(*n, kMaxThreads));
    return online_processors();
}

std::mutex g_pool_mutex;
// The process-wide pool is never destroyed. Its workers live until the process ends,
// and destroying it is unsafe in a child made by fork(): there its workers do not
// exist, while the inherited condition variable and mutex still describe the parent's
// waiting threads, so joining or even locking could block forever. A forked child
// forgets the inherited object and builds its own on first use.
ThreadPool* g_pool = nullptr;
std::size_t g_pool_size = 0;  // the size asked for, reused by forked children

void lock_before_fork() { g_pool_mutex.lock(); }
void unlock_in_parent() { g_pool_mutex.unlock(); }
void forget_in_child() {
    g_pool = nullptr;
    g_pool_mutex.unlock();  // held by this very thread across the fork
}

// Requires g_pool_mutex. Never destroyed: see above.
void make_pool(std::size_t threads) {
    static const bool fork_handlers = ::pthread_atfork(lock_before_fork, unlock_in_parent, forget_in_child) == 0;
    (void)fork_handlers;
    g_pool = std::make_unique<ThreadPool>(threads).release();
    g_pool_size = threads;
}

}  // namespace

bool create_global(std::size_t threads) {
    std::lock_guard<std::mutex> g(g_pool_mutex);
    if (g_pool) return false;
    try {
        make_pool(threads == 0 ? default_threads() : threads);
    } catch (...) {
        return false;
    }
    return true;
}

ThreadPool& global() {
    std::lock_guard<std::mutex> g(g_pool_mutex);
    if (!g_pool) make_pool(g_pool_size != 0 ? g_pool_size : default_threads());
    return *g_pool;
}

}  // namespace zorvik::pool
