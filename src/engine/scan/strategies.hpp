#pragma once
// The single-query strategies. Each returns the best k_eff finite hits, best first;
// search_exact picks one, stamps its method name and the time. They need dims > 0
// (search_exact answers an index without dimensions itself).
#include <cstdint>
#include <span>
#include <vector>

#include "engine/index/engine.hpp"
#include "engine/sketch/candidate_scan.hpp"
#include "engine/scope.hpp"
#include "engine/scan/topk.hpp"

namespace zorvik {

std::vector<Hit> scan_all(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope& scope);
std::vector<Hit> scan_chunked(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope& scope);
std::vector<Hit> scan_blocked_matrix(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope& scope);
std::vector<Hit> scan_matrix_full(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope& scope);
// Needs pruned_scan_ready(engine) (the dispatcher checks it) and a descending metric.
std::vector<Hit> scan_pruned(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope& scope);

// The sketch search over the allowed rows; the caller runs a kernel scan when it did not answer.
SketchAnswer scan_sketch(const Engine& engine, std::span<const float> query, std::uint64_t k_eff, const Scope& scope);

// The index holds the per-block sums of squares scan_pruned reads.
bool pruned_scan_ready(const Engine& engine);

}  // namespace zorvik
