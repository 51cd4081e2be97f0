#pragma once
// The k best hits of every query of a batch, kept in the batch answer's own buffer:
// per query a slot of k entries holding a heap (its root the worst kept hit) while
// lists are merged in, sorted best first at the end.
#include <cstdint>
#include <vector>

#include "engine/batch/batch.hpp"

namespace zorvik {

class BatchSlots {
public:
    BatchSlots(std::uint64_t queries, std::uint64_t k, format::Metric metric);

    // Merges a list of hits, best first, into query q's slot. Callers merging into the
    // same slot from several threads serialise themselves.
    void merge(std::uint64_t q, const std::vector<Hit>& best_first);

    // The answers, each best first; leaves the slots empty.
    BatchOutcome finish();

private:
    BatchOutcome out_;
    format::Metric metric_;
};

}  // namespace zorvik
