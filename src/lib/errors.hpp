#pragma once
// Turning engine outcomes and C++ exceptions into Python exceptions.
#include <new>
#include <stdexcept>
#include <string>

#include "lib/messages.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

// Thrown by code that calls back into Python after that call set an exception.
struct PythonError {};

// ValueError carrying `message` as its single argument; returns nullptr.
PyObject* raise_value_error(const std::string& message);

// Runs `body` (returning a new reference or nullptr with an exception set), turning
// C++ exceptions into Python ones: bad_alloc and length_error -> MemoryError, other
// standard exceptions -> RuntimeError, anything else -> SystemError. Nothing escapes.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, msg::kUnexpectedException);
        return nullptr;
    }
}

}  // namespace zorvik::lib
