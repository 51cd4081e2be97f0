#include "lib/index_rows_function.hpp"

#include <string>
#include <vector>

#include "lib/arguments.hpp"
#include "lib/binder.hpp"
#include "lib/errors.hpp"
#include "lib/messages.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"
#include "prepare/prepare.hpp"
#include "prepare/stored_rows.hpp"

namespace zorvik::lib {

namespace {

constexpr const char* kDoc =
    "_prepare_bin_from_index_rows(parts, base_name, level, output_dir=None)\n--\n\n"
    "Writes an index of the rows of existing index files, as they are stored: `parts` is a\n"
    "sequence of (path, rows) pairs, `rows` the row numbers to take from that file, in\n"
    "order (a 1-D integer array), or None for all of them. The files must share dims and\n"
    "metric, which the new index keeps. Returns the new file's path, named and placed as\n"
    "py_prepare_bin_from_embeddings names and places it.";

// Row numbers: a 1-D array that casts safely to int64, none negative.
bool row_numbers(PyObject* obj, std::vector<std::uint64_t>* out) {
    PyObject* arr = PyArray_FromAny(obj, PyArray_DescrFromType(NPY_INT64), 1, 1, NPY_ARRAY_CARRAY_RO, nullptr);
    if (arr == nullptr) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(arr);
    const auto* data = static_cast<const std::int64_t*>(PyArray_DATA(a));
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    bool ok = true;
    out->resize(n);
    for (std::size_t i = 0; i < n && ok; ++i) {
        ok = data[i] >= 0;
        (*out)[i] = static_cast<std::uint64_t>(data[i]);
    }
    Py_DECREF(arr);
    if (!ok) PyErr_SetString(PyExc_ValueError, msg::kNegativeRow);
    return ok;
}

// The (path, rows) pairs of `parts`.
bool stored_parts(PyObject* parts, std::vector<prepare::StoredPart>* out) {
    if (!PyList_Check(parts) && !PyTuple_Check(parts)) {
        PyErr_SetString(PyExc_TypeError, msg::kPartsType);
        return false;
    }
    const Py_ssize_t n = PySequence_Size(parts);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PySequence_GetItem(parts, i);
        if (pair == nullptr) return false;
        PyObject* path = nullptr;
        PyObject* rows = nullptr;
        prepare::StoredPart& part = out->emplace_back();
        const bool ok = PyArg_ParseTuple(pair, "OO:_prepare_bin_from_index_rows", &path, &rows) != 0 &&
                        convert(path, "parts", &part.path) &&
                        (rows == Py_None || row_numbers(rows, &part.rows.emplace()));
        Py_DECREF(pair);
        if (!ok) return false;
    }
    return n >= 0;
}

PyObject* prepare_from_index_rows(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* names[] = {"parts", "base_name", "level", "output_dir", nullptr};
        PyObject* parts = nullptr;
        PyObject* base_name = nullptr;
        PyObject* level = nullptr;
        PyObject* output_dir = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:_prepare_bin_from_index_rows",
                                         const_cast<char**>(names), &parts, &base_name, &level, &output_dir))
            return nullptr;
        prepare::PrepareRequest req;
        std::vector<prepare::StoredPart> stored;
        if (!stored_parts(parts, &stored) || !convert(base_name, "base_name", &req.base_name) ||
            !convert(level, "level", &req.level) || !convert(output_dir, "output_dir", &req.output_dir))
            return nullptr;
        // From here on nothing of the caller's is read: the files are mapped by the
        // writer itself, and the whole write runs without the interpreter lock.
        const Expected<std::string> path =
            without_lock([&] { return prepare::write_index_of_rows(std::move(req), std::move(stored)); });
        if (!path) return raise_value_error(path.error());
        return text_object(path.value());
    });
}

}  // namespace

PyObject* create_index_rows_function(PyObject* module) {
    static PyMethodDef def = {"_prepare_bin_from_index_rows",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare_from_index_rows)),
                              METH_VARARGS | METH_KEYWORDS, kDoc};
    return module_function(module, &def);
}

}  // namespace zorvik::lib
