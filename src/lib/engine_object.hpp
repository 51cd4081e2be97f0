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

}  // namespace zorvik::lib
