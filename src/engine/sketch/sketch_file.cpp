#include "engine/sketch/sketch_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "base/file_io.hpp"
#include "base/pool.hpp"
#include "base/temp_file.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "engine/index/engine.hpp"
#include "engine/sketch/quantise.hpp"

namespace zorvik::sketch_file {

namespace {

// The header, little-endian as the index files are: magic, format version, the row code
// range, rows, dims, the index's BLAKE3 hash, the checksum; zeros up to the codes.
constexpr unsigned char kMagic[8] = {'Z', 'V', 'S', 'K', 'E', 'T', 'C', 'H'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 128;
constexpr std::size_t kVersionAt = 8, kCodeMaxAt = 12, kRowsAt = 16, kDimsAt = 24, kHashAt = 32, kChecksumAt = 64;

using Header = std::array<unsigned char, kHeaderBytes>;

template <class T>
void put(Header& h, std::size_t at, T v) {
    std::memcpy(h.data() + at, &v, sizeof v);
}

template <class T>
T get(const Header& h, std::size_t at) {
    T v;
    std::memcpy(&v, h.data() + at, sizeof v);
    return v;
}

Header header_of(const Engine& e) {
    Header h{};
    std::memcpy(h.data(), kMagic, sizeof kMagic);
    put(h, kVersionAt, kVersion);
    put(h, kCodeMaxAt, static_cast<std::uint32_t>(sketch::kRowCodeMax));
    put(h, kRowsAt, e.rows);
    put(h, kDimsAt, e.dims);
    std::memcpy(h.data() + kHashAt, e.index_hash.data(), e.index_hash.size());
    return h;
}

// A 64-bit finaliser: a bijection that spreads every input bit over the output.
std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

// Checksum of one piece: four lanes, each taking every fourth 8-byte word through steps
// that are bijections of the lane for a given word, so any change within one lane is
// always seen; changes spread over lanes escape with a chance of about 2^-64.
std::uint64_t piece_sum(const unsigned char* p, std::size_t n, std::uint64_t seed) {
    constexpr std::uint64_t kOdd = 0x9e3779b97f4a7c15ULL;
    std::uint64_t lane[4] = {mix(seed), mix(seed + 1), mix(seed + 2), mix(seed + 3)};
    const auto step = [&](const unsigned char* block) {
        for (int l = 0; l < 4; ++l) {
            std::uint64_t w;
            std::memcpy(&w, block + 8 * l, 8);
            lane[l] = std::rotl(lane[l] ^ w, 29) * kOdd;
        }
    };
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) step(p + i);
    unsigned char tail[32] = {};
    std::memcpy(tail, p + i, n - i);
    step(tail);
    return mix(lane[0] ^ std::rotl(lane[1], 16) ^ std::rotl(lane[2], 32) ^ std::rotl(lane[3], 48) ^ n);
}

// One piece of the sketch's storage and where it lies in the file.
struct Piece {
    unsigned char* data;
    std::size_t size;
    std::uint64_t file_offset;
};

// The storage cut into pieces, with the file offset of each: the codes right after the
// header, the columns from the next multiple of 8 on.
std::vector<Piece> pieces_of(RowSketch& sketch, std::uint64_t* file_size) {
    std::vector<Piece> pieces;
    std::uint64_t at = kHeaderBytes;
    for (const std::span<unsigned char> part : sketch.storage()) {
        at = (at + 7) / 8 * 8;
        for (std::size_t off = 0; off < part.size(); off += tuning::kSketchFilePieceBytes)
            pieces.push_back({part.data() + off, std::min(tuning::kSketchFilePieceBytes, part.size() - off), at + off});
        at += part.size();
    }
    *file_size = at;
    return pieces;
}

// The checksum of the header (its checksum field zero) and every piece, in order.
std::uint64_t checksum(Header header, const std::vector<std::uint64_t>& piece_sums) {
    put(header, kChecksumAt, std::uint64_t{0});
    std::uint64_t sum = piece_sum(header.data(), header.size(), 0);
    for (std::size_t i = 0; i < piece_sums.size(); ++i) sum = mix(sum ^ piece_sums[i] ^ (i + 1));
    return sum;
}

std::string file_name(const Engine& e) { return text::hex(e.index_hash) + ".sketch"; }

bool try_load(const Engine& e, RowSketch& sketch) {
    const std::string path = join(e.sketch_dir, file_name(e));
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::uint64_t file_size = 0;
    const std::vector<Piece> pieces = pieces_of(sketch, &file_size);
    Header header;
    if (static_cast<std::uint64_t>(st.st_size) != file_size || read_all(fd.get(), header.data(), header.size(), 0) != 0)
        return false;
    Header expected = header_of(e);
    put(expected, kChecksumAt, get<std::uint64_t>(header, kChecksumAt));
    if (header != expected) return false;

    std::vector<std::uint64_t> sums(pieces.size());
    std::atomic<bool> whole{true};
    pool::parallel_for(pieces.size(), [&](std::size_t i) {
        const Piece& p = pieces[i];
        if (!whole.load(std::memory_order_relaxed)) return;
        if (read_all(fd.get(), p.data, p.size, p.file_offset) != 0) whole.store(false);
        else sums[i] = piece_sum(p.data, p.size, i);
    });
    return whole.load() && checksum(header, sums) == get<std::uint64_t>(header, kChecksumAt);
}

void try_save(const Engine& e, RowSketch& sketch) {
    const std::string name = file_name(e);
    const std::string& dir = e.sketch_dir;
    remove_orphaned_temp_files(dir, name, name);
    TempFile file;
    if (file.create_unnamed(dir) != 0 && file.create_named(dir, name, name) != 0) return;
    std::uint64_t file_size = 0;
    const std::vector<Piece> pieces = pieces_of(sketch, &file_size);
    if (file.reserve(file_size) != 0) return;

    std::vector<std::uint64_t> sums(pieces.size());
    std::atomic<bool> whole{true};
    pool::parallel_for(pieces.size(), [&](std::size_t i) {
        const Piece& p = pieces[i];
        sums[i] = piece_sum(p.data, p.size, i);
        if (whole.load(std::memory_order_relaxed) && write_all(file.fd(), p.data, p.size, p.file_offset) != 0)
            whole.store(false);
    });
    Header header = header_of(e);
    put(header, kChecksumAt, checksum(header, sums));
    if (!whole.load() || write_all(file.fd(), header.data(), header.size(), 0) != 0) return;
    if (file.give_name(dir, name, name) != 0) return;
    if (::rename(file.path().c_str(), join(dir, name).c_str()) == 0) file.keep();
}

}  // namespace

bool load(const Engine& e, RowSketch& sketch) {
    if (e.sketch_dir.empty() || e.rows == 0) return false;
    try {
        return try_load(e, sketch);
    } catch (const std::exception&) {
        return false;  // built instead
    }
}

void save(const Engine& e, RowSketch& sketch) {
    if (e.sketch_dir.empty() || e.rows == 0) return;
    try {
        try_save(e, sketch);
    } catch (const std::exception&) {
        // not saved: the next opening builds it again
    }
}

}  // namespace zorvik::sketch_file
