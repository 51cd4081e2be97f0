#include "lib/pool_config.hpp"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "engine/blas.hpp"
#include "engine/pool.hpp"
#include "engine/text.hpp"

namespace zorvik::lib {

namespace {

void set_thread_variables(const std::string& value) {
    for (const char* name : {"OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"})
        ::setenv(name, value.c_str(), 1);
}

void configure_once() {
    std::uint64_t n = 0;
    const char* raw = std::getenv("ZORVIK_THREADS");
    const std::string t = raw ? raw : "";
    if (raw != nullptr && !t.empty() && text::valid_utf8(t)) {
        set_thread_variables(t);
        const auto parsed = text::parse_count(t);
        n = parsed ? *parsed : pool::online_processors();
    } else {
        n = pool::online_processors();
        set_thread_variables(std::to_string(n));
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
