#pragma once
// Facts about the build and the processor that a certificate reports.
#include <string>

namespace zorvik {

// Processor capability detected at run time: "avx2", "avx", "sse4.2" or "scalar".
// Only reported; the kernels do not depend on it.
const char* simd_path();

// "arch=" and the architecture the module was built for.
std::string compile_flags();

}  // namespace zorvik
