#pragma once
// The PySearchEngine instance: one shared handle to an immutable Engine, nothing else.
#include "engine/index/engine.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

struct EngineObject {
    PyObject_HEAD
    EngineHandle engine;
};

inline const Engine& engine_of(PyObject* self) { return *reinterpret_cast<EngineObject*>(self)->engine; }

// A handle of the caller's own on the engine of `self`, for a method that lets the
// interpreter lock go: the engine stays alive until the method is done with it, whatever
// happens to the instance meanwhile.
inline EngineHandle hold_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self)->engine; }

}  // namespace zorvik::lib
