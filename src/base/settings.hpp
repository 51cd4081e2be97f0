#pragma once
// Every environment variable the module reads, and the few it writes, in one place. Each
// reader says when it is read; counts go through text::parse_count, the one count parser.
// The values are returned raw where a choice is made above this floor (a strategy name
// belongs to the table that holds the strategies).
#include <cstdint>
#include <optional>
#include <string>

namespace zorvik::settings {

// The settings a search runs under, read together on every query method call before the
// search starts: a search never reads the environment itself (it may run without the
// interpreter lock while another thread changes os.environ).
struct SearchSettings {
    std::optional<std::string> single_mode;        // ZORVIK_SINGLE_MODE; unset: nullopt
    std::optional<std::string> batch_mode;         // ZORVIK_BATCH_MODE; unset: nullopt
    std::optional<std::uint64_t> query_block;      // ZORVIK_QBLOCK: a count above 0, else nullopt
    bool release_lock = false;                     // ZORVIK_RELEASE_GIL: exactly "1"
};

// Reads the search settings, and ZORVIK_FORCE_SCALAR for force_scalar() to take when it
// is first asked (so that a search running without the interpreter lock never reads it).
SearchSettings search_settings();

// ZORVIK_FORCE_SCALAR: the scalar summation order when exactly "1". Read once per
// process, on first use, under a once-guard (the value the latest search_settings() call
// found, or the environment when none has run); later changes are ignored.
bool force_scalar();

// ZORVIK_STRICT_MEMCHECK: refuse preparations whose memory estimate is too large when
// exactly "1". Read on every preparation.
bool strict_memcheck();

// ZORVIK_SKETCH_AT_OPEN: build the 8-bit sketch while the index is opened when exactly
// "1" (else the first query that needs it builds it). Read on every opening.
bool sketch_at_open();

// ZORVIK_SKETCH_DIR: a directory where built sketches are saved, each under its index's
// hash, and looked for before one is built. Read on every opening; nullopt when unset or
// empty.
std::optional<std::string> sketch_dir();

// ZORVIK_THREADS: the worker pool's size as text, read once per process when the first
// index is mapped. nullopt when unset, empty or not valid UTF-8.
std::optional<std::string> threads_text();

// Writes OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and RAYON_NUM_THREADS, so that libraries
// loaded later size their own pools alike.
void export_thread_count(const std::string& value);

// RAYON_NUM_THREADS: the pool's size when nothing else gave one, read when the pool is
// made; a count above 0, else nullopt (the online processors).
std::optional<std::uint64_t> rayon_threads();

// HOME: the home directory of the default index directory, read on every preparation
// without an output directory; nullopt when unset or empty.
std::optional<std::string> home();

}  // namespace zorvik::settings
