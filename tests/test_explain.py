"""explain and compare: block sums, ranking and residual against a step-by-step model (key orders included); edge cases."""

import functools
import struct

import numpy as np
import pytest

from conftest import F32, HUGE_K, METRICS, model_scores


# Model: sequential float32 block sums, ranking by |contribution| bits, then the cut.


def seq_sum(values):
    return functools.reduce(lambda acc, v: F32(acc + v), values, F32(0.0))


def model_breakdown(contribution, dims, bs, top):
    """(blocks, residual, number of blocks) for contribution(start, end) of every block."""
    entries = [(b, s, min(s + bs, dims), contribution(s, min(s + bs, dims))) for b, s in enumerate(range(0, dims, bs))]
    ranked = sorted(entries, key=lambda e: (-(int(F32(e[3]).view(np.uint32)) & 0x7FFFFFFF), e[0]))
    blocks = [{"block_id": b, "start": s, "end": e, "contribution": float(c)} for b, s, e, c in ranked[:top]]
    return {"block_size": bs, "top_blocks": top, "num_blocks": len(entries), "dims": dims, "blocks": blocks,
            "residual": float(seq_sum([e[3] for e in ranked[top:]]))}


def model_explain(x, q, metric, bs, top):
    with np.errstate(all="ignore"):
        total = model_scores(x[None, :], q, metric)[0]
        sign = -1 if metric == 2 else 1
        parts = model_breakdown(lambda s, e: sign * seq_sum((q[s:e] - x[s:e]) ** 2 if metric == 2 else q[s:e] * x[s:e]),
                                len(q), bs, top)
    return {"score_total": float(sign * total), **parts}


def model_compare(a, b, q, metric, bs, top):
    with np.errstate(all="ignore"):
        sa, sb = model_scores(np.stack([a, b]), q, metric)
        if metric == 2:
            parts = model_breakdown(lambda s, e: seq_sum((q[s:e] - b[s:e]) ** 2) - seq_sum((q[s:e] - a[s:e]) ** 2),
                                    len(q), bs, top)
        else:
            parts = model_breakdown(lambda s, e: seq_sum((a[s:e] - b[s:e]) * q[s:e]), len(q), bs, top)
        delta = sb - sa if metric == 2 else sa - sb
    return {"score_a": float(sa), "score_b": float(sb), "delta_score_space": float(delta), **parts}


def same_bits(got, want):
    """Dictionaries equal, keys in order, floats compared by their bit patterns (signed zeros, NaN)."""
    def canon(v):
        if isinstance(v, dict):
            return [(k, canon(x)) for k, x in v.items()]
        if isinstance(v, list):
            return [canon(x) for x in v]
        return ("f", struct.pack("<d", v)) if isinstance(v, float) else v

    assert canon(got) == canon(want)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("bs,top", [(1, 3), (4, 2), (7, 100), (64, 1), (HUGE_K, HUGE_K)])
def test_breakdowns_match_the_model(open_index, metric, bs, top):
    rng = np.random.default_rng(metric * 10 + (bs % 97))
    X = (rng.standard_normal((6, 29)) * 10.0 ** rng.integers(-2, 3, (6, 29))).astype(F32)
    q = rng.standard_normal(29).astype(F32)
    engine = open_index(X, metric)
    for idx in (0, 5):
        same_bits(engine.explain(q, idx, bs, top), model_explain(X[idx], q, metric, bs, top))
    same_bits(engine.compare(q, 2, 4, bs, top), model_compare(X[2], X[4], q, metric, bs, top))


def test_edge_cases(open_index):
    # Ties in magnitude go to the lower block: +0.5 in block 3 and -0.5 in block 1.
    x = np.zeros(8, F32)
    x[[2, 6]] = [-0.5, 0.5]
    got = open_index(np.stack([x, x])).explain(np.ones(8, F32), 0, 2, 2)
    assert [(b["block_id"], b["contribution"]) for b in got["blocks"]] == [(1, -0.5), (3, 0.5)]
    # A non-finite query is accepted; its NaN block ranks first.
    q = np.full(9, 5.0, F32)
    q[7] = np.nan
    got = open_index(np.ones((2, 9), F32)).explain(q, 0, 3, 1)
    assert got["blocks"][0]["block_id"] == 2 and np.isnan(got["blocks"][0]["contribution"]) and np.isnan(got["score_total"])
    # A row against itself (zeros), and the euclidean row that is the query (negative zeros).
    X = np.random.default_rng(2).standard_normal((3, 12)).astype(F32)
    for metric in (1, 2):
        same_bits(open_index(X, metric).compare(X[0], 1, 1, 5, 2), model_compare(X[1], X[1], X[0], metric, 5, 2))
    same_bits(open_index(X, 2).explain(X[1], 1, 5, 10), model_explain(X[1], X[1], 2, 5, 10))
