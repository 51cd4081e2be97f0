#include "lib/results.hpp"

#include <memory>

#include "base/text.hpp"
#include "lib/errors.hpp"
#include "lib/heap_type.hpp"
#include "lib/lists.hpp"
#include "lib/messages.hpp"

namespace zorvik::lib {

namespace {

struct ItemObject {
    PyObject_HEAD
    std::uint64_t idx;
    float score;
};

struct ResultObject {
    PyObject_HEAD
    ResultFields fields;
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, msg::kNoConstructor);
    return nullptr;
}

// ---- PyQueryItem

PyObject* item_idx(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ItemObject*>(self)->idx);
}
PyObject* item_score(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(reinterpret_cast<ItemObject*>(self)->score));
}

PyGetSetDef item_getset[] = {
    {"idx", item_idx, nullptr, nullptr, nullptr},
    {"score", item_score, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot item_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_getset, item_getset},
    {0, nullptr},
};

PyType_Spec item_spec = {"zorvikdb.PyQueryItem", sizeof(ItemObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, item_slots};

PyObject* new_item(PyTypeObject* type, const Hit& h) {
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) return nullptr;
    auto* item = reinterpret_cast<ItemObject*>(obj);
    item->idx = h.idx;
    item->score = h.score;
    return obj;
}

// ---- PyQueryResult

ResultFields& fields_of(PyObject* self) { return reinterpret_cast<ResultObject*>(self)->fields; }

void result_dealloc(PyObject* self) {
    std::destroy_at(&fields_of(self));
    free_instance(self);
}

PyObject* optional_text(const std::optional<std::string>& v) { return v ? text_object(*v) : Py_NewRef(Py_None); }

PyObject* result_results(PyObject* self, void*) {
    const State* state = state_of(Py_TYPE(self));
    if (state == nullptr) return nullptr;
    return list_of(fields_of(self).results, [&](const Hit& h) { return new_item(state->item_type, h); });
}
PyObject* result_time(PyObject* self, void*) { return PyFloat_FromDouble(fields_of(self).query_time_ms); }
PyObject* result_method(PyObject* self, void*) { return text_object(fields_of(self).method_used); }
PyObject* result_index_hash(PyObject* self, void*) { return optional_text(fields_of(self).index_hash); }
PyObject* result_query_hash(PyObject* self, void*) { return optional_text(fields_of(self).query_hash); }
PyObject* result_version(PyObject* self, void*) { return optional_text(fields_of(self).engine_version); }
// None for a plain result, else get(facts).
template <class Get>
PyObject* fact(PyObject* self, Get get) {
    const auto& facts = fields_of(self).facts;
    return facts ? get(*facts) : Py_NewRef(Py_None);
}
PyObject* result_metric(PyObject* self, void*) {
    return fact(self, [](const IndexFacts& f) { return text_object(f.metric); });
}
PyObject* result_normalized(PyObject* self, void*) {
    return fact(self, [](const IndexFacts& f) { return PyBool_FromLong(f.normalized); });
}
PyObject* result_dims(PyObject* self, void*) {
    return fact(self, [](const IndexFacts& f) { return PyLong_FromUnsignedLongLong(f.dims); });
}
PyObject* result_rows(PyObject* self, void*) {
    return fact(self, [](const IndexFacts& f) { return PyLong_FromUnsignedLongLong(f.rows); });
}
PyObject* result_index_path(PyObject* self, void*) {
    return fact(self, [](const IndexFacts& f) { return text_object(f.index_path); });
}

PyObject* result_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const ResultFields& f = fields_of(self);
        return text_object(text::fill(msg::kResultRepr, {text::dec(std::uint64_t{f.results.size()}),
                                                         text::fixed(f.query_time_ms, 3), f.method_used}));
    });
}

PyGetSetDef result_getset[] = {
    {"results", result_results, nullptr, nullptr, nullptr},
    {"query_time_ms", result_time, nullptr, nullptr, nullptr},
    {"method_used", result_method, nullptr, nullptr, nullptr},
    {"index_hash", result_index_hash, nullptr, nullptr, nullptr},
    {"query_hash", result_query_hash, nullptr, nullptr, nullptr},
    {"engine_version", result_version, nullptr, nullptr, nullptr},
    {"metric", result_metric, nullptr, nullptr, nullptr},
    {"normalized", result_normalized, nullptr, nullptr, nullptr},
    {"dims", result_dims, nullptr, nullptr, nullptr},
    {"rows", result_rows, nullptr, nullptr, nullptr},
    {"index_path", result_index_path, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_str, reinterpret_cast<void*>(result_repr)},
    {0, nullptr},
};

PyType_Spec result_spec = {"zorvikdb.PyQueryResult", sizeof(ResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, result_slots};

}  // namespace

PyObject* text_object(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* create_result_types(PyObject* module, State& state) {
    state.item_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &item_spec, nullptr));
    if (state.item_type == nullptr) return nullptr;
    state.result_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &result_spec, nullptr));
    if (state.result_type == nullptr) return nullptr;
    return Py_NewRef(reinterpret_cast<PyObject*>(state.result_type));
}

IndexFacts index_facts(const Engine& engine) {
    return {std::string(format::metric_name(engine.metric)), engine.metric == format::Metric::Cosine, engine.dims,
            engine.rows, engine.index_path};
}

ResultFields plain_fields(QueryOutcome&& outcome) {
    ResultFields f;
    f.results = std::move(outcome.results);
    f.query_time_ms = outcome.query_time_ms;
    f.method_used = std::move(outcome.method_used);
    return f;
}

ResultFields detailed_fields(QueryOutcome&& outcome, const std::string& index_hash, const IndexFacts& facts,
                             std::string query_hash) {
    ResultFields f = plain_fields(std::move(outcome));
    f.index_hash = index_hash;
    f.query_hash = std::move(query_hash);
    f.engine_version = kEngineVersion;
    f.facts = facts;
    return f;
}

PyObject* new_result(const State& state, ResultFields&& fields) {
    PyObject* obj = alloc_instance(state.result_type);
    if (obj == nullptr) return nullptr;
    std::construct_at(&fields_of(obj), std::move(fields));
    return obj;
}

bool dict_put(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

bool add_index_facts(PyObject* dict, const IndexFacts& facts) {
    return dict_put(dict, "metric", text_object(facts.metric)) &&
           dict_put(dict, "normalized", PyBool_FromLong(facts.normalized)) &&
           dict_put(dict, "dims", PyLong_FromUnsignedLongLong(facts.dims)) &&
           dict_put(dict, "rows", PyLong_FromUnsignedLongLong(facts.rows)) &&
           dict_put(dict, "index_path", text_object(facts.index_path));
}

}  // namespace zorvik::lib
