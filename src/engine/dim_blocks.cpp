#include "engine/dim_blocks.hpp"

#include <algorithm>
#include <numeric>

namespace zorvik {

std::vector<double> block_energies(const float* q, std::uint64_t dims, std::uint64_t width) {
    std::vector<double> energy(static_cast<std::size_t>(block_count(dims, width)));
    for (std::size_t b = 0; b < energy.size(); ++b) {
        const DimBlock blk = dim_block(b, width, dims);
        double s = -0.0;
        for (std::uint64_t d = blk.start; d < blk.end; ++d) s = s + static_cast<double>(q[d]) * static_cast<double>(q[d]);
        energy[b] = s;
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
