#pragma once
// Certified search: an exact top-k scan that skips rows a Cauchy-Schwarz bound proves
// unable to enter the top k, and records how the answer was reached.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/index/engine.hpp"
#include "base/expected.hpp"
#include "engine/scan/topk.hpp"
#include "engine/scope.hpp"

namespace zorvik {

// Both record lists of a certificate keep at most this many entries.
inline constexpr std::size_t kCertificateRecordCap = 2048;

// The record of one certified query.
struct CertifiedResult {
    std::vector<Hit> results;  // best first
    std::string method_used;
    double query_time_ms = 0.0;
    std::string bound_rule;
    std::vector<std::uint64_t> block_order;
    std::vector<float> threshold_evolution;  // root score when the heap fills and after each replacement
    std::string simd_path;
    std::string compile_flags;
    std::vector<float> pruned_bound_values;  // the bound that pruned each row, in scan order
    std::string bound_kind;
    std::uint64_t total_candidates = 0;
    std::uint64_t pruned_candidates = 0;
    std::uint64_t full_evaluated = 0;
    std::uint64_t block_size = 1;  // effective: max(block_size, 1)
    float kth_score = 0.0f;
    bool safe = true;
    bool enable_pruning = true;
};

// One certified query on the calling thread. Errors: the query's length differs from
// dims, or it holds a NaN or an infinity. Safe to run on several threads at once.
Expected<CertifiedResult> certified_query(const Engine& engine, std::span<const float> query, std::uint64_t k,
                                          std::uint64_t block_size, bool enable_pruning, const Scope& scope);

// `n` queries of `cols` floats each, row-major, one pool task per query; records in
// query order. All or nothing: the first failing query's text fails the whole batch.
Expected<std::vector<CertifiedResult>> certified_batch(const Engine& engine, const float* queries, std::uint64_t n,
                                                       std::uint64_t cols, std::uint64_t k, std::uint64_t block_size,
                                                       bool enable_pruning, const Scope& scope);

}  // namespace zorvik
