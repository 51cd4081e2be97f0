#include "format/header.hpp"

namespace zorvik::format {

std::string_view metric_name(Metric m) {
    switch (m) {
        case Metric::Cosine: return "cosine";
        case Metric::Dot: return "dot";
        case Metric::Euclidean: return "euclidean";
    }
    return "cosine";
}

std::optional<Metric> metric_from_id(std::uint32_t id) {
    if (id > 2) return std::nullopt;
    return static_cast<Metric>(id);
}

IndexHeader read_header(const unsigned char* bytes) {
    IndexHeader h;
    std::memcpy(&h.dims, bytes, 4);
    std::memcpy(&h.rows, bytes + 4, 4);
    std::memcpy(&h.metric, bytes + 8, 4);
    return h;
}

void write_header(unsigned char* bytes, std::uint32_t dims, std::uint32_t rows, Metric metric) {
    const std::uint32_t id = static_cast<std::uint8_t>(metric);
    std::memcpy(bytes, &dims, 4);
    std::memcpy(bytes + 4, &rows, 4);
    std::memcpy(bytes + 8, &id, 4);
}

u128 expected_file_size(std::uint64_t rows, std::uint64_t dims) {
    return static_cast<u128>(kHeaderBytes) +
           static_cast<u128>(4) * rows * dims;
}

}  // namespace zorvik::format
