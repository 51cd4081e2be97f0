#include "lib/binder.hpp"

#include <cstring>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "lib/messages.hpp"

namespace zorvik::lib {

namespace {

// The default's value from its Python literal: True, False, None, a decimal integer
// or a double-quoted string.
PyObject* default_value(const char* literal) {
    if (std::strcmp(literal, "True") == 0) return Py_NewRef(Py_True);
    if (std::strcmp(literal, "False") == 0) return Py_NewRef(Py_False);
    if (std::strcmp(literal, "None") == 0) return Py_NewRef(Py_None);
    if (literal[0] == '"') {
        const std::size_t n = std::strlen(literal);
        return PyUnicode_FromStringAndSize(literal + 1, static_cast<Py_ssize_t>(n - 2));
    }
    return PyLong_FromString(literal, nullptr, 10);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

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

void cannot_convert(PyObject* obj, const char* target) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    const char* tname = qualname ? PyUnicode_AsUTF8AndSize(qualname, nullptr) : nullptr;
    if (tname == nullptr) {
        Py_XDECREF(qualname);
        return;
    }
    PyErr_SetString(PyExc_TypeError, text::fill(msg::kCannotConvert, {tname, target}).c_str());
    Py_DECREF(qualname);
}

}  // namespace

std::string callable_name(const Signature& sig) {
    std::string out = sig.owner ? std::string(sig.owner) + "." : std::string();
    return out + sig.name + "()";
}

namespace {
std::string signature_text(const std::string& name, bool with_self, std::span<const Param> params) {
    std::string out = name + "(";
    bool first = true;
    if (with_self) {
        out += "$self";
        first = false;
    }
    for (const Param& p : params) {
        if (!first) out += ", ";
        first = false;
        out += p.name;
        if (p.default_literal) {
            out += "=";
            out += p.default_literal;
        }
    }
    return out + ")\n--\n\n";
}
}  // namespace

std::string text_signature(const Signature& sig) { return signature_text(sig.name, sig.owner != nullptr, sig.params); }

std::string class_text_signature(const Signature& constructor) {
    return signature_text(constructor.owner, false, constructor.params);
}

BoundArgs::~BoundArgs() {
    for (PyObject* s : slots_) Py_XDECREF(s);
}

bool BoundArgs::bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    sig_ = &sig;
    const std::size_t nparams = sig.params.size();
    if (nparams > std::size(slots_)) throw std::logic_error("parameter table larger than the binder's slots");
    const std::string who = callable_name(sig);
    std::size_t required = 0;
    for (const Param& p : sig.params) required += p.default_literal == nullptr;

