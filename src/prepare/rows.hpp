#pragma once
// The caller's vectors read as one row-major sequence of floats (element [i, j] at
// position i * extent1 + j), whatever the memory order of the matrix holding them.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorvik::prepare {

class RowSource {
public:
    // extent0 x extent1 floats at `data`, stored column-major when `column_major`.
    RowSource(const float* data, std::size_t extent0, std::size_t extent1, bool column_major)
        : data_(data), extent0_(extent0), extent1_(extent1), column_major_(column_major) {}

    std::uint64_t size() const { return static_cast<std::uint64_t>(extent0_) * extent1_; }

    float at(std::uint64_t p) const {
        if (!column_major_) return data_[p];
        return data_[(p % extent1_) * extent0_ + p / extent1_];
    }

    // Positions [begin, end): straight from the source when it is row-major, else
    // gathered into `scratch`.
    const float* range(std::uint64_t begin, std::uint64_t end, std::vector<float>& scratch) const {
        if (!column_major_) return data_ + begin;
        scratch.resize(end - begin);
        std::uint64_t i = begin / extent1_;
        std::uint64_t j = begin % extent1_;
        for (float& out : scratch) {
            out = data_[j * extent0_ + i];
            if (++j == extent1_) {
                j = 0;
                ++i;
            }
        }
        return scratch.data();
    }

private:
    const float* data_ = nullptr;
    std::size_t extent0_ = 0;
    std::size_t extent1_ = 0;
    bool column_major_ = false;
};

}  // namespace zorvik::prepare
