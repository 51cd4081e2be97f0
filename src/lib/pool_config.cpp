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

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        std::uint32_t cp = len == 1 ? c : c & (0x7f >> len);
        for (std::size_t j = 1; j < len; ++j) {
            const auto cc = static_cast<unsigned char>(s[i + j]);
            if ((cc >> 6) != 2) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        const std::uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

void set_thread_variables(const std::string& value) {
    for (const char* name : {"OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"})
        ::setenv(name, value.c_str(), 1);
}

void configure_once() {
    std::uint64_t n = 0;
    const char* raw = std::getenv("ZORVIK_THREADS");
    const std::string t = raw ? raw : "";
    if (raw != nullptr && !t.empty() && valid_utf8(t)) {
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
