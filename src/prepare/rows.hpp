#pragma once
// The caller's vectors read as one row-major sequence of floats (element [i, j] at
// position i * extent1 + j), whatever the memory order of the matrix holding them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zorvik::prepare {

class RowSource {
public:
    RowSource() = default;
    // extent0 x extent1 floats at `data`, stored column-major when `column_major`.
    RowSource(const float* data, std::size_t extent0, std::size_t extent1, bool column_major)
        : data_(data), extent0_(extent0), extent1_(extent1), column_major_(column_major) {}
    explicit RowSource(std::span<const float> values) : RowSource(values.data(), 1, values.size(), false) {}

    std::uint64_t size() const { return static_cast<std::uint64_t>(extent0_) * extent1_; }

    float at(std::uint64_t p) const {
        if (!column_major_) return data_[p];
        return data_[(p % extent1_) * extent0_ + p / extent1_];
    }

    // Every element, in logical order, into `out`.
    void copy_to(float* out) const {
        if (!column_major_) {
            std::copy(data_, data_ + size(), out);
            return;
        }
        for (std::size_t i = 0; i < extent0_; ++i)
            for (std::size_t j = 0; j < extent1_; ++j) out[i * extent1_ + j] = data_[j * extent0_ + i];
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
