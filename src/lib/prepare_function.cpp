#include "lib/prepare_function.hpp"

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

// Full Unicode lower-casing by str.lower itself: a str subclass's own `lower` is not
// consulted, so no code of the caller runs here.
bool lowered_text(PyObject* s, std::string* out) {
    PyObject* lower = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower");
    if (lower == nullptr) return false;
    PyObject* r = PyObject_CallFunctionObjArgs(lower, s, nullptr);
    Py_DECREF(lower);
    if (r == nullptr) return false;
    const bool ok = utf8_of(r, out);
    Py_DECREF(r);
    return ok;
}

PyObject* prepare(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArgs bound;
        PyArrayObject* embeddings = nullptr;
        prepare::PrepareRequest req;
        std::uint64_t seed = 0;  // accepted, then ignored
        bool ann = false;        // accepted, then ignored
        std::string metric_text;
        // Everything that can run Python code comes first; the array's data pointer is
        // taken last and used while the interpreter lock is still held.
        std::string lowered;
        if (!bound.bind(kSig, args, kwargs) || !bound.array(kEmbeddings, &embeddings) ||
            !bound.count(kDims, &req.dims) || !bound.count(kRows, &req.rows) ||
            !bound.text(kBaseName, &req.base_name) || !bound.text(kLevel, &req.level) ||
            !bound.flag(kNormalize, &req.normalize) || !bound.flag(kAnn, &ann) || !bound.count(kSeed, &seed) ||
            !bound.text(kMetric, &metric_text) || !bound.optional_text(kOutputDir, &req.output_dir) ||
            !lowered_text(bound[kMetric], &lowered) || !require_contiguous(embeddings))
            return nullptr;
        const RowSource values = matrix_rows(embeddings);

        auto metric = prepare::parse_metric(lowered, metric_text);
        if (!metric) return raise_value_error(metric.error());
        req.metric = metric.value();
        req.stem = prepare::sanitize_base_name(req.base_name);
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
