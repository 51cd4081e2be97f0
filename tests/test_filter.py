"""Row filters: every query method answers as if the index held the allowed rows only."""

import numpy as np
import pytest

from conftest import METRICS, assert_same_hits, model_ranking, model_scores, raises_exactly, set_env

ROWS, DIMS = 1500, 72
RNG = np.random.default_rng(7)
MASK = RNG.random(ROWS) < 0.6
# name -> (filter, allowed rows); row lists in any order and of any integer type
FILTERS = {
    "mask": (MASK, np.flatnonzero(MASK)),
    "rows": (RNG.permutation(np.flatnonzero(~MASK)).astype(np.int16), np.flatnonzero(~MASK)),
    "one run": (np.arange(100, 1337, dtype=np.uint32), np.arange(100, 1337)),
    "all": (np.ones(ROWS, bool), np.arange(ROWS)),
    "empty": ([], np.arange(0)),
}


def allowed_model(X, q, metric, allowed, k):
    scores = np.full(ROWS, np.nan, np.float32)
    scores[allowed] = model_scores(X[allowed], q, metric)
    return model_ranking(scores, metric, k)


@pytest.mark.parametrize("metric", METRICS)
def test_every_method_answers_over_the_allowed_rows_only(open_index, monkeypatch, metric):
    X = RNG.standard_normal((ROWS, DIMS)).astype(np.float32)
    X[7] = X[3]  # a tie, kept by row order
    engine = open_index(X, metric)
    Q = RNG.standard_normal((5, DIMS)).astype(np.float32)
    for name, (f, allowed) in FILTERS.items():
        k = 10 if name != "one run" else 5000  # k above the allowed count returns every allowed row
        for mode in [None, "rayon", "matrix_parallel", "pruned", "sketch"]:  # kernel strategies: the model
            set_env(monkeypatch, ZORVIK_SINGLE_MODE=mode)
            assert_same_hits(engine.query_exact_arrays(Q[0], k, filter=f), *allowed_model(X, Q[0], metric, allowed, k))
        for mode in ["blocked", "matrix_full"]:  # matrix strategies: their own unfiltered scores
            set_env(monkeypatch, ZORVIK_SINGLE_MODE=mode)
            every = engine.query_exact_arrays(Q[0], ROWS)
            keep = np.isin(every["indices"], allowed)
            assert_same_hits(engine.query_exact_arrays(Q[0], k, filter=f),
                             every["indices"][keep][:k], every["scores"][keep][:k])
        set_env(monkeypatch, ZORVIK_SINGLE_MODE=None)
        for mode in ["rayon", "blocked", "matrix", "chunked", "sketch"]:
            set_env(monkeypatch, ZORVIK_BATCH_MODE=mode)
            got = engine.query_batch_arrays(Q, k, filter=f)
            if allowed.size == 0:  # as on an index without rows
                assert got["indices"].shape == ((5, 0) if mode == "rayon" else (0, 0))
            for i in range(got["indices"].shape[0]):
                assert_same_hits({"indices": got["indices"][i], "scores": got["scores"][i]},
                                 *allowed_model(X, Q[i], metric, allowed, k))
        for pruning in [True, False]:
            got = engine.query_exact_certified(Q[0], k, 16, pruning, filter=f)
            c = got["certificate"]
            want = allowed_model(X, Q[0], metric, allowed, k)[0]
            assert [h["idx"] for h in got["results"]] == want.tolist()
            assert c["total_candidates"] == c["pruned_candidates"] + c["full_evaluated"] == allowed.size and c["safe"]
            assert got["method_used"] == "exact-certified" if allowed.size == 0 else c["bound_kind"] != "none"
            assert engine.query_batch_exact_certified(Q[:1], k, 16, pruning, filter=f)[0]["results"] == got["results"]
        plain = engine.query_exact(Q[0], k, filter=f)
        assert [h.idx for h in plain.results] == allowed_model(X, Q[0], metric, allowed, k)[0].tolist()
        assert plain.method_used == "exact" if allowed.size == 0 else plain.query_time_ms > 0


@pytest.mark.parametrize("f, error, message", [
    (np.ones(ROWS - 1, bool), ValueError, f"filter mask has {ROWS - 1} entries but the index has {ROWS} rows"),
    ([3, ROWS], ValueError, f"filter row {ROWS} is out of range for an index of {ROWS} rows"),
    (np.array([2, -1], np.int8), ValueError, f"filter row -1 is out of range for an index of {ROWS} rows"),
    (np.array([5, 9, 5], np.uint64), ValueError, "filter row 5 is given more than once"),
    (np.r_[np.arange(ROWS)[::-1], 9, 7], ValueError, "filter row 7 is given more than once"),  # long, unsorted
    (np.array([1.0, 2.0]), TypeError, "argument 'filter': a filter holds booleans or integers, not float64"),
    (np.ones((2, 2), bool), TypeError, "argument 'filter': a filter is one-dimensional, not 2-dimensional"),
    ([[1], [2, 3]], TypeError, "argument 'filter': a filter is a boolean mask or an array of row numbers, not 'list'"),
])
def test_bad_filters_are_refused_after_every_other_check(open_index, f, error, message):
    engine = open_index(np.ones((ROWS, 4), np.float32))
    q, Q = np.ones(4, np.float32), np.ones((2, 4), np.float32)
    calls = [(engine.query_exact, q), (engine.query_exact_arrays, q), (engine.query_exact_detailed, q),
             (engine.query_batch, Q), (engine.query_batch_arrays, Q), (engine.query_batch_detailed, Q),
             (engine.query_exact_certified, q), (engine.query_batch_exact_certified, Q)]
    for method, arg in calls:
        raises_exactly(error, message, method, arg, 3, filter=f)
        with pytest.raises(ValueError, match="[Dd]imension"):  # the search's own error comes first
            method(arg[..., :3].copy(), 3, filter=f)
        with pytest.raises(TypeError, match="positional argument"):
            method(arg, 3, *([64, True] if "certified" in method.__name__ else []), f)
