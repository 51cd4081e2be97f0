#pragma once
// What the processor can run, asked once per process.
namespace zorvik {

// True when the processor runs AVX2 code: the 256-bit forms of the kernels, the norm pass
// and the sketch are chosen with it.
bool has_avx2();

}  // namespace zorvik
