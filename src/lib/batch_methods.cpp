#include "lib/batch_methods.hpp"

#include <ranges>
#include <string>
#include <vector>

#include "base/free_memory.hpp"
#include "engine/batch/batch.hpp"
#include "engine/batch/shape.hpp"
#include "lib/engine_object.hpp"
#include "lib/errors.hpp"
#include "lib/hashing.hpp"
#include "lib/lists.hpp"
#include "lib/messages.hpp"
#include "lib/result_budget.hpp"
#include "lib/results.hpp"
#include "lib/search_scope.hpp"

namespace zorvik::lib {

namespace {

constexpr Param kBatchParams[] = {{"queries", ArrayArg::Matrix}, {"k", &Request::k}, kFilterParam};

// search_batch for `q`, refused up front when its answers of `cost` do not fit.
Expected<BatchOutcome> search_within(const Engine& engine, const Request& q, ResultCost cost) {
    return scoped_search(engine, q, answers_fit(engine, q.n, q.k, cost), [&](std::uint64_t k, const Scope& scope) {
        return search_batch(engine, q.values, q.d, k, scope);
    });
}

// Frees the copy of the queries and the answers, and gives freed memory back to the
// system when the batch was large.
void release(Request& q, BatchOutcome& answers) {
    const std::uint64_t handled = q.n * q.d * sizeof(float) + answers.hits.size() * sizeof(Hit);
    q = Request{};
    answers = BatchOutcome{};
    release_free_memory(handled);
}

// One result object per answer, built as the list is: fields(q) gives answer q's fields.
template <class Fields>
PyObject* result_list(const State& state, std::uint64_t n, Fields fields) {
    return list_of(std::views::iota(std::uint64_t{0}, n), [&](std::uint64_t q) { return new_result(state, fields(q)); });
}

// A new (queries, width) row-major array of `type` whose row q is field(hit) over answer
// q's hits; ValueError when an answer holds another number of hits than the first.
template <class T, class Field>
PyObject* hit_matrix(const BatchOutcome& answers, int type, Field field) {
    const std::uint64_t w = answers.queries == 0 ? 0 : answers.counts[0];
    npy_intp shape[2] = {static_cast<npy_intp>(answers.queries), static_cast<npy_intp>(w)};
    PyObject* a = PyArray_SimpleNew(2, shape, type);
    if (a == nullptr) return nullptr;
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
    for (std::uint64_t q = 0; q < answers.queries; ++q) {
        if (answers.counts[q] != w) {
            Py_DECREF(a);
            return raise_value_error(text::fill(msg::kInvalidLength, {text::dec(answers.counts[q]), text::dec(w)}));
        }
        for (const Hit& h : answers.results(q)) *out++ = field(h);
    }
    return a;
}

PyObject* times_array(const BatchOutcome& answers) {
    npy_intp n = static_cast<npy_intp>(answers.queries);
    PyObject* a = PyArray_SimpleNew(1, &n, NPY_FLOAT64);
    if (a == nullptr) return nullptr;
    std::copy(answers.times.begin(), answers.times.end(), static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a))));
    return a;
}

// One str per answer, all the same object.
PyObject* method_list(const BatchOutcome& answers) {
    PyObject* name = text_object(answers.method);
    if (name == nullptr) return nullptr;
    PyObject* list = list_of(answers.times, [name](double) { return Py_NewRef(name); });
    Py_DECREF(name);
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
        auto searched = search_within(engine_of(self), q, kItemsCost);
        if (!searched) return raise_value_error(searched.error());
        BatchOutcome answers = std::move(searched.value());
        PyObject* list =
            result_list(*state, answers.queries, [&](std::uint64_t i) { return plain_fields(answers.outcome(i)); });
        release(q, answers);
        return list;
    });
}

PyObject* query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Request q;
        if (!open_request(kQueryBatchArraysSig, args, kwargs, &q)) return nullptr;
        const Engine& engine = engine_of(self);
        auto searched = search_within(engine, q, kArraysCost);
        if (!searched) return raise_value_error(searched.error());
        BatchOutcome answers = std::move(searched.value());
        PyObject* result = new_dict([&](PyObject* dict) {
            return dict_put(dict, "indices",
                            hit_matrix<std::uint64_t>(answers, NPY_UINT64, [](const Hit& h) { return h.idx; })) &&
                   dict_put(dict, "scores",
                            hit_matrix<float>(answers, NPY_FLOAT32, [](const Hit& h) { return h.score; })) &&
                   dict_put(dict, "query_time_ms", times_array(answers)) &&
                   dict_put(dict, "method_used", method_list(answers)) && add_index_facts(dict, index_facts(engine));
        });
        release(q, answers);
        return result;
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

        auto searched = search_within(engine, q, kItemsCost);
        if (!searched) return raise_value_error(searched.error());
        BatchOutcome answers = std::move(searched.value());
        const std::string index_hash = hex_text(engine.index_hash);
        const IndexFacts facts = index_facts(engine);
        const std::uint64_t pairs = std::min<std::uint64_t>(answers.queries, hashes.size());
        PyObject* list = result_list(*state, pairs, [&](std::uint64_t i) {
            return detailed_fields(answers.outcome(i), index_hash, facts, std::move(hashes[static_cast<std::size_t>(i)]));
        });
        release(q, answers);
        return list;
    });
}

}  // namespace zorvik::lib
