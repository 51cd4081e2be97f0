#pragma once
// A private float buffer backed by an anonymous mapping whose pages are faulted in by
// the kernel at creation: filling it then costs a copy, not one page fault per page.
#include <sys/mman.h>
#include <unistd.h>

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

    // Gives back to the system every whole page below element `end` that is not given
    // back yet; those elements read as zero afterwards. For consumers that are done
    // with a prefix: its memory can serve the next allocation while they go on.
    void release_before(std::size_t end) {
        static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t limit = (end * sizeof(float)) / page * page;
        if (limit <= released_) return;
        ::madvise(memory_.data() + released_, limit - released_, MADV_DONTNEED);
        released_ = limit;
    }

private:
    Mapping memory_;
    std::size_t released_ = 0;  // bytes from the start already given back
};

}  // namespace zorvik