    const std::size_t nargs = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    if (nargs > nparams) {
        const std::string given = text::dec(std::uint64_t{nargs});
        const char* verb = nargs == 1 ? "was" : "were";
        const std::string msg =
            required == nparams
                ? text::fill(msg::kTooManyPositional, {who, text::dec(std::uint64_t{nparams}), given, verb})
                : text::fill(msg::kTooManyPositionalRange, {who, text::dec(std::uint64_t{required}),
                                                            text::dec(std::uint64_t{nparams}), given, verb});
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    for (std::size_t i = 0; i < nargs; ++i) slots_[i] = Py_NewRef(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const char* kname = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
            if (kname == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            std::size_t i = 0;
            while (i < nparams && std::strcmp(sig.params[i].name, kname) != 0) ++i;
            if (i == nparams) {
                PyErr_SetString(PyExc_TypeError, text::fill(msg::kUnexpectedKeyword, {who, kname}).c_str());
                return false;
            }
            if (slots_[i] != nullptr) {
                PyErr_SetString(PyExc_TypeError, text::fill(msg::kMultipleValues, {who, kname}).c_str());
                return false;
            }
            slots_[i] = Py_NewRef(value);
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < nparams; ++i)
        if (slots_[i] == nullptr && sig.params[i].default_literal == nullptr) missing.push_back(sig.params[i].name);
    if (!missing.empty()) {
        const std::string msg = text::fill(
            msg::kMissingRequired, {who, text::dec(std::uint64_t{missing.size()}), "positional",
                                    missing.size() == 1 ? "argument" : "arguments"}) +
                                quoted_list(missing);
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    for (std::size_t i = 0; i < nparams; ++i) {
        if (slots_[i] == nullptr) {
            slots_[i] = default_value(sig.params[i].default_literal);
            if (slots_[i] == nullptr) return false;
        }
    }
    return true;
}

void BoundArgs::expect(std::size_t i, Kind a, Kind b) const {
    const Kind k = sig_->params[i].kind;
    if (k != a && k != b) throw std::logic_error(text::fill(msg::kParamKind, {sig_->params[i].name}));
}

bool BoundArgs::array(std::size_t i, PyArrayObject** out) const {
    expect(i, Kind::Vector, Kind::Matrix);
    const Param& p = sig_->params[i];
    PyObject* obj = slots_[i];
    const int want = p.kind == Kind::Matrix ? 2 : 1;
    if (!PyArray_Check(obj)) {
        cannot_convert(obj, msg::kArrayTarget);
    } else if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) != want) {
        const auto have = static_cast<std::uint64_t>(PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)));
        PyErr_SetString(PyExc_TypeError,
                        text::fill(msg::kDimMismatch, {text::dec(have), text::dec(std::uint64_t(want))}).c_str());
    } else {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
        const bool same = PyArray_EquivTypes(PyArray_DESCR(arr), f32);
        if (same) {
            Py_DECREF(f32);
            *out = arr;
            return true;
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
    prefix_type_error(p.name);
    return false;
}

bool BoundArgs::count(std::size_t i, std::uint64_t* out) const {
    expect(i, Kind::Count, Kind::Count);
    PyObject* index = PyNumber_Index(slots_[i]);
    if (index == nullptr) {
        prefix_type_error(sig_->params[i].name);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(sig_->params[i].name);
        return false;
    }
    *out = v;
    return true;
}

bool utf8_of(PyObject* s, std::string* out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) return false;
    out->assign(p, static_cast<std::size_t>(n));
    return true;
}

bool BoundArgs::text(std::size_t i, std::string* out) const {
    expect(i, Kind::Text, Kind::OptionalText);
    PyObject* obj = slots_[i];
    if (!PyUnicode_Check(obj)) {
        cannot_convert(obj, msg::kStringTarget);
        prefix_type_error(sig_->params[i].name);
        return false;
    }
    if (utf8_of(obj, out)) return true;
    prefix_type_error(sig_->params[i].name);
    return false;
}

bool BoundArgs::optional_text(std::size_t i, std::optional<std::string>* out) const {
    expect(i, Kind::OptionalText, Kind::OptionalText);
    if (slots_[i] == Py_None) {
        out->reset();
        return true;
    }
    std::string s;
    if (!text(i, &s)) return false;
    *out = std::move(s);
    return true;
}

bool BoundArgs::flag(std::size_t i, bool* out) const {
    expect(i, Kind::Flag, Kind::Flag);
    PyObject* obj = slots_[i];
    if (obj == Py_True || obj == Py_False) {
        *out = obj == Py_True;
        return true;
    }
    cannot_convert(obj, msg::kBoolTarget);
    prefix_type_error(sig_->params[i].name);
    return false;
}

bool require_contiguous(PyArrayObject* a) {
    if (PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a)) return true;
    PyErr_SetString(PyExc_TypeError, msg::kNotContiguous);
    return false;
}

RowSource matrix_rows(PyArrayObject* a) {
    return RowSource(PyArray_DATA(a), static_cast<std::size_t>(PyArray_DIM(a, 0)),
                              static_cast<std::size_t>(PyArray_DIM(a, 1)), !PyArray_IS_C_CONTIGUOUS(a));
}

std::vector<float> row_major_values(PyArrayObject* a) {
    std::vector<float> out;
    if (PyArray_NDIM(a) != 2) {
        out.resize(static_cast<std::size_t>(PyArray_SIZE(a)));
        if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(a), out.size() * sizeof(float));
        return out;
    }
    const RowSource rows = matrix_rows(a);
    const float* p = rows.range(0, rows.size(), out);
    if (p != out.data()) out.assign(p, p + rows.size());
    return out;
}

}  // namespace zorvik::lib
