#include "lib/pool_config.hpp"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "engine/scan/blas.hpp"
#include "base/pool.hpp"
#include "base/settings.hpp"
#include "base/text.hpp"

namespace zorvik::lib {

namespace {

void configure_once() {
    std::uint64_t n = 0;
    if (const auto t = settings::threads_text()) {
        settings::export_thread_count(*t);
        const auto parsed = text::parse_count(*t);
        n = parsed ? *parsed : pool::online_processors();
    } else {
        n = pool::online_processors();
        settings::export_thread_count(std::to_string(n));
    }
    // BLAS calls run inside pool tasks; the pool owns the parallelism.
    blas_single_threaded();
    pool::create_global(static_cast<std::size_t>(n));  // an existing pool keeps its size
}

}  // namespace

void configure_worker_pool() {
    static std::once_flag once;
    std::call_once(once, configure_once);
}

}  // namespace zorvik::lib
