#include "base/settings.hpp"

#include <atomic>
#include <cstdlib>
#include <string_view>

#include "base/text.hpp"

namespace zorvik::settings {

namespace {

std::optional<std::string> raw(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

bool is_one(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && std::string_view(v) == "1";
}

std::optional<std::uint64_t> positive_count(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    const auto n = text::parse_count(v);
    if (!n || *n == 0) return std::nullopt;
    return n;
}

// ZORVIK_FORCE_SCALAR as the latest search_settings() found it: -1 before any, else 0 or 1.
std::atomic<int> g_scalar_seen{-1};

}  // namespace

bool force_scalar() {
    static const bool value = [] {
        const int seen = g_scalar_seen.load(std::memory_order_acquire);
        return seen < 0 ? is_one("ZORVIK_FORCE_SCALAR") : seen == 1;
    }();
    return value;
}

SearchSettings search_settings() {
    g_scalar_seen.store(is_one("ZORVIK_FORCE_SCALAR") ? 1 : 0, std::memory_order_release);
    return {raw("ZORVIK_SINGLE_MODE"), raw("ZORVIK_BATCH_MODE"), positive_count("ZORVIK_QBLOCK"),
            is_one("ZORVIK_RELEASE_GIL")};
}

bool strict_memcheck() { return is_one("ZORVIK_STRICT_MEMCHECK"); }

bool sketch_at_open() { return is_one("ZORVIK_SKETCH_AT_OPEN"); }

std::optional<std::string> sketch_dir() {
    auto d = raw("ZORVIK_SKETCH_DIR");
    if (!d || d->empty()) return std::nullopt;
    return d;
}

std::optional<std::string> threads_text() {
    auto t = raw("ZORVIK_THREADS");
    if (!t || t->empty() || !text::valid_utf8(*t)) return std::nullopt;
    return t;
}

void export_thread_count(const std::string& value) {
    for (const char* name : {"OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS"})
        ::setenv(name, value.c_str(), 1);
}

std::optional<std::uint64_t> rayon_threads() { return positive_count("RAYON_NUM_THREADS"); }

std::optional<std::string> home() {
    auto h = raw("HOME");
    if (!h || h->empty()) return std::nullopt;
    return h;
}

}  // namespace zorvik::settings
