#pragma once
// An 8-bit sketch of the stored rows, a quarter of their size, from which an upper bound
// on a row's inner product with a query follows without reading the row itself.
//
// Row r is stored as codes c_i in [-127, 127] with a scale s and an error e such that
// |x_i - s c_i| <= e for every i. The query gets the same treatment (codes p_i, scale t,
// error g) once per query. With P = sum p_i c_i, an exact integer,
//   |q . x - t s P| <= t e sum|p_i| + g s sum|c_i| + n g e,
// so a scan of the codes (memory order, a quarter of the bytes) bounds every row.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "base/table.hpp"

namespace zorvik {

struct Engine;

// Per-row facts of the sketch. A row holding a NaN or an infinity has a NaN scale, so
// every bound derived from it is NaN and decides nothing.
struct SketchRow {
    double scale = 0.0;
    double error = 0.0;     // at least max |x_i - scale * c_i|
    double scaled_abs_sum = 0.0;  // scale * sum |c_i|
};

class RowSketch {
public:
    // Builds the sketch of every row on the worker pool; nullptr when the memory for it
    // cannot be had.
    static std::unique_ptr<RowSketch> build(const Engine& e);

    const std::int8_t* codes(std::uint64_t r) const { return codes_.data() + r * dims_; }
    const SketchRow& row(std::uint64_t r) const { return rows_[r]; }

    RowSketch(std::uint64_t rows, std::uint64_t dims);  // storage only; build() fills it

private:
    std::uint64_t dims_ = 0;
    Table<std::int8_t> codes_;
    Table<SketchRow> rows_;
};

// Relative headroom every bound drawn from a sketch keeps over the rounding of the few
// double operations behind it (each far below 2^-50 of the magnitudes involved).
inline constexpr double kSketchHeadroom = 0x1p-40;

// The query side, made once per query.
class SketchQuery {
public:
    explicit SketchQuery(std::span<const float> q);

    // An upper bound on the exact inner product of the query with row r, or NaN when the
    // row's sketch decides nothing.
    double dot_upper(const RowSketch& sketch, std::uint64_t r) const;

private:
    std::vector<std::int8_t> codes_;
    std::vector<std::uint8_t> abs_codes_;
    double scale_ = 0.0;
    double error_ = 0.0;
    double abs_code_sum_ = 0.0;  // sum |p_i|, unscaled
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
