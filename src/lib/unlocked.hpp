#pragma once
// Letting the interpreter lock go around engine work: always for the slow parts of
// writing an index, and around the work of a query method when ZORVIK_RELEASE_GIL asked for it (read with the other settings into the Scope). What
// the work reads must be settled before: the arguments copied, the settings read, the
// engine held by a handle of the method's own; its answer is turned into Python objects
// after the lock is taken back.
#include <utility>

#include "base/pool.hpp"
#include "engine/scope.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

// Runs `work`, engine code that touches no Python object, without the lock, and returns
// its result. Exceptions pass through with the lock taken back.
template <class Work>
auto without_lock(Work&& work) {
    struct Retake {
        PyThreadState* saved;
        ~Retake() { PyEval_RestoreThread(saved); }
    } retake{PyEval_SaveThread()};
    return std::forward<Work>(work)();
}

// `without_lock` when the scope's settings ask for it, else `work` under the lock.
template <class Work>
auto unlocked(const Scope& scope, Work&& work) {
    if (!scope.settings.release_lock) return std::forward<Work>(work)();
    // The pool is made here if it is not yet: making it reads RAYON_NUM_THREADS.
    pool::global();
    return without_lock(std::forward<Work>(work));
}

}  // namespace zorvik::lib
