#include "base/cpu.hpp"

namespace zorvik {

bool has_avx2() {
    static const bool value = __builtin_cpu_supports("avx2");
    return value;
}

}  // namespace zorvik
