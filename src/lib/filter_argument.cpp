#include "lib/filter_argument.hpp"

#include <algorithm>
#include <cstring>

#include "lib/messages.hpp"

namespace zorvik::lib {

namespace {

void keep_type_problem(FilterArg* out, const char* name, const std::string& text) {
    out->problem = FilterArg::Problem::Type;
    out->problem_text = text::fill(msg::kArgumentPrefix, {name, text});
}

// str(obj) as text, or "?" when it has none.
std::string text_of(PyObject* obj) {
    PyObject* s = PyObject_Str(obj);
    const char* p = s ? PyUnicode_AsUTF8AndSize(s, nullptr) : nullptr;
    std::string out = p ? p : "?";
    Py_XDECREF(s);
    if (p == nullptr) PyErr_Clear();
    return out;
}

// `a` cast to `type`, row-major; copies its elements into `out`.
template <class T>
bool copy_as(PyArrayObject* a, int type, std::vector<T>* out) {
    PyObject* c = PyArray_FromArray(a, PyArray_DescrFromType(type), NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_FORCECAST);
    if (c == nullptr) return false;
    auto* ca = reinterpret_cast<PyArrayObject*>(c);
    const auto* data = static_cast<const T*>(PyArray_DATA(ca));
    out->assign(data, data + PyArray_SIZE(ca));
    Py_DECREF(c);
    return true;
}

bool take(PyArrayObject* a, const char* name, FilterArg* out) {
    if (PyArray_NDIM(a) != 1) {
        keep_type_problem(out, name, text::fill(msg::kFilterRank, {text::dec(std::uint64_t(PyArray_NDIM(a)))}));
        return true;
    }
    const int type = PyArray_TYPE(a);
    if (type == NPY_BOOL) {
        out->kind = FilterArg::Kind::Mask;
        return copy_as(a, NPY_BOOL, &out->mask);
    }
    out->kind = FilterArg::Kind::Rows;
    if (PyArray_SIZE(a) == 0) return true;
    if (PyTypeNum_ISUNSIGNED(type)) return copy_as(a, NPY_UINT64, &out->rows);
    if (!PyTypeNum_ISINTEGER(type)) {
        out->kind = FilterArg::Kind::Every;
        keep_type_problem(out, name,
                          text::fill(msg::kFilterType, {text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))}));
        return true;
    }
    std::vector<std::int64_t> given;
    if (!copy_as(a, NPY_INT64, &given)) return false;
    const auto neg = std::find_if(given.begin(), given.end(), [](std::int64_t v) { return v < 0; });
    if (neg != given.end()) out->negative = *neg;
    out->rows.assign(given.begin(), given.end());
    return true;
}

}  // namespace

bool convert(PyObject* obj, const char* name, FilterArg* out) {
    *out = FilterArg{};
    if (obj == Py_None) return true;
    PyObject* arr = PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr);
    if (arr == nullptr) {
        // What NumPy cannot read as an array is a wrong type of filter, unless the failure
        // is not about the object at all.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        PyErr_Clear();
        PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
        const std::string tname = qualname ? text_of(qualname) : "?";
        Py_XDECREF(qualname);
        keep_type_problem(out, name, text::fill(msg::kFilterObject, {tname}));
        return true;
    }
    const bool ok = take(reinterpret_cast<PyArrayObject*>(arr), name, out);
    Py_DECREF(arr);
    return ok;
}

}  // namespace zorvik::lib
