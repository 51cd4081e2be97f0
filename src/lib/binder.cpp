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

// "PySearchEngine.query_exact()" or "py_prepare_bin_from_embeddings()".
std::string callable_name(const Signature& sig) {
    std::string out = sig.owner ? std::string(sig.owner) + "." : std::string();
    return out + sig.name + "()";
}

std::string signature_text(const std::string& name, bool with_self, std::span<const Param> params) {
    std::string out = name + "(";
    bool first = true;
    if (with_self) {
        out += "$self";
        first = false;
    }
    bool starred = false;
    for (const Param& p : params) {
        if (!first) out += ", ";
        first = false;
        if (p.keyword_only && !starred) {
            out += "*, ";
            starred = true;
        }
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
    const std::size_t nparams = sig.params.size();
    if (nparams > std::size(slots_)) throw std::logic_error("parameter table larger than the binder's slots");
    const std::string who = callable_name(sig);
    // Keyword-only parameters come last and always have defaults.
    std::size_t required = 0, positional = 0;
    for (const Param& p : sig.params) {
        required += p.default_literal == nullptr;
        positional += !p.keyword_only;
    }

    const std::size_t nargs = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    if (nargs > positional) {
        const std::string given = text::dec(std::uint64_t{nargs});
        const char* verb = nargs == 1 ? "was" : "were";
        const std::string msg =
            required == positional
                ? text::fill(msg::kTooManyPositional, {who, text::dec(std::uint64_t{positional}), given, verb})
                : text::fill(msg::kTooManyPositionalRange, {who, text::dec(std::uint64_t{required}),
                                                            text::dec(std::uint64_t{positional}), given, verb});
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

PyObject* module_function(PyObject* module, PyMethodDef* def) {
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return nullptr;
    PyObject* fn = PyCFunction_NewEx(def, nullptr, name);
    Py_DECREF(name);
    return fn;
}

}  // namespace zorvik::lib
