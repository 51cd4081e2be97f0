#include "lib/hashing.hpp"

#include <cstring>

#include "engine/pool.hpp"
#include "lib/errors.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

namespace {

// From this size on the hash runs on several threads.
constexpr std::size_t kThreadedHashBytes = std::size_t{1} << 24;

// The blake3.blake3 hasher type, imported once and kept for the life of the process.
PyObject* hasher_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        PyObject* mod = PyImport_ImportModule("blake3");
        if (mod == nullptr) throw PythonError{};
        type = PyObject_GetAttrString(mod, "blake3");
        Py_DECREF(mod);
        if (type == nullptr) throw PythonError{};
    }
    return type;
}

// A hasher fed with `data`. Large inputs (index files) are hashed with the blake3
// package's own threads, as many as the worker pool has; the digest is the same.
PyObject* new_hasher(PyObject* type, PyObject* data, std::size_t size) {
    if (size < kThreadedHashBytes) return PyObject_CallFunctionObjArgs(type, data, nullptr);
    PyObject* args = PyTuple_Pack(1, data);
    if (args == nullptr) return nullptr;
    PyObject* kwargs = Py_BuildValue("{s:n}", "max_threads", static_cast<Py_ssize_t>(pool::thread_count()));
    PyObject* hasher = kwargs == nullptr ? nullptr : PyObject_Call(type, args, kwargs);
    Py_DECREF(args);
    Py_XDECREF(kwargs);
    return hasher;
}

}  // namespace

Digest blake3_digest(const unsigned char* data, std::size_t size) {
    PyObject* type = hasher_type();
    static const unsigned char kEmpty = 0;
    if (size == 0) data = &kEmpty;
    // memoryview over the caller's bytes: hashed in place, never copied.
    PyObject* view = PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<unsigned char*>(data)),
                                             static_cast<Py_ssize_t>(size), PyBUF_READ);
    if (view == nullptr) throw PythonError{};
    PyObject* hasher = new_hasher(type, view, size);
    Py_DECREF(view);
    if (hasher == nullptr) throw PythonError{};
    PyObject* bytes = PyObject_CallMethod(hasher, "digest", nullptr);
    Py_DECREF(hasher);
    if (bytes == nullptr) throw PythonError{};
    Digest out{};
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(bytes, &p, &n) != 0 || n != static_cast<Py_ssize_t>(out.size())) {
        Py_DECREF(bytes);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "blake3 returned an unexpected digest");
        throw PythonError{};
    }
    std::memcpy(out.data(), p, out.size());
    Py_DECREF(bytes);
    return out;
}

std::string hex_text(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(64, '0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 15];
    }
    return out;
}

}  // namespace zorvik::lib
