#include "lib/prepare_function.hpp"

#include <locale.h>
#include <wctype.h>

#include <cstring>
#include <exception>
#include <string>

#include "lib/binder.hpp"
#include "lib/errors.hpp"
#include "lib/results.hpp"
#include "prepare/prepare.hpp"

namespace zorvik::lib {

namespace {

enum Arg : std::size_t { kEmbeddings, kDims, kRows, kBaseName, kLevel, kNormalize, kAnn, kSeed, kMetric, kOutputDir };

constexpr Param kParams[] = {
    {"embeddings", Kind::Matrix, nullptr},   {"dims", Kind::Count, nullptr},
    {"rows", Kind::Count, nullptr},          {"base_name", Kind::Text, nullptr},
    {"level", Kind::Text, nullptr},          {"normalize", Kind::Flag, "False"},
    {"ann", Kind::Flag, "False"},            {"seed", Kind::Count, "0"},
    {"metric", Kind::Text, "\"cosine\""},    {"output_dir", Kind::OptionalText, "None"},
};
const Signature kSig{nullptr, "py_prepare_bin_from_embeddings", kParams};

// Python's str method `name` applied to `s`, as UTF-8.
bool str_method(PyObject* s, const char* name, std::string* out) {
    PyObject* r = PyObject_CallMethod(s, name, nullptr);
    if (r == nullptr) return false;
    const bool ok = utf8_of(r, out);
    Py_DECREF(r);
    return ok;
}

// Unicode Alphabetic property, from the C library's UTF-8 character classes (which
// follow it, marks such as vowel signs and circled letters included); false when no
// UTF-8 locale is installed.
bool alphabetic(Py_UCS4 c) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return utf8 != static_cast<locale_t>(nullptr) && ::iswalpha_l(static_cast<wint_t>(c), utf8) != 0;
}

// Keeps the characters that are alphanumeric in the Unicode sense (Alphabetic, or
// numeric: Python's str.isalnum covers letters and every numeric category), '-' and '_'.
bool sanitized_stem(PyObject* base_name, std::string* out) {
    const Py_ssize_t n = PyUnicode_GetLength(base_name);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* ch = PyUnicode_Substring(base_name, i, i + 1);
        if (ch == nullptr) return false;
        const Py_UCS4 c = PyUnicode_ReadChar(base_name, i);
        bool keep = c == '-' || c == '_' || alphabetic(c);
        if (!keep) {
            PyObject* r = PyObject_CallMethod(ch, "isalnum", nullptr);
            if (r == nullptr) {
                Py_DECREF(ch);
                return false;
            }
            keep = r == Py_True;
            Py_DECREF(r);
        }
        std::string piece;
        const bool ok = !keep || utf8_of(ch, &piece);
        Py_DECREF(ch);
        if (!ok) return false;
        out->append(piece);
    }
    return true;
}

PyObject* prepare(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArgs bound;
        PyArrayObject* embeddings = nullptr;
        prepare::PrepareRequest req;
        std::uint64_t seed = 0;  // accepted, then ignored
        bool ann = false;        // accepted, then ignored
        std::string metric_text;
        if (!bound.bind(kSig, args, kwargs) || !bound.array(kEmbeddings, &embeddings) ||
            !bound.count(kDims, &req.dims) || !bound.count(kRows, &req.rows) ||
            !bound.text(kBaseName, &req.base_name) || !bound.text(kLevel, &req.level) ||
            !bound.flag(kNormalize, &req.normalize) || !bound.flag(kAnn, &ann) || !bound.count(kSeed, &seed) ||
            !bound.text(kMetric, &metric_text) || !bound.optional_text(kOutputDir, &req.output_dir) ||
            !require_contiguous(embeddings))
            return nullptr;
        const prepare::RowSource values = matrix_rows(embeddings);

        std::string lowered;
        if (!str_method(bound[kMetric], "lower", &lowered)) return nullptr;
        auto metric = prepare::parse_metric(lowered, metric_text);
        if (!metric) return raise_value_error(metric.error());
        req.metric = metric.value();
        if (!sanitized_stem(bound[kBaseName], &req.stem)) return nullptr;
        if (Status s = prepare::check_request(req, values); !s) return raise_value_error(s.error());

        // The file is filled while the array cannot change under us: that is the only
        // copy made. The flush and the move to the final name, the slow part on most
        // disks, run without the interpreter lock; an exception is carried across and
        // rethrown once the lock is held again.
        Expected<prepare::PendingIndex> pending =
            prepare::begin_index(req.output_dir, req.stem, req.level, values, prepare::index_shape(req));
        if (!pending) return raise_value_error(pending.error());
        Expected<std::string> path{Error{}};
        std::exception_ptr failure;
        Py_BEGIN_ALLOW_THREADS
        try {
            path = prepare::finish_index(std::move(pending.value()));
        } catch (...) {
            failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (failure) std::rethrow_exception(failure);
        if (!path) return raise_value_error(path.error());
        return text_object(path.value());
    });
}

}  // namespace

PyObject* create_prepare_function(PyObject* module) {
    static const std::string doc = text_signature(kSig);
    static PyMethodDef def = {kSig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare)),
                              METH_VARARGS | METH_KEYWORDS, doc.c_str()};
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return nullptr;
    PyObject* fn = PyCFunction_NewEx(&def, nullptr, name);
    Py_DECREF(name);
    return fn;
}

}  // namespace zorvik::lib
