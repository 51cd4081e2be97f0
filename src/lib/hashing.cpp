#include "lib/hashing.hpp"

#include <cstring>

#include "base/pool.hpp"
#include "base/tuning.hpp"
#include "lib/errors.hpp"
#include "lib/heap_type.hpp"
#include "lib/messages.hpp"
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

// A read-only buffer over bytes this module owns, lent to the hasher for one call.
// Once the call is over the object is emptied: a buffer asked of it later is refused,
// and the number of buffers still out tells whether anything kept one.
struct LentBytes {
    PyObject_HEAD
    const unsigned char* data;
    Py_ssize_t size;
    Py_ssize_t exports;
};

int lent_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* lent = reinterpret_cast<LentBytes*>(self);
    if (lent->data == nullptr) {
        PyErr_SetString(PyExc_BufferError, msg::kLentBytesGone);
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, const_cast<unsigned char*>(lent->data), lent->size, 1, flags) != 0) return -1;
    ++lent->exports;
    return 0;
}

void lent_releasebuffer(PyObject* self, Py_buffer*) { --reinterpret_cast<LentBytes*>(self)->exports; }

void lent_dealloc(PyObject* self) { free_instance(self); }

PyType_Slot lent_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(lent_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(lent_releasebuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lent_dealloc)},
    {0, nullptr},
};

PyType_Spec lent_spec = {"zorvikdb._LentBytes", sizeof(LentBytes), 0, Py_TPFLAGS_DEFAULT, lent_slots};

// The lent bytes and the memoryview over them handed to the hasher. The destructor
// releases the view and empties the lender, so whatever kept either raises on use
// instead of reading memory that may be gone.
class Loan {
public:
    Loan(PyTypeObject* type, const unsigned char* data, std::size_t size) {
        lender_ = alloc_instance(type);
        if (lender_ == nullptr) throw PythonError{};
        auto* lent = reinterpret_cast<LentBytes*>(lender_);
        lent->data = data;
        lent->size = static_cast<Py_ssize_t>(size);
        view_ = PyMemoryView_FromObject(lender_);
        if (view_ == nullptr) {
            end();
            throw PythonError{};
        }
    }
    Loan(const Loan&) = delete;
    Loan& operator=(const Loan&) = delete;
    ~Loan() { end(); }

    PyObject* view() const { return view_; }

    // Ends the loan; false when a buffer is still out (the hasher kept one).
    bool end() {
        if (lender_ == nullptr) return true;
        if (view_ != nullptr) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyObject* r = PyObject_CallMethod(view_, "release", nullptr);
            Py_XDECREF(r);
            PyErr_Clear();  // a view with exports of its own cannot be released; counted below
            PyErr_Restore(type, value, tb);
            Py_CLEAR(view_);
        }
        auto* lent = reinterpret_cast<LentBytes*>(lender_);
        lent->data = nullptr;
        lent->size = 0;
        const bool clean = lent->exports == 0;
        Py_CLEAR(lender_);
        return clean;
    }

private:
    PyObject* lender_ = nullptr;
    PyObject* view_ = nullptr;
};


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

Digest blake3_digest(State& state, const unsigned char* data, std::size_t size) {
    PyObject* type = Py_NewRef(hasher_type(state));
    static const unsigned char kEmpty = 0;
    if (size == 0) data = &kEmpty;
    // The bytes are hashed in place, never copied, through a view that ends with the call.
    Loan loan(state.lent_type, data, size);
    PyObject* hasher = new_hasher(type, loan.view(), size);
    Py_DECREF(type);
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
    if (!loan.end()) {
        PyErr_SetString(PyExc_BufferError, msg::kLentBytesKept);
        throw PythonError{};
    }
    return out;
}

std::string query_hash_text(State& state, const float* query, std::size_t count) {
    return hex_text(blake3_digest(state, reinterpret_cast<const unsigned char*>(query), count * sizeof(float)));
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
