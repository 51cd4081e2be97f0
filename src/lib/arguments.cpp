#include "lib/arguments.hpp"

#include <type_traits>

#include "lib/binder.hpp"
#include "lib/messages.hpp"

namespace zorvik::lib {

namespace {

// Rewraps a pending TypeError as "argument '<name>': <message>", keeping its cause;
// any other pending exception is left as it is.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    const char* msg = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
    if (msg == nullptr) {
        Py_XDECREF(text);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        return;
    }
    PyObject* wrapped = PyObject_CallFunction(PyExc_TypeError, "s",
                                              text::fill(msg::kArgumentPrefix, {name, msg}).c_str());
    Py_DECREF(text);
    if (wrapped != nullptr) {
        PyException_SetCause(wrapped, value ? PyException_GetCause(value) : nullptr);
        PyErr_SetObject(PyExc_TypeError, wrapped);
        Py_DECREF(wrapped);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

// "'<type>' object cannot be converted to '<target>'", prefixed with the argument name.
bool cannot_convert(PyObject* obj, const char* target, const char* name) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    const char* tname = qualname ? PyUnicode_AsUTF8AndSize(qualname, nullptr) : nullptr;
    if (tname != nullptr) PyErr_SetString(PyExc_TypeError, text::fill(msg::kCannotConvert, {tname, target}).c_str());
    Py_XDECREF(qualname);
    prefix_type_error(name);
    return false;
}

// `obj` as an ndarray of the kind's rank with a dtype equivalent to float32; nullptr
// with the prefixed TypeError otherwise. Reads nothing but the array's kind.
PyArrayObject* checked_array(PyObject* obj, ArrayArg kind, const char* name) {
    const int want = kind == ArrayArg::Vector ? 1 : 2;
    if (!PyArray_Check(obj)) {
        cannot_convert(obj, msg::kArrayTarget, name);
        return nullptr;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != want) {
        const auto have = static_cast<std::uint64_t>(PyArray_NDIM(arr));
        PyErr_SetString(PyExc_TypeError,
                        text::fill(msg::kDimMismatch, {text::dec(have), text::dec(std::uint64_t(want))}).c_str());
    } else {
        PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
        if (PyArray_EquivTypes(PyArray_DESCR(arr), f32)) {
            Py_DECREF(f32);
            return arr;
        }
        PyObject* from = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
        PyObject* to = PyObject_Str(reinterpret_cast<PyObject*>(f32));
        Py_DECREF(f32);
        const char* a = from ? PyUnicode_AsUTF8AndSize(from, nullptr) : nullptr;
        const char* b = to ? PyUnicode_AsUTF8AndSize(to, nullptr) : nullptr;
        if (a && b) PyErr_SetString(PyExc_TypeError, text::fill(msg::kTypeMismatch, {a, b}).c_str());
        Py_XDECREF(from);
        Py_XDECREF(to);
    }
    prefix_type_error(name);
    return nullptr;
}

// The array once every other argument is converted, so no more of the caller's code
// runs before its data is read: the same checks again (__index__ may have changed its
// dtype or rank), then its layout, its extents and its elements in logical row order.
bool take_array(PyObject* obj, ArrayArg kind, const char* name, Request* out) {
    PyArrayObject* a = checked_array(obj, kind, name);
    if (a == nullptr) return false;
    const bool row_major = PyArray_IS_C_CONTIGUOUS(a);
    if (!row_major && !PyArray_IS_F_CONTIGUOUS(a)) {
        PyErr_SetString(PyExc_TypeError, msg::kNotContiguous);
        return false;
    }
    const bool matrix = kind != ArrayArg::Vector;
    out->n = matrix ? static_cast<std::uint64_t>(PyArray_DIM(a, 0)) : 1;
    out->d = static_cast<std::uint64_t>(PyArray_DIM(a, matrix ? 1 : 0));
    const RowSource rows(PyArray_DATA(a), static_cast<std::size_t>(out->n), static_cast<std::size_t>(out->d),
                         !row_major);
    if (kind == ArrayArg::BorrowedMatrix) {
        out->borrowed.emplace(rows);
        return true;
    }
    if (rows.size() == 0) return true;
    const float* p = rows.range(0, rows.size(), out->values);
    if (p != out->values.data()) out->values.assign(p, p + rows.size());
    return true;
}

bool utf8_of(PyObject* s, std::string* out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) return false;
    out->assign(p, static_cast<std::size_t>(n));
    return true;
}

// Counts: anything with __index__ whose value fits 64 unsigned bits.
bool convert(PyObject* obj, const char* name, std::uint64_t* out) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
        prefix_type_error(name);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    *out = v;
    return true;
}

// Flags: the objects True and False only.
bool convert(PyObject* obj, const char* name, bool* out) {
    if (obj != Py_True && obj != Py_False) return cannot_convert(obj, msg::kBoolTarget, name);
    *out = obj == Py_True;
    return true;
}

// Lower-cased by str.lower itself: a str subclass's own `lower` is not consulted, so no
// code of the caller runs here.
bool convert(PyObject* obj, const char* name, FoldedText* out) {
    if (!lib::convert(obj, name, &out->text)) return false;
    PyObject* lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (lower == nullptr) return false;
    PyObject* r = PyObject_CallFunctionObjArgs(lower, obj, nullptr);
    Py_DECREF(lower);
    if (r == nullptr) return false;
    const bool ok = utf8_of(r, &out->lower);
    Py_DECREF(r);
    return ok;
}

}  // namespace

bool convert(PyObject* obj, const char* name, std::string* out) {
    if (!PyUnicode_Check(obj)) return cannot_convert(obj, msg::kStringTarget, name);
    if (utf8_of(obj, out)) return true;
    prefix_type_error(name);
    return false;
}

bool convert(PyObject* obj, const char* name, std::optional<std::string>* out) {
    if (obj == Py_None) {
        out->reset();
        return true;
    }
    return convert(obj, name, &out->emplace());
}

bool open_request(const Signature& sig, PyObject* args, PyObject* kwargs, Request* out) {
    BoundArgs bound;
    if (!bound.bind(sig, args, kwargs)) return false;
    const Param* array = nullptr;
    PyObject* array_obj = nullptr;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        const bool ok = std::visit(
            [&](auto target) {
                if constexpr (std::is_same_v<decltype(target), ArrayArg>) {
                    array = &p;
                    array_obj = bound[i];
                    return checked_array(array_obj, target, p.name) != nullptr;
                } else {
                    return convert(bound[i], p.name, &(out->*target));
                }
            },
            p.target);
        if (!ok) return false;
    }
    return array == nullptr || take_array(array_obj, std::get<ArrayArg>(array->target), array->name, out);
}

}  // namespace zorvik::lib
