"""explain and compare: block sums, magnitude ranking and residual against a step-by-step
model (key orders included), the validation order and the edge cases."""

import functools
import struct

import numpy as np
import pytest

import zorvikdb
from conftest import raises_exactly
from test_search import IN_PROCESS_ORDER, model_scores

F32 = np.float32
U64_MAX = 2**64 - 1


# Model: sequential float32 block sums, ranking by |contribution| bits, then the cut.


def block_sums(terms_of, dims, bs):
    """(block id, start, end, contribution) of every block."""
    return [(b, s, min(s + bs, dims), terms_of(s, min(s + bs, dims))) for b, s in enumerate(range(0, dims, bs))]


def seq_sum(values):
    return functools.reduce(lambda acc, v: F32(acc + v), values, F32(0.0))


def rank_and_cut(entries, top):
    mag = lambda c: int(np.float32(c).view(np.uint32)) & 0x7FFFFFFF  # noqa: E731
    ranked = sorted(entries, key=lambda e: (-mag(e[3]), e[0]))
    residual = seq_sum([e[3] for e in ranked[top:]])
    blocks = [{"block_id": b, "start": s, "end": e, "contribution": float(c)} for b, s, e, c in ranked[:top]]
    return blocks, float(residual)


def model_explain(x, q, metric, bs, top):
    with np.errstate(all="ignore"):
        total = model_scores(x[None, :], q, metric, IN_PROCESS_ORDER)[0]
        if metric == 2:
            entries = block_sums(lambda s, e: -seq_sum((q[s:e] - x[s:e]) * (q[s:e] - x[s:e])), len(q), bs)
        else:
            entries = block_sums(lambda s, e: seq_sum(q[s:e] * x[s:e]), len(q), bs)
    blocks, residual = rank_and_cut(entries, top)
    return {"score_total": float(-total if metric == 2 else total), "block_size": bs, "top_blocks": top,
            "num_blocks": len(entries), "dims": len(q), "blocks": blocks, "residual": residual}


def model_compare(a, b, q, metric, bs, top):
    with np.errstate(all="ignore"):
        sa, sb = model_scores(np.stack([a, b]), q, metric, IN_PROCESS_ORDER)
        if metric == 2:
            def contribution(s, e):
                return seq_sum((q[s:e] - b[s:e]) ** 2) - seq_sum((q[s:e] - a[s:e]) ** 2)
        else:
            def contribution(s, e):
                return seq_sum((a[s:e] - b[s:e]) * q[s:e])
        entries = block_sums(contribution, len(q), bs)
        delta = sb - sa if metric == 2 else sa - sb
    blocks, residual = rank_and_cut(entries, top)
    return {"score_a": float(sa), "score_b": float(sb), "delta_score_space": float(delta), "block_size": bs,
            "top_blocks": top, "num_blocks": len(entries), "dims": len(q), "blocks": blocks, "residual": residual}


def same_bits(got, want):
    """Dictionaries equal, floats compared by their bit patterns (signed zeros, NaN)."""
    def canon(v):
        if isinstance(v, float):
            return ("f", struct.pack("<d", v))
        if isinstance(v, dict):
            return {k: canon(x) for k, x in v.items()}
        if isinstance(v, list):
            return [canon(x) for x in v]
        return v

    assert list(got) == list(want)
    assert canon(got) == canon(want)


@pytest.mark.parametrize("metric", [0, 1, 2])
@pytest.mark.parametrize("bs,top", [(1, 3), (4, 2), (7, 100), (64, 1), (U64_MAX, U64_MAX)])
def test_breakdowns_match_the_model(write_index, metric, bs, top):
    rng = np.random.default_rng(metric * 10 + (bs % 97))
    X = (rng.standard_normal((6, 29)) * 10.0 ** rng.integers(-2, 3, (6, 29))).astype(F32)
    q = rng.standard_normal(29).astype(F32)
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    for idx in (0, 5):
        explained = engine.explain(q, idx, bs, top)
        same_bits(explained, model_explain(X[idx], q, metric, bs, top))
    compared = engine.compare(q, 2, 4, bs, top)
    same_bits(compared, model_compare(X[2], X[4], q, metric, bs, top))
    assert all(list(b) == ["block_id", "start", "end", "contribution"] for b in explained["blocks"] + compared["blocks"])


def test_ties_in_magnitude_go_to_the_lower_block(write_index):
    # Contributions +0.5 in block 3 and -0.5 in block 1: block 1 first.
    x = np.zeros(8, F32)
    x[[2, 6]] = [-0.5, 0.5]
    engine = zorvikdb.PySearchEngine(write_index(np.stack([x, x]), 1), False)
    got = engine.explain(np.ones(8, F32), 0, 2, 2)
    assert [(b["block_id"], b["contribution"]) for b in got["blocks"]] == [(1, -0.5), (3, 0.5)]


def test_same_row_and_identical_row(write_index):
    rng = np.random.default_rng(2)
    X = rng.standard_normal((3, 12)).astype(F32)
    for metric in (1, 2):
        engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
        got = engine.compare(X[0], 1, 1, 5, 2)
        assert got["delta_score_space"] == 0.0 and got["residual"] == 0.0
        assert all(b["contribution"] == 0.0 for b in got["blocks"])
    l2 = zorvikdb.PySearchEngine(write_index(X, 2), False)
    got = l2.explain(X[1], 1, 5, 10)
    values = [got["score_total"]] + [b["contribution"] for b in got["blocks"]]
    assert all(struct.pack("<d", v) == struct.pack("<d", -0.0) for v in values)
    nearer = l2.compare(X[1] + F32(0.01), 1, 2, 4, 1)
    assert nearer["delta_score_space"] > 0 and nearer["score_a"] < nearer["score_b"]


def test_non_finite_query_is_accepted_and_ranks_first(write_index):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((2, 9), F32), 1), False)
    q = np.full(9, 5.0, F32)
    q[7] = np.nan
    got = engine.explain(q, 0, 3, 1)
    assert got["blocks"][0]["block_id"] == 2 and np.isnan(got["blocks"][0]["contribution"])
    assert np.isnan(got["score_total"])


VALIDATION = [
    # (query length, idx, block_size, top_blocks, message) on a 4-row, 6-dimension index
    (5, 9, 0, 0, "Query dimensions 5 != index dimensions 6"),
    (6, 4, 0, 0, "Index out of bounds"),
    (6, U64_MAX, 1, 1, "Index out of bounds"),
    (6, 3, 0, 0, "block_size must be > 0"),
    (6, 3, 1, 0, "top_blocks must be > 0"),
]


@pytest.mark.parametrize("length,idx,bs,top,message", VALIDATION)
def test_validation_order(write_index, length, idx, bs, top, message):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((4, 6), F32), 1), False)
    q = np.ones(length, F32)
    for call in (lambda: engine.explain(q, idx, bs, top), lambda: engine.compare(q, 0, idx, bs, top),
                 lambda: engine.compare(q, idx, 0, bs, top)):
        raises_exactly(ValueError, message, call)
