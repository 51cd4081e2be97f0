#include "lib/prepare_function.hpp"

#include <string>

#include "lib/arguments.hpp"
#include "lib/binder.hpp"
#include "lib/errors.hpp"
#include "lib/results.hpp"
#include "lib/unlocked.hpp"
#include "prepare/prepare.hpp"

namespace zorvik::lib {

namespace {

constexpr Param kParams[] = {
    {"embeddings", ArrayArg::BorrowedMatrix},
    {"dims", &Request::dims},
    {"rows", &Request::rows},
    {"base_name", &Request::base_name},
    {"level", &Request::level},
    {"normalize", &Request::normalize, "False"},
    {"ann", &Request::ann, "False"},  // accepted as a bool, then ignored
    {"seed", &Request::seed, "0"},    // accepted as a count, then ignored
    {"metric", &Request::metric, "\"cosine\""},
    {"output_dir", &Request::output_dir, "None"},
};
const Signature kSig{nullptr, "py_prepare_bin_from_embeddings", kParams};

PyObject* prepare(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        // The array is only borrowed: the opener reads it after everything that can run
        // Python code, and it is copied into the file before anything else can.
        Request call;
        if (!open_request(kSig, args, kwargs, &call)) return nullptr;
        const RowSource& values = *call.borrowed;
        prepare::PrepareRequest req;
        req.dims = call.dims;
        req.rows = call.rows;
        req.base_name = std::move(call.base_name);
        req.level = std::move(call.level);
        req.normalize = call.normalize;
        req.output_dir = std::move(call.output_dir);

        auto metric = prepare::parse_metric(call.metric.lower, call.metric.text);
        if (!metric) return raise_value_error(metric.error());
        req.metric = metric.value();
        req.stem = prepare::sanitize_base_name(req.base_name);
        if (Status s = prepare::check_request(req, values); !s) return raise_value_error(s.error());

        // The file is filled while the array cannot change under us: that is the only
        // copy made. The flush and the move to the final name, the slow part on most
        // disks, run without the interpreter lock.
        Expected<prepare::PendingIndex> pending =
            prepare::begin_index(req.output_dir, req.stem, req.level, prepare::chunks_of(values, req.dims),
                                 prepare::index_shape(req));
        if (!pending) return raise_value_error(pending.error());
        const Expected<std::string> path =
            without_lock([&] { return prepare::finish_index(std::move(pending.value())); });
        if (!path) return raise_value_error(path.error());
        return text_object(path.value());
    });
}

}  // namespace

PyObject* create_prepare_function(PyObject* module) {
    static const std::string doc = text_signature(kSig);
    static PyMethodDef def = {kSig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare)),
                              METH_VARARGS | METH_KEYWORDS, doc.c_str()};
    return module_function(module, &def);
}

}  // namespace zorvik::lib
