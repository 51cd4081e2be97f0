#pragma once
// BLAKE3 digests through the blake3 package (default mode, 32-byte output) and their
// hexadecimal text. Needs the interpreter lock.
#include <cstddef>
#include <string>

#include "engine/index/engine.hpp"
#include "lib/state.hpp"

namespace zorvik::lib {

// Creates the buffer type lent to the hasher into `state`; false with the exception set.
bool create_lent_type(PyObject* module, State& state);

// Throws PythonError when the blake3 package cannot be used. The hasher is lent `bytes`
// themselves, so whatever view of them it keeps holds them alive.
Digest blake3_digest(State& state, SharedBytes bytes, std::size_t size);

// 64 lowercase hexadecimal digits, high nibble first.
std::string hex_text(const Digest& digest);

// hex_text of the BLAKE3 digest of `count` floats' raw little-endian bytes.
std::string query_hash_text(State& state, const float* query, std::size_t count);

}  // namespace zorvik::lib
