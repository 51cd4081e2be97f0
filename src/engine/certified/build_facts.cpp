#include "engine/certified/build_facts.hpp"

#include "base/cpu.hpp"
#include "base/text.hpp"

namespace zorvik {

namespace {

constexpr const char* kArchFormat = "arch={}";

#if defined(__x86_64__)
constexpr const char* kArch = "x86_64";
#elif defined(__aarch64__)
constexpr const char* kArch = "aarch64";
#elif defined(__i386__)
constexpr const char* kArch = "x86";
#else
constexpr const char* kArch = "unknown";
#endif

}  // namespace

const char* simd_path() {
#if defined(__x86_64__) || defined(__i386__)
    if (has_avx2()) return "avx2";
    if (__builtin_cpu_supports("avx")) return "avx";
    if (__builtin_cpu_supports("sse4.2")) return "sse4.2";
#endif
    return "scalar";
}

std::string compile_flags() { return text::fill(kArchFormat, {kArch}); }

}  // namespace zorvik
