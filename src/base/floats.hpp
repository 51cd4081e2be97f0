#pragma once
// Facts about single floats shared by every floor: the finiteness test of query values,
// stored values and scores alike.
#include <bit>
#include <cstdint>

namespace zorvik {

// False for NaN and both infinities: the absolute bit pattern is at least 0x7F800000.
// Works on the bits, so it holds under any floating-point compiler setting.
inline bool is_finite(float v) { return (std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu) < 0x7F800000u; }

}  // namespace zorvik
