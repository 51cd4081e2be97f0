#pragma once
// The on-disk index layout: a 12-byte little-endian header (dims, rows, metric)
// followed by rows x dims float32 values, row-major. Shared by loader and writer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace zorvik::format {

__extension__ typedef unsigned __int128 u128;

inline constexpr std::size_t kHeaderBytes = 12;

enum class Metric : std::uint8_t { Cosine = 0, Dot = 1, Euclidean = 2 };

struct IndexHeader {
    std::uint32_t dims = 0;
    std::uint32_t rows = 0;
    std::uint32_t metric = 0;
};

// Metric names as results report them ("cosine", "dot", "euclidean").
std::string_view metric_name(Metric m);

// Metric from its stored 32-bit identifier; nullopt for unknown ids.
std::optional<Metric> metric_from_id(std::uint32_t id);

// Reads the header from at least kHeaderBytes bytes (little-endian host assumed).
IndexHeader read_header(const unsigned char* bytes);

// Writes the header into at least kHeaderBytes bytes.
void write_header(unsigned char* bytes, std::uint32_t dims, std::uint32_t rows, Metric metric);

// Exact file size a header describes: 12 + 4 * rows * dims, never wrapping.
u128 expected_file_size(std::uint64_t rows, std::uint64_t dims);

}  // namespace zorvik::format
