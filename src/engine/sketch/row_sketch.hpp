#pragma once
// An 8-bit sketch of the stored rows, a quarter of their size, from which bounds on a
// row's inner product with a query follow without reading the row itself.
//
// Row r is stored as codes c_i in [-127, 127] with a scale s, the error vector
// e = x - s c (||e|| kept) and s ||c||. The query gets the same treatment (codes p_i,
// scale t, error g) once per query. With P = sum p_i c_i, an exact integer,
//   q . x = t s P + t (p . e) + s (c . g) + g . e,
// so by Cauchy-Schwarz |q . x - t s P| <= t ||p|| ||e|| + s ||c|| ||g|| + ||g|| ||e||,
// and a scan of the codes (memory order, a quarter of the bytes) bounds every row.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "base/table.hpp"

namespace zorvik {

struct Engine;

// Per-row facts of the sketch. A row holding a NaN or an infinity has a NaN scale, so
// every bound derived from it is NaN and decides nothing.
struct SketchRow {
    double scale = 0.0;
    double error_norm = 0.0;  // at least ||x - scale * c||
    double code_norm = 0.0;   // at least scale * ||c||
};

// The same facts for rows r, r + 1, ..., one array each (the bound loops run down them
// in lanes), with x_norm: at least ||x||, from the stored sum of squares.
struct SketchColumns {
    const double* scale;
    const double* error_norm;
    const double* code_norm;
    const double* x_norm;
};

class RowSketch {
public:
    // Builds the sketch of every row on the worker pool; nullptr when the memory for it
    // cannot be had (it may take a share of what the process may use and of what is free).
    static std::unique_ptr<RowSketch> build(const Engine& e);

    const std::int8_t* codes(std::uint64_t r) const { return codes_.data() + r * dims_; }
    SketchRow row(std::uint64_t r) const { return {scale_[r], error_norm_[r], code_norm_[r]}; }
    SketchColumns columns(std::uint64_t r) const {
        return {scale_.data() + r, error_norm_.data() + r, code_norm_.data() + r, x_norm_.data() + r};
    }

    RowSketch(std::uint64_t rows, std::uint64_t dims);  // storage only; build() fills it

    // Bytes of facts per row besides its codes.
    static constexpr std::uint64_t kFactBytes = 4 * sizeof(double);

    // The storage as bytes, in the order a saved sketch holds it: the codes, then the
    // scale, error_norm, code_norm and x_norm columns.
    using Storage = std::array<std::span<unsigned char>, 5>;
    Storage storage();

private:
    std::uint64_t dims_ = 0;
    Table<std::int8_t> codes_;
    Table<double> scale_;
    Table<double> error_norm_;
    Table<double> code_norm_;
    Table<double> x_norm_;
};

// Holds an engine's sketch, built by the first caller that needs it. Nobody ever waits:
// while one thread builds, others go on without it, and a failed build is not retried.
// (A child made by fork() while a build ran elsewhere finds the lock taken for good and
// simply never uses a sketch.)
class SketchSlot {
public:
    const RowSketch* get_or_build(const Engine& e) const;

private:
    mutable std::mutex building_;
    mutable bool tried_ = false;
    mutable std::unique_ptr<RowSketch> owned_;
    mutable std::atomic<const RowSketch*> ready_{nullptr};
};

}  // namespace zorvik
