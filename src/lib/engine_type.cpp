#include "lib/engine_type.hpp"

#include <array>
#include <memory>
#include <string>

#include "engine/index/loader.hpp"
#include "lib/arguments.hpp"
#include "lib/batch_methods.hpp"
#include "lib/binder.hpp"
#include "lib/certified_methods.hpp"
#include "lib/engine_object.hpp"
#include "lib/errors.hpp"
#include "lib/hashing.hpp"
#include "lib/heap_type.hpp"
#include "lib/pool_config.hpp"
#include "lib/query_methods.hpp"

namespace zorvik::lib {

namespace {

constexpr Param kConstructorParams[] = {{"bin_path", &Request::bin_path},
                                        {"ann", &Request::ann}};  // accepted as a bool, then ignored
const Signature kConstructorSig{"PySearchEngine", "__new__", kConstructorParams};
const Signature kDimsSig{"PySearchEngine", "dims", {}};
const Signature kRowsSig{"PySearchEngine", "rows", {}};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        State* state = state_of(type);
        Request req;
        if (state == nullptr || !open_request(kConstructorSig, args, kwargs, &req)) return nullptr;
        const LoadHooks hooks{configure_worker_pool, [state](SharedBytes bytes, std::size_t size) {
                                  return blake3_digest(*state, std::move(bytes), size);
                              }};
        auto opened = open_index(req.bin_path, hooks);
        if (!opened) return raise_value_error(opened.error());
        PyObject* self = alloc_instance(type);
        if (self == nullptr) return nullptr;
        std::construct_at(&reinterpret_cast<EngineObject*>(self)->engine, std::move(opened.value()));
        return self;
    });
}

void engine_dealloc(PyObject* self) {
    std::destroy_at(&reinterpret_cast<EngineObject*>(self)->engine);
    free_instance(self);
}

PyObject* engine_dims(PyObject* self, PyObject*) { return PyLong_FromUnsignedLongLong(engine_of(self).dims); }
PyObject* engine_rows(PyObject* self, PyObject*) { return PyLong_FromUnsignedLongLong(engine_of(self).rows); }

struct MethodEntry {
    const Signature* sig;
    PyCFunction fn;
    int flags;
    const char* doc = "";  // after the text signature
};

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The method table, in its public order.
const std::array kMethods{
    MethodEntry{&kDimsSig, engine_dims, METH_NOARGS},
    MethodEntry{&kRowsSig, engine_rows, METH_NOARGS},
    MethodEntry{&kQueryExactSig, with_keywords<query_exact>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryExactArraysSig, with_keywords<query_exact_arrays>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryBatchSig, with_keywords<query_batch>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryBatchArraysSig, with_keywords<query_batch_arrays>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryExactDetailedSig, with_keywords<query_exact_detailed>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryExactCertifiedSig, with_keywords<query_exact_certified>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryBatchExactCertifiedSig, with_keywords<query_batch_exact_certified>(),
                METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kQueryBatchDetailedSig, with_keywords<query_batch_detailed>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kCompareSig, with_keywords<compare>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kExplainSig, with_keywords<explain>(), METH_VARARGS | METH_KEYWORDS},
    MethodEntry{&kSketchCandidatesSig, with_keywords<sketch_candidates>(), METH_VARARGS | METH_KEYWORDS,
                "Candidates the sketch scan keeps for one query (rows the kernel rescores, or the count\n"
                "reached when it fell back) and the method_used the sketch strategy reports."},
};

// Docstrings and method definitions: every PySearchEngine type points at them, so they
// are built once per process and never rebuilt, whatever the number of module objects.
struct MethodTable {
    MethodTable() : class_doc(class_text_signature(kConstructorSig)) {
        for (std::size_t i = 0; i < kMethods.size(); ++i) {
            docs[i] = text_signature(*kMethods[i].sig) + kMethods[i].doc;
            defs[i] = {kMethods[i].sig->name, kMethods[i].fn, kMethods[i].flags, docs[i].c_str()};
        }
    }
    MethodTable(const MethodTable&) = delete;
    MethodTable& operator=(const MethodTable&) = delete;

    std::array<std::string, kMethods.size()> docs;
    std::array<PyMethodDef, kMethods.size() + 1> defs{};
    std::string class_doc;
};

MethodTable& method_table() {
    static MethodTable table;
    return table;
}

}  // namespace

PyObject* create_engine_type(PyObject* module) {
    MethodTable& table = method_table();
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(engine_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
        {Py_tp_methods, table.defs.data()},
        {Py_tp_doc, const_cast<char*>(table.class_doc.c_str())},
        {0, nullptr},
    };
    PyType_Spec spec = {"zorvikdb.PySearchEngine", sizeof(EngineObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace zorvik::lib
