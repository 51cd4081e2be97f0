#include "lib/batch_methods.hpp"

#include <string>
#include <vector>

#include "engine/batch/batch.hpp"
#include "engine/batch/shape.hpp"
#include "lib/engine_object.hpp"
#include "lib/errors.hpp"
#include "lib/hashing.hpp"
#include "lib/lists.hpp"
#include "lib/messages.hpp"
#include "lib/result_budget.hpp"
#include "lib/results.hpp"

namespace zorvik::lib {

namespace {

constexpr Param kBatchParams[] = {{"queries", ArrayArg::Matrix}, {"k", &Request::k}};

// search_batch for `q`, refused up front when its answers of `cost` do not fit.
Expected<std::vector<QueryOutcome>> search_within(const Engine& engine, const Request& q, ResultCost cost) {
    return search_if_it_fits(answers_fit(engine, q.n, q.k, cost), q.k,
                             [&](std::uint64_t k) { return search_batch(engine, q.values, q.d, k); });
}

PyObject* result_list(const State& state, std::vector<ResultFields>&& fields) {
    return list_of(fields, [&](ResultFields& f) { return new_result(state, std::move(f)); });
}

// A new (m, w) row-major array of `type` whose row j is field(hit) over outcome j's hits;
// ValueError when an outcome's hit count is not w.
template <class T, class Field>
PyObject* hit_matrix(const std::vector<QueryOutcome>& outcomes, npy_intp w, int type, Field field) {
    npy_intp shape[2] = {static_cast<npy_intp>(outcomes.size()), w};
    PyObject* a = PyArray_SimpleNew(2, shape, type);
    if (a == nullptr) return nullptr;
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    for (const QueryOutcome& o : outcomes) {
        if (o.results.size() != static_cast<std::size_t>(w)) {
            Py_DECREF(a);
            return raise_value_error(text::fill(
                msg::kInvalidLength, {text::dec(std::uint64_t{o.results.size()}), text::dec(std::uint64_t(w))}));
        }
        for (const Hit& h : o.results) *out++ = field(h);
    }
    return a;
}

PyObject* times_array(const std::vector<QueryOutcome>& outcomes) {
    npy_intp n = static_cast<npy_intp>(outcomes.size());
    PyObject* a = PyArray_SimpleNew(1, &n, NPY_FLOAT64);
    if (a == nullptr) return nullptr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    for (const QueryOutcome& o : outcomes) *out++ = o.query_time_ms;
    return a;
}

// One str per outcome; consecutive equal names share one object.
PyObject* method_list(const std::vector<QueryOutcome>& outcomes) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(outcomes.size()));
    if (list == nullptr) return nullptr;
    PyObject* last = nullptr;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (last == nullptr || outcomes[i].method_used != outcomes[i - 1].method_used) {
            last = text_object(outcomes[i].method_used);
            if (last == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
        } else {
            Py_INCREF(last);
        }
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), last);
    }
    return list;
}

}  // namespace

const Signature kQueryBatchSig{"PySearchEngine", "query_batch", kBatchParams};
const Signature kQueryBatchArraysSig{"PySearchEngine", "query_batch_arrays", kBatchParams};
const Signature kQueryBatchDetailedSig{"PySearchEngine", "query_batch_detailed", kBatchParams};

PyObject* query_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const State* state = state_of(Py_TYPE(self));
        Request q;
        if (state == nullptr || !open_request(kQueryBatchSig, args, kwargs, &q)) return nullptr;
        auto outcomes = search_within(engine_of(self), q, kItemsCost);
        if (!outcomes) return raise_value_error(outcomes.error());
        std::vector<ResultFields> fields;
        fields.reserve(outcomes.value().size());
        for (QueryOutcome& o : outcomes.value()) fields.push_back(plain_fields(std::move(o)));
        return result_list(*state, std::move(fields));
    });
}

PyObject* query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Request q;
        if (!open_request(kQueryBatchArraysSig, args, kwargs, &q)) return nullptr;
        const Engine& engine = engine_of(self);
        auto searched = search_within(engine, q, kArraysCost);
        if (!searched) return raise_value_error(searched.error());
        const std::vector<QueryOutcome>& outcomes = searched.value();
        const auto w = static_cast<npy_intp>(outcomes.empty() ? 0 : outcomes[0].results.size());

        return new_dict([&](PyObject* dict) {
            return dict_put(dict, "indices",
                            hit_matrix<std::uint64_t>(outcomes, w, NPY_UINT64, [](const Hit& h) { return h.idx; })) &&
                   dict_put(dict, "scores",
                            hit_matrix<float>(outcomes, w, NPY_FLOAT32, [](const Hit& h) { return h.score; })) &&
                   dict_put(dict, "query_time_ms", times_array(outcomes)) &&
                   dict_put(dict, "method_used", method_list(outcomes)) && add_index_facts(dict, index_facts(engine));
        });
    });
}

PyObject* query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        State* state = state_of(Py_TYPE(self));
        Request q;
        if (state == nullptr || !open_request(kQueryBatchDetailedSig, args, kwargs, &q)) return nullptr;
        const Engine& engine = engine_of(self);
        // Shape first, then every row's hash, then the search.
        if (Status s = check_batch_shape(engine, q.values.size(), q.d, ShapeOrder::DimensionsFirst); !s)
            return raise_value_error(s.error());
        std::vector<std::string> hashes;
        hashes.reserve(static_cast<std::size_t>(q.n));
        for (std::uint64_t i = 0; i < q.n; ++i)
            hashes.push_back(query_hash_text(*state, q.values.data() + i * q.d, static_cast<std::size_t>(q.d)));

        auto outcomes = search_within(engine, q, kItemsCost);
        if (!outcomes) return raise_value_error(outcomes.error());
        const std::string index_hash = hex_text(engine.index_hash);
        const IndexFacts facts = index_facts(engine);
        std::vector<ResultFields> fields;
        const std::size_t pairs = std::min(outcomes.value().size(), hashes.size());
        fields.reserve(pairs);
        for (std::size_t j = 0; j < pairs; ++j)
            fields.push_back(detailed_fields(std::move(outcomes.value()[j]), index_hash, facts, std::move(hashes[j])));
        return result_list(*state, std::move(fields));
    });
}

}  // namespace zorvik::lib
