#include "engine/index/dim_blocks.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>

#include "engine/scan/kernels.hpp"

namespace zorvik {

namespace {

// totalOrder key of a double, as score_key is for floats.
std::int64_t energy_key(double v) {
    const auto x = std::bit_cast<std::int64_t>(v);
    return x < 0 ? (x ^ INT64_MAX) : x;
}

}  // namespace

std::vector<double> block_energies(const float* q, std::uint64_t dims, std::uint64_t width) {
    std::vector<double> energy(static_cast<std::size_t>(block_count(dims, width)));
    for (std::size_t b = 0; b < energy.size(); ++b) {
        const DimBlock blk = dim_block(b, width, dims);
        energy[b] = sum_of_squares(q + blk.start, blk.end - blk.start);
    }
    return energy;
}

std::vector<std::uint64_t> energy_order(std::span<const double> energy) {
    std::vector<std::uint64_t> order(energy.size());
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    if (order.size() > 1)
        std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
            return energy_key(energy[a]) > energy_key(energy[b]);
        });
    return order;
}

}  // namespace zorvik
