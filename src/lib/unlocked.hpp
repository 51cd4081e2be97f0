#pragma once
// Letting the interpreter lock go around the engine work of a query method, when
// ZORVIK_RELEASE_GIL asked for it (read with the other settings into the Scope). What
// the work reads must be settled before: the arguments copied, the settings read, the
// engine held by a handle of the method's own; its answer is turned into Python objects
// after the lock is taken back.
#include <utility>

#include "base/pool.hpp"
#include "engine/scope.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

// Runs `work`, engine code that touches no Python object, and returns its result.
// Exceptions pass through with the lock taken back.
template <class Work>
auto unlocked(const Scope& scope, Work&& work) {
    if (!scope.settings.release_lock) return std::forward<Work>(work)();
    // The pool is made here if it is not yet: making it reads RAYON_NUM_THREADS.
    pool::global();
    struct Retake {
        PyThreadState* saved;
        ~Retake() { PyEval_RestoreThread(saved); }
    } retake{PyEval_SaveThread()};
    return std::forward<Work>(work)();
}

}  // namespace zorvik::lib
