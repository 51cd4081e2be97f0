#pragma once
// Dimension blocks of a given width and the query's energy in each: the pieces shared by
// the block-pruned scans and the per-block analyses.
#include <cstdint>
#include <span>
#include <vector>

namespace zorvik {

// Half-open range of dimension positions.
struct DimBlock {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// ceil(dims / width) without overflow for any width >= 1.
inline std::uint64_t block_count(std::uint64_t dims, std::uint64_t width) {
    return dims / width + (dims % width != 0 ? 1 : 0);
}

// Block b of width `width`: [b*width, min((b+1)*width, dims)), never overflowing.
inline DimBlock dim_block(std::uint64_t b, std::uint64_t width, std::uint64_t dims) {
    const std::uint64_t start = b * width;
    const std::uint64_t end = dims - start < width ? dims : start + width;
    return {start, end};
}

// Per block, the sum of q[i]^2 (in doubles, from -0.0, in element order) over its positions.
std::vector<double> block_energies(const float* q, std::uint64_t dims, std::uint64_t width);

// Block indices by energy, highest first (totalOrder); equal energies keep block order.
std::vector<std::uint64_t> energy_order(std::span<const double> energy);

}  // namespace zorvik
