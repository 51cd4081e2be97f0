#include "lib/hashing.hpp"

#include <cstring>
#include <memory>

#include "base/pool.hpp"
#include "base/text.hpp"
#include "base/tuning.hpp"
#include "lib/errors.hpp"
#include "lib/heap_type.hpp"
#include "lib/python.hpp"

namespace zorvik::lib {

namespace {

// The blake3.blake3 hasher type, imported on first use and kept in the module state.
PyObject* hasher_type(State& state) {
    if (state.hasher == nullptr) {
        PyObject* mod = PyImport_ImportModule("blake3");
        if (mod == nullptr) throw PythonError{};
        PyObject* type = PyObject_GetAttrString(mod, "blake3");
        Py_DECREF(mod);
        if (type == nullptr) throw PythonError{};
        PyObject* earlier = state.hasher;  // set already if the import hashed something itself
        state.hasher = type;
        Py_XDECREF(earlier);
    }
    return state.hasher;
}

// A read-only buffer over bytes it keeps alive itself: the hasher may keep any view of
// it, and reading that view later gives the hashed bytes. The bytes are released with
// the lender, and Python deallocates it only once the last view of it is released.
struct LentBytes {
    PyObject_HEAD
    SharedBytes bytes;
    Py_ssize_t size;
};

int lent_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* lent = reinterpret_cast<LentBytes*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<unsigned char*>(lent->bytes.get()), lent->size, 1, flags);
}

void lent_dealloc(PyObject* self) {
    std::destroy_at(&reinterpret_cast<LentBytes*>(self)->bytes);
    free_instance(self);
}

PyType_Slot lent_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(lent_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lent_dealloc)},
    {0, nullptr},
};

PyType_Spec lent_spec = {"zorvikdb._LentBytes", sizeof(LentBytes), 0, Py_TPFLAGS_DEFAULT, lent_slots};

// A memoryview over a new lender of `bytes`; nullptr with the exception set.
PyObject* lent_view(PyTypeObject* type, SharedBytes bytes, std::size_t size) {
    PyObject* lender = alloc_instance(type);
    if (lender == nullptr) return nullptr;
    auto* lent = reinterpret_cast<LentBytes*>(lender);
    std::construct_at(&lent->bytes, std::move(bytes));
    lent->size = static_cast<Py_ssize_t>(size);
    PyObject* view = PyMemoryView_FromObject(lender);
    Py_DECREF(lender);
    return view;
}

// A hasher fed with `data`. Large inputs (index files) are hashed with the blake3
// package's own threads, as many as the worker pool has; the digest is the same.
PyObject* new_hasher(PyObject* type, PyObject* data, std::size_t size) {
    if (size < tuning::kThreadedHashBytes) return PyObject_CallFunctionObjArgs(type, data, nullptr);
    PyObject* args = PyTuple_Pack(1, data);
    if (args == nullptr) return nullptr;
    PyObject* kwargs = Py_BuildValue("{s:n}", "max_threads", static_cast<Py_ssize_t>(pool::thread_count()));
    PyObject* hasher = kwargs == nullptr ? nullptr : PyObject_Call(type, args, kwargs);
    Py_DECREF(args);
    Py_XDECREF(kwargs);
    return hasher;
}

}  // namespace

bool create_lent_type(PyObject* module, State& state) {
    state.lent_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &lent_spec, nullptr));
    return state.lent_type != nullptr;
}

Digest blake3_digest(State& state, SharedBytes bytes, std::size_t size) {
    static const unsigned char kEmpty = 0;
    if (size == 0) bytes = SharedBytes(SharedBytes(), &kEmpty);  // a buffer never points at nothing
    PyObject* type = Py_NewRef(hasher_type(state));
    // The bytes are hashed in place, never copied, through a view that keeps them alive.
    PyObject* view = lent_view(state.lent_type, std::move(bytes), size);
    PyObject* hasher = view == nullptr ? nullptr : new_hasher(type, view, size);
    Py_DECREF(type);
    Py_XDECREF(view);
    if (hasher == nullptr) throw PythonError{};
    PyObject* digest = PyObject_CallMethod(hasher, "digest", nullptr);
    Py_DECREF(hasher);
    if (digest == nullptr) throw PythonError{};
    Digest out{};
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(digest, &p, &n) != 0 || n != static_cast<Py_ssize_t>(out.size())) {
        Py_DECREF(digest);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "blake3 returned an unexpected digest");
        throw PythonError{};
    }
    std::memcpy(out.data(), p, out.size());
    Py_DECREF(digest);
    return out;
}

std::string query_hash_text(State& state, const float* query, std::size_t count) {
    // A copy of its own: the hasher may keep it beyond the query.
    const std::size_t size = count * sizeof(float);
    auto copy = std::make_shared_for_overwrite<unsigned char[]>(size);
    if (size != 0) std::memcpy(copy.get(), query, size);
    return hex_text(blake3_digest(state, SharedBytes(copy, copy.get()), size));
}

std::string hex_text(const Digest& digest) { return text::hex(digest); }

}  // namespace zorvik::lib
