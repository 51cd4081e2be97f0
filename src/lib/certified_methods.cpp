#include "lib/certified_methods.hpp"

#include <vector>

#include "engine/certified/certified.hpp"
#include "engine/certified/explain.hpp"
#include "lib/engine_object.hpp"
#include "lib/errors.hpp"
#include "lib/hashing.hpp"
#include "lib/lists.hpp"
#include "lib/result_budget.hpp"
#include "lib/results.hpp"
#include "lib/search_scope.hpp"

namespace zorvik::lib {

namespace {

constexpr Param kCertifiedParams[] = {{"query", ArrayArg::Vector},
                                      {"k", &Request::k},
                                      {"block_size", &Request::block_size, "64"},
                                      {"enable_pruning", &Request::enable_pruning, "True"},
                                      kFilterParam};
constexpr Param kBatchCertifiedParams[] = {{"queries", ArrayArg::Matrix},
                                           {"k", &Request::k},
                                           {"block_size", &Request::block_size, "64"},
                                           {"enable_pruning", &Request::enable_pruning, "True"},
                                           kFilterParam};
constexpr Param kCompareParams[] = {{"query", ArrayArg::Vector},
                                    {"idx_a", &Request::idx_a},
                                    {"idx_b", &Request::idx_b},
                                    {"block_size", &Request::block_size},
                                    {"top_blocks", &Request::top_blocks}};
constexpr Param kExplainParams[] = {{"query", ArrayArg::Vector},
                                    {"idx", &Request::idx},
                                    {"block_size", &Request::block_size},
                                    {"top_blocks", &Request::top_blocks}};

// Whether `answers` certified answers to `req` fit in the memory still available.
bool certified_fit(const Engine& engine, const Request& req, std::uint64_t answers) {
    return answers_fit(engine, answers, req.k, kCertifiedCost, certificate_bytes(engine, req.k, req.block_size));
}

PyObject* float_object(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }

PyObject* hit_list(const std::vector<Hit>& hits) {
    return list_of(hits, [](const Hit& h) {
        return new_dict([&](PyObject* d) {
            return dict_put(d, "idx", PyLong_FromUnsignedLongLong(h.idx)) && dict_put(d, "score", float_object(h.score));
        });
    });
}

PyObject* certificate_dict(const CertifiedResult& r) {
    return new_dict([&](PyObject* d) {
        return dict_put(d, "total_candidates", PyLong_FromUnsignedLongLong(r.total_candidates)) &&
               dict_put(d, "pruned_candidates", PyLong_FromUnsignedLongLong(r.pruned_candidates)) &&
               dict_put(d, "full_evaluated", PyLong_FromUnsignedLongLong(r.full_evaluated)) &&
               dict_put(d, "kth_score", float_object(r.kth_score)) &&
               dict_put(d, "bound_rule", text_object(r.bound_rule)) && dict_put(d, "safe", PyBool_FromLong(r.safe)) &&
               dict_put(d, "block_size", PyLong_FromUnsignedLongLong(r.block_size)) &&
               dict_put(d, "block_order", list_of(r.block_order, PyLong_FromUnsignedLongLong)) &&
               dict_put(d, "threshold_evolution", list_of(r.threshold_evolution, float_object)) &&
               dict_put(d, "enable_pruning", PyBool_FromLong(r.enable_pruning)) &&
               dict_put(d, "simd_path", text_object(r.simd_path)) &&
               dict_put(d, "compile_flags", text_object(r.compile_flags)) &&
               dict_put(d, "pruned_bound_values", list_of(r.pruned_bound_values, float_object)) &&
               dict_put(d, "bound_kind", text_object(r.bound_kind));
    });
}

PyObject* certified_dict(const CertifiedResult& r, const std::string& index_hash, const IndexFacts& facts,
                         const std::string& query_hash) {
    return new_dict([&](PyObject* d) {
        return dict_put(d, "results", hit_list(r.results)) &&
               dict_put(d, "query_time_ms", PyFloat_FromDouble(r.query_time_ms)) &&
               dict_put(d, "method_used", text_object(r.method_used)) &&
               dict_put(d, "index_hash", text_object(index_hash)) &&
               dict_put(d, "query_hash", text_object(query_hash)) &&
               dict_put(d, "engine_version", text_object(kEngineVersion)) && add_index_facts(d, facts) &&
               dict_put(d, "certificate", certificate_dict(r));
    });
}

PyObject* contribution_list(const BlockBreakdown& b) {
    return list_of(b.blocks, [](const BlockContribution& c) {
        return new_dict([&](PyObject* e) {
            return dict_put(e, "block_id", PyLong_FromUnsignedLongLong(c.block_id)) &&
                   dict_put(e, "start", PyLong_FromUnsignedLongLong(c.start)) &&
                   dict_put(e, "end", PyLong_FromUnsignedLongLong(c.end)) &&
                   dict_put(e, "contribution", float_object(c.contribution));
        });
    });
}

// Keys shared by both breakdowns, from "block_size" on.
bool put_breakdown(PyObject* d, const BlockBreakdown& b, std::uint64_t block_size, std::uint64_t top_blocks,
                   std::uint64_t dims) {
    return dict_put(d, "block_size", PyLong_FromUnsignedLongLong(block_size)) &&
           dict_put(d, "top_blocks", PyLong_FromUnsignedLongLong(top_blocks)) &&
           dict_put(d, "num_blocks", PyLong_FromUnsignedLongLong(b.num_blocks)) &&
           dict_put(d, "dims", PyLong_FromUnsignedLongLong(dims)) && dict_put(d, "blocks", contribution_list(b)) &&
           dict_put(d, "residual", float_object(b.residual));
}

}  // namespace

const Signature kQueryExactCertifiedSig{"PySearchEngine", "query_exact_certified", kCertifiedParams};
const Signature kQueryBatchExactCertifiedSig{"PySearchEngine", "query_batch_exact_certified", kBatchCertifiedParams};
const Signature kCompareSig{"PySearchEngine", "compare", kCompareParams};
const Signature kExplainSig{"PySearchEngine", "explain", kExplainParams};

PyObject* query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        State* state = state_of(Py_TYPE(self));
        Request req;
        if (state == nullptr || !open_request(kQueryExactCertifiedSig, args, kwargs, &req)) return nullptr;
        const Engine& engine = engine_of(self);
        auto r = scoped_search(engine, req, certified_fit(engine, req, 1), [&](std::uint64_t k, const Scope& scope) {
            return certified_query(engine, req.values, k, req.block_size, req.enable_pruning, scope);
        });
        if (!r) return raise_value_error(r.error());
        return certified_dict(r.value(), hex_text(engine.index_hash), index_facts(engine),
                              query_hash_text(*state, req.values.data(), req.values.size()));
    });
}

