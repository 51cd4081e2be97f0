#pragma once
// open_index: path of an index file -> shared, immutable Engine, or an error message.
#include <cstddef>
#include <functional>
#include <string>

#include "engine/index/engine.hpp"
#include "base/expected.hpp"

namespace zorvik {

struct LoadHooks {
    // Called right after the file has been mapped, before the header is read.
    std::function<void()> after_map;
    // BLAKE3 (default mode, 32-byte output) of a byte range. The pointer shares ownership
    // of the engine being loaded, so whoever keeps it keeps the mapping. May throw; the
    // loader releases everything it holds and lets the exception through.
    std::function<Digest(SharedBytes, std::size_t)> digest;
};

Expected<EngineHandle> open_index(const std::string& path, const LoadHooks& hooks);

// Width of the dimension blocks: a pure function of the header.
std::uint64_t block_width_for(std::uint64_t rows, std::uint64_t dims);

}  // namespace zorvik
