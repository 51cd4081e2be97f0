#include "lib/query_methods.hpp"

#include <span>
#include <vector>

#include "engine/scan/search.hpp"
#include "lib/engine_object.hpp"
#include "lib/errors.hpp"
#include "lib/hashing.hpp"
#include "lib/result_budget.hpp"
#include "lib/results.hpp"
#include "lib/search_scope.hpp"
#include "lib/unlocked.hpp"

namespace zorvik::lib {

namespace {

constexpr Param kQueryParams[] = {{"query", ArrayArg::Vector}, {"k", &Request::k}, kFilterParam};

// search_exact for `q`, refused up front when its answer does not fit `budget`.
Expected<QueryOutcome> search_within(const Engine& engine, const Request& q, const AnswerBudget& budget) {
    return scoped_search(engine, q, budget.fits(), [&](std::uint64_t k, const Scope& scope) {
        return unlocked(scope, [&] { return search_exact(engine, q.values, k, scope); });
    });
}

// A new 1-D array of `n` elements of `type`; its data pointer in *data.
PyObject* new_vector(npy_intp n, int type, void** data) {
    PyObject* a = PyArray_SimpleNew(1, &n, type);
    if (a != nullptr) *data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(a));
    return a;
}

}  // namespace

const Signature kQueryExactSig{"PySearchEngine", "query_exact", kQueryParams};
const Signature kQueryExactArraysSig{"PySearchEngine", "query_exact_arrays", kQueryParams};
const Signature kQueryExactDetailedSig{"PySearchEngine", "query_exact_detailed", kQueryParams};
// The query and k of the query methods, without a filter.
const Signature kSketchCandidatesSig{"PySearchEngine", "_sketch_candidates", std::span(kQueryParams).first<2>()};

PyObject* query_exact(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const State* state = state_of(Py_TYPE(self));
        Request q;
        if (state == nullptr || !open_request(kQueryExactSig, args, kwargs, &q)) return nullptr;
        const EngineHandle engine = hold_engine(self);
        const AnswerBudget budget(*engine, 1, q.k, kItemsCost);
        auto outcome = search_within(*engine, q, budget);
        if (!outcome) return raise_value_error(outcome.error());
        return new_result(*state, plain_fields(std::move(outcome.value())));
    });
}

PyObject* query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Request q;
        if (!open_request(kQueryExactArraysSig, args, kwargs, &q)) return nullptr;
        const EngineHandle held = hold_engine(self);
        const Engine& engine = *held;
        const AnswerBudget budget(engine, 1, q.k, kArraysCost);
        auto outcome = search_within(engine, q, budget);
        if (!outcome) return raise_value_error(outcome.error());
        const QueryOutcome& out = outcome.value();

        const auto n = static_cast<npy_intp>(out.results.size());
        return new_dict([&](PyObject* dict) {
            void* idx_data = nullptr;
            void* score_data = nullptr;
            if (!dict_put(dict, "indices", new_vector(n, NPY_UINT64, &idx_data)) ||
                !dict_put(dict, "scores", new_vector(n, NPY_FLOAT32, &score_data)))
                return false;
            auto* idx = static_cast<std::uint64_t*>(idx_data);
            auto* sc = static_cast<float*>(score_data);
            for (std::size_t i = 0; i < out.results.size(); ++i) {
                idx[i] = out.results[i].idx;
                sc[i] = out.results[i].score;
            }
            return dict_put(dict, "query_time_ms", PyFloat_FromDouble(out.query_time_ms)) &&
                   dict_put(dict, "method_used", text_object(out.method_used)) &&
                   dict_put(dict, "index_hash", text_object(hex_text(engine.index_hash))) &&
                   add_index_facts(dict, index_facts(engine));
        });
    });
}

PyObject* query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        State* state = state_of(Py_TYPE(self));
        Request q;
        if (state == nullptr || !open_request(kQueryExactDetailedSig, args, kwargs, &q)) return nullptr;
        const EngineHandle held = hold_engine(self);
        const Engine& engine = *held;
        // The query is hashed before the search looks at it.
        std::string query_hash = query_hash_text(*state, q.values.data(), q.values.size());
        const AnswerBudget budget(engine, 1, q.k, kItemsCost);
        auto outcome = search_within(engine, q, budget);
        if (!outcome) return raise_value_error(outcome.error());
        return new_result(*state, detailed_fields(std::move(outcome.value()), hex_text(engine.index_hash),
                                                  index_facts(engine), std::move(query_hash)));
    });
}

PyObject* sketch_candidates(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Request q;
        if (!open_request(kSketchCandidatesSig, args, kwargs, &q)) return nullptr;
        const EngineHandle held = hold_engine(self);
        const Scope scope{settings::search_settings()};
        auto counted = unlocked(scope, [&] { return zorvik::sketch_candidates(*held, q.values, q.k, scope); });
        if (!counted) return raise_value_error(counted.error());
        const SketchCandidates& c = counted.value();
        return new_dict([&](PyObject* dict) {
            return dict_put(dict, "candidates", PyLong_FromUnsignedLongLong(c.candidates)) &&
                   dict_put(dict, "method", text_object(c.method));
        });
    });
}

}  // namespace zorvik::lib
