#pragma once
// Exact integer products of 8-bit codes: one query against one row, and a tile of queries
// against a tile of rows. Each has an AVX2 kernel, chosen at run time, and a baseline in
// plain C++ that gives the same integers; the scalar switch (ZORVIK_FORCE_SCALAR=1) forces
// the baseline, so a run under it checks the AVX2 kernels' integers against it.
#include <cstddef>
#include <cstdint>

namespace zorvik::sketch {

// The AVX2 kernels run (not forced off and the processor has AVX2).
bool use_avx2();

// sum a_i b_i, exactly; a_abs holds |a_i| (the AVX2 kernel multiplies |a| by b carrying
// a's sign, the one product of u8 by s8 it has).
std::int64_t code_dot(const std::int8_t* a, const std::uint8_t* a_abs, const std::int8_t* b, std::size_t n);

// out[j] = sum_i a_i b_j[i] for nr rows b_j (row stride n), exactly (as doubles).
using CodeDots = void (*)(const std::int8_t* a, const std::uint8_t* a_abs, const std::int8_t* rows, std::size_t nr,
                          std::size_t n, double* out);

// The kernel of code_dot over runs of rows that this process runs, chosen once.
CodeDots code_dots();

// The most dimensions code_products takes: its 32-bit sums of u8 x s8 products stay exact.
inline constexpr std::size_t kTileDimsMax = 65536;

// out[i * nr + j] = sum_t q_i[t] r_j[t] for nq queries with codes in [-63, 63] (row
// stride n) and nr rows with codes in [-127, 127] (row stride n), n <= kTileDimsMax.
void code_products(const std::int8_t* queries, std::size_t nq, const std::int8_t* rows, std::size_t nr,
                   std::size_t n, std::int32_t* out);

}  // namespace zorvik::sketch
