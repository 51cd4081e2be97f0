#pragma once
// A private float buffer backed by an anonymous mapping whose pages are faulted in by
// the kernel at creation: filling it then costs a copy, not one page fault per page.
#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <span>

#include "engine/mapping.hpp"

namespace zorvik {

class FloatBuffer {
public:
    FloatBuffer() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit FloatBuffer(std::size_t count) {
        if (count == 0) return;
        if (count > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
        void* p = ::mmap(nullptr, count * sizeof(float), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        memory_ = Mapping(p, count * sizeof(float));
    }

    float* data() { return reinterpret_cast<float*>(memory_.data()); }
    const float* data() const { return reinterpret_cast<const float*>(memory_.data()); }
    std::size_t size() const { return memory_.length() / sizeof(float); }
    std::span<const float> view() const { return {data(), size()}; }

private:
    Mapping memory_;
};

}  // namespace zorvik
