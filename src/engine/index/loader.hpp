#pragma once
// open_index: path of an index file -> shared, immutable Engine, or an error message.
#include <cstddef>
#include <functional>
#include <string>

#include "engine/index/engine.hpp"
#include "base/expected.hpp"

namespace zorvik {

struct LoadHooks {
    // Configures the worker pool (its size is fixed on first use). Called once the file
    // is mapped, before the header is read and the tables are filled on the pool.
    std::function<void()> configure_pool;
    // BLAKE3 (default mode, 32-byte output) of a byte range. The pointer shares ownership
    // of the engine being loaded, so whoever keeps it keeps the mapping. May throw; the
    // loader releases everything it holds and lets the exception through.
    std::function<Digest(SharedBytes, std::size_t)> digest;
};

Expected<EngineHandle> open_index(const std::string& path, const LoadHooks& hooks);

}  // namespace zorvik
