#pragma once
// A fixed-size array of derived values whose elements start uninitialised. The loader
// writes every entry, so the zero-fill a std::vector would do first (one more pass over
// up to hundreds of MB, on one thread) is skipped, and each page is first touched by the
// parallel pass that fills it.
#include <cstddef>
#include <memory>

namespace zorvik {

template <class T>
class Table {
public:
    Table() = default;
    explicit Table(std::size_t n) : data_(std::make_unique_for_overwrite<T[]>(n)), size_(n) {}

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace zorvik