PyObject* query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        State* state = state_of(Py_TYPE(self));
        Request req;
        if (state == nullptr || !open_request(kQueryBatchExactCertifiedSig, args, kwargs, &req)) return nullptr;
        const Engine& engine = engine_of(self);
        auto r = scoped_search(engine, req, certified_fit(engine, req, req.n), [&](std::uint64_t k, const Scope& scope) {
            return certified_batch(engine, req.values.data(), req.n, req.d, k, req.block_size, req.enable_pruning,
                                   scope);
        });
        if (!r) return raise_value_error(r.error());
        const std::vector<CertifiedResult>& records = r.value();
        const std::string index_hash = hex_text(engine.index_hash);
        const IndexFacts facts = index_facts(engine);
        const auto cols = static_cast<std::size_t>(req.d);
        std::vector<std::string> query_hashes;  // hashed first: hashing may raise, and no list is held yet
        query_hashes.reserve(records.size());
        for (std::size_t i = 0; i < records.size(); ++i)
            query_hashes.push_back(query_hash_text(*state, req.values.data() + i * cols, cols));
        std::size_t i = 0;
        return list_of(records, [&](const CertifiedResult& rec) {
            return certified_dict(rec, index_hash, facts, query_hashes[i++]);
        });
    });
}

PyObject* compare(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Request req;
        if (!open_request(kCompareSig, args, kwargs, &req)) return nullptr;
        const Engine& engine = engine_of(self);
        auto r = zorvik::compare(engine, req.values, req.idx_a, req.idx_b, req.block_size, req.top_blocks);
        if (!r) return raise_value_error(r.error());
        const Comparison& c = r.value();
        return new_dict([&](PyObject* d) {
            return dict_put(d, "score_a", float_object(c.score_a)) &&
                   dict_put(d, "score_b", float_object(c.score_b)) &&
                   dict_put(d, "delta_score_space", float_object(c.delta_score_space)) &&
                   put_breakdown(d, c.breakdown, req.block_size, req.top_blocks, engine.dims);
        });
    });
}

PyObject* explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Request req;
        if (!open_request(kExplainSig, args, kwargs, &req)) return nullptr;
        const Engine& engine = engine_of(self);
        auto r = zorvik::explain(engine, req.values, req.idx, req.block_size, req.top_blocks);
        if (!r) return raise_value_error(r.error());
        const Explanation& x = r.value();
        return new_dict([&](PyObject* d) {
            return dict_put(d, "score_total", float_object(x.score_total)) &&
                   put_breakdown(d, x.breakdown, req.block_size, req.top_blocks, engine.dims);
        });
    });
}

}  // namespace zorvik::lib
