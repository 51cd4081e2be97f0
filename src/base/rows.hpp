#pragma once
// The caller's vectors read as one row-major sequence of floats (element [i, j] at
// position i * extent1 + j), whatever the memory order of the matrix holding them.
// The floats need not be aligned (a NumPy array may view any buffer at any offset):
// they are read byte-wise, and handed out as a pointer only when properly aligned.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zorvik {

class RowSource {
public:
    // extent0 x extent1 floats at `data`, stored column-major when `column_major`.
    RowSource(const void* data, std::size_t extent0, std::size_t extent1, bool column_major)
        : data_(static_cast<const unsigned char*>(data)),
          extent0_(extent0),
          extent1_(extent1),
          column_major_(column_major),
          aligned_(reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0) {}

    std::uint64_t size() const { return static_cast<std::uint64_t>(extent0_) * extent1_; }

    float at(std::uint64_t p) const { return load(column_major_ ? (p % extent1_) * extent0_ + p / extent1_ : p); }

    // Positions [begin, end): straight from the source when it is row-major and
    // aligned, else copied into `scratch` in row order.
    const float* range(std::uint64_t begin, std::uint64_t end, std::vector<float>& scratch) const {
        if (!column_major_ && aligned_) return reinterpret_cast<const float*>(data_) + begin;
        scratch.resize(end - begin);
        if (!column_major_) {
            // An empty vector's data() may be null, which memcpy must never be given.
            if (!scratch.empty())
                std::memcpy(scratch.data(), data_ + begin * sizeof(float), scratch.size() * sizeof(float));
            return scratch.data();
        }
        std::uint64_t i = begin / extent1_;
        std::uint64_t j = begin % extent1_;
        for (float& out : scratch) {
            out = load(j * extent0_ + i);
            if (++j == extent1_) {
                j = 0;
                ++i;
            }
        }
        return scratch.data();
    }

private:
    float load(std::uint64_t stored) const {
        float v;
        std::memcpy(&v, data_ + stored * sizeof(float), sizeof v);
        return v;
    }

    const unsigned char* data_ = nullptr;
    std::size_t extent0_ = 0;
    std::size_t extent1_ = 0;
    bool column_major_ = false;
    bool aligned_ = true;
};

}  // namespace zorvik
