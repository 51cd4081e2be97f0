"""Exact merge of per-shard top-k lists into one global top-k list.

Each shard answers with its own best k rows (global row numbers, best first). The global
best k are among them, so sorting the union in the engine's ranking order and keeping k
gives exactly the answer of one index holding every row: scores compared as IEEE 754
totalOrder (descending for cosine and dot, ascending for euclidean), bit-identical
scores ordered by the lower global row.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np


def ranking_key(scores: np.ndarray, metric: str) -> np.ndarray:
    """int64 keys whose ascending order is the ranking order of the scores (best first):
    the totalOrder key of each float32 score, negated for the descending metrics."""
    bits = np.ascontiguousarray(scores, dtype=np.float32).view(np.int32).astype(np.int64)
    key = np.where(bits < 0, bits ^ 0x7FFFFFFF, bits)
    return key if metric == "euclidean" else -key


def merge_top_k(
    indices: Sequence[np.ndarray], scores: Sequence[np.ndarray], k: int, metric: str
) -> tuple[np.ndarray, np.ndarray]:
    """Merges per-shard `(m, w_s)` global row and score arrays (one row per query) into
    `(m, min(k, sum of w_s))` arrays, best first."""
    rows = np.concatenate(indices, axis=1).astype(np.uint64, copy=False)
    values = np.concatenate(scores, axis=1).astype(np.float32, copy=False)
    width = min(k, rows.shape[1])
    if rows.shape[0] == 0 or width == 0:
        return (np.empty((rows.shape[0], width), dtype=np.uint64),
                np.empty((rows.shape[0], width), dtype=np.float32))
    # lexsort: the last key is the primary one.
    order = np.lexsort((rows, ranking_key(values, metric)), axis=1)[:, :width]
    return (np.ascontiguousarray(np.take_along_axis(rows, order, axis=1)),
            np.ascontiguousarray(np.take_along_axis(values, order, axis=1)))


def merged_method_name(names: Sequence[str]) -> str:
    """The strategy names of the shards for one query: one name when they agree, else
    the distinct names in shard order joined by "+"."""
    return "+".join(dict.fromkeys(names))
