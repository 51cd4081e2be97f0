"""Single queries: scores bit for bit against the model of both summation orders, ranking, strategies, edge cases."""

import json
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zorvikdb
from conftest import HUGE_K, METRICS, assert_same_hits, index_bytes, model_ranking, model_scores, set_env

KERNEL_MODES = [None, "rayon", "matrix_parallel"]
MATRIX_MODES = ["blocked", "blocked_matrix", "matrix_full"]
ALL_MODES = KERNEL_MODES + MATRIX_MODES + ["pruned"]


def query(engine, q, k, mode=None, monkeypatch=None):
    if monkeypatch is not None:
        set_env(monkeypatch, ZORVIK_SINGLE_MODE=mode)
    return engine.query_exact_arrays(np.asarray(q, dtype=np.float32), k)


def spread_data(rng, rows, dims):  # six orders of magnitude: the two summation orders round differently
    return (rng.standard_normal((rows, dims)) * 10.0 ** rng.integers(-3, 3, size=(rows, dims))).astype(np.float32)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("rows, dims", [(70, d) for d in [0, 1, 7, 8, 9, 15, 16, 17, 31, 64, 100, 385]] + [(12003, 64)])
def test_kernel_scores_follow_the_summation_order(open_index, monkeypatch, metric, rows, dims):
    # 70 rows: a full batch of 64, then groups of four and a remainder of two. 12,003 rows: the
    # full scan splits into pieces and the chunked scan into chunks whose edges fall inside groups.
    rng = np.random.default_rng(dims * 3 + metric)
    X, q = spread_data(rng, rows, dims), spread_data(rng, 1, dims)[0]
    if dims:  # non-finite rows, and one whose products overflow: never returned
        X[3, 0], X[8, -1], X[13, dims // 2], X[21] = np.nan, np.inf, -np.inf, 3e38
    engine = open_index(X, metric)
    idx, scores = model_ranking(model_scores(X, q, metric), metric, rows)
    for mode in KERNEL_MODES:
        assert_same_hits(query(engine, q, HUGE_K, mode, monkeypatch), idx, scores)
        assert_same_hits(query(engine, q, 5, mode, monkeypatch), idx[:5], scores[:5])
    # The model must tell the two orders apart on this data, or the test proves little.
    assert dims < 16 or (model_scores(X[30:], q, metric, "scalar") != model_scores(X[30:], q, metric, "vector")).any()


@pytest.mark.parametrize("env, first_k, order", [
    *[({"ZORVIK_FORCE_SCALAR": "1", "ZORVIK_SINGLE_MODE": mode}, None, "scalar") for mode in ("rayon", "matrix_parallel")],
    *[({"ZORVIK_FORCE_SCALAR": value}, None, "vector") for value in ("true", "0", "01", "", " 1")],
    # Read once, at the first query that scores rows: a k = 0 query leaves it open.
    ({}, 1000, "vector"), ({}, 0, "scalar")])
def test_only_force_scalar_1_read_at_the_first_scoring_selects_the_scalar_order(fresh_python, write_index, env,
                                                                                first_k, order):
    rng = np.random.default_rng(11)
    cases = [(spread_data(rng, 37, dims), spread_data(rng, 1, dims)[0], m) for dims in [0, 7, 8, 9, 17, 100] for m in METRICS]
    scalar_cases = [(write_index(X, m), X, q, m) for X, q, m in cases]
    code = f"""
        import json, os, numpy as np, zorvikdb
        cases = {json.dumps([(path, q.tolist()) for path, _, q, _ in scalar_cases])}
        if {first_k!r} is not None:
            zorvikdb.PySearchEngine(cases[0][0], False).query_exact(np.array(cases[0][1], np.float32), {first_k!r})
            os.environ["ZORVIK_FORCE_SCALAR"] = "1"
        out = []
        for path, q in cases:
            got = zorvikdb.PySearchEngine(path, False).query_exact_arrays(np.array(q, np.float32), 1000)
            out.append((got["indices"].tolist(), got["scores"].view(np.uint32).tolist()))
        print(json.dumps(out))
    """
    for (_, X, q, metric), got in zip(scalar_cases, json.loads(fresh_python(code, env=env))):
        idx, scores = model_ranking(model_scores(X, q, metric, order), metric, len(X))
        assert got == [idx.tolist(), scores.view(np.uint32).tolist()]


@pytest.mark.parametrize("metric", METRICS)
def test_strategies_agree_on_ties(open_index, monkeypatch, metric):
    # Small integers: every strategy (matrix product included) computes exact, bit-identical
    # scores, and most scores are shared by thousands of rows. 20,000 rows of 64 give the
    # chunked scan several chunks.
    rng = np.random.default_rng(5)
    X = rng.integers(-3, 4, size=(6, 64)).astype(np.float32)[rng.integers(0, 6, size=20000)]
    q = rng.integers(-2, 3, size=64).astype(np.float32)
    # Non-finite rows, and one whose products overflow (in the matrix product too), never appear.
    X[3, 5], X[8, 0], X[13, 11], X[21] = np.nan, np.inf, -np.inf, 3e38
    engine, scores = open_index(X, metric), model_scores(X, q, metric, "vector")
    for k in [1, 7, 4000, 20000, HUGE_K]:
        for mode in ALL_MODES:
            assert_same_hits(query(engine, q, k, mode, monkeypatch), *model_ranking(scores, metric, k))
    # Read by hand: the ranking direction of each metric, identical rows by row.
    X = np.array([[1.0, 0.0], [3.0, 0.0], [-2.0, 0.0], [3.0, 0.0], [0.5, 0.0]], np.float32)
    order = [0, 4, 1, 3, 2] if metric == 2 else [1, 3, 0, 4, 2]
    for mode in ALL_MODES:
        assert query(open_index(X, metric), [1, 0], 10, mode, monkeypatch)["indices"].tolist() == order


def test_indexes_without_dimensions_or_rows(open_index, write_raw, monkeypatch):
    # No dimensions: kernel scores are +0.0; the matrix product gives +0.0 inner products and
    # (-0.0 + -0.0) - 0.0 = -0.0 squared distances. 2^32 - 1 such rows are answered without a
    # row-sized buffer, and a request for every one of them fails cleanly.
    zero_dims = [zorvikdb.PySearchEngine(write_raw(struct.pack("<III", 0, 5, m)), False) for m in METRICS]
    billions = zorvikdb.PySearchEngine(write_raw(struct.pack("<III", 0, 2**32 - 1, 1)), False)
    plain, empty = open_index(np.ones((3, 4), np.float32)), open_index(np.ones((0, 4), np.float32), 0)
    only_nan = open_index(np.full((9, 4), np.nan, np.float32))
    for mode in ALL_MODES:
        set_env(monkeypatch, ZORVIK_SINGLE_MODE=mode)
        for metric, engine in zip(METRICS, zero_dims):
            assert_same_hits(query(engine, [], 3), [0, 1, 2], [-0.0 if metric == 2 and mode in MATRIX_MODES else 0.0] * 3)
        assert query(billions, [], 4)["indices"].tolist() == [0, 1, 2, 3]
        assert query(only_nan, np.ones(4), 5)["indices"].size == 0
        for engine, k in [(plain, 0), (empty, 5)]:
            got = engine.query_exact(np.ones(4, np.float32), k)
            assert (got.results, got.method_used, got.query_time_ms) == ([], "exact", 0.0)
    with pytest.raises(MemoryError):
        billions.query_exact(np.zeros(0, np.float32), HUGE_K)


# mode -> names on 10 x 64 dot and 10,000 x 63 dot (small), 10,000 x 64 cosine and dot
# (large), and 10,000 x 64 euclidean; a name that is no mode is the automatic choice.
# ("pruned" needs 1,000,000 rows)
STRATEGY_NAMES = [*[(m, "exact", "exact-chunked", "exact") for m in (None, "Rayon", "")],
                  *[(m, "exact", "exact", "exact") for m in ("rayon", "pruned")], ("matrix_full", *["exact-matrix-full"] * 3),
                  *[(m, *["exact-blocked-matrix"] * 3) for m in ("blocked", "blocked_matrix")],
                  ("matrix_parallel", *["exact-chunked"] * 3)]


def test_strategy_names_follow_the_mode_of_each_query(open_index, monkeypatch):
    rng = np.random.default_rng(1)
    small, large, narrow = (rng.standard_normal(s).astype(np.float32) for s in [(10, 64), (10000, 64), (10000, 63)])
    engines = [(open_index(X, metric), column) for X, metric, column in
               [(small, 1, 0), (large, 0, 1), (large, 1, 1), (large, 2, 2), (narrow, 1, 0)]]
    for mode, *names in STRATEGY_NAMES:
        set_env(monkeypatch, ZORVIK_SINGLE_MODE=mode)
        for engine, column in engines:
            got = engine.query_exact(np.ones(engine.dims(), np.float32), 3)
            assert (got.method_used, got.query_time_ms > 0.0) == (names[column], True), mode


@pytest.fixture(scope="module")
def million_rows(tmp_path_factory):
    """The block-pruned scan needs 1,000,000 rows of at least 64 dimensions."""
    X = np.random.default_rng(2024).standard_normal((1_000_000, 64), dtype=np.float32)
    path = tmp_path_factory.mktemp("pruned") / "million.bin"
    path.write_bytes(index_bytes(X, 1))
    yield path, X
    path.unlink()  # 256 MB: not kept with the retained temporary directories


def block_sum_scores(X, q, width=32):
    """Pruned-scan scores: float32 vector-order block products added in float64 from +0.0, by query energy."""
    blocks = [(s, min(s + width, len(q))) for s in range(0, len(q), width)]
    energy = [float(np.sum(q[s:e].astype(np.float64) ** 2)) for s, e in blocks]
    acc = np.zeros(len(X))
    for b in sorted(range(len(blocks)), key=lambda b: (-energy[b], b)):
        s, e = blocks[b]
        acc = acc + model_scores(X[:, s:e], q[s:e], 1, "vector").astype(np.float64)
    return acc.astype(np.float32)


def test_pruned_scan(million_rows, monkeypatch):
    path, X = million_rows
    rng = np.random.default_rng(8)
    engine = zorvikdb.PySearchEngine(str(path), False)
    every_third = np.arange(1, len(X), 3)
    for k, allowed in [(1, None), (10, None), (10, every_third)]:
        q = rng.standard_normal(64).astype(np.float32)
        pruned, chunked = [(set_env(monkeypatch, ZORVIK_SINGLE_MODE=mode), engine.query_exact_arrays(q, k, filter=allowed))[1]
                           for mode in ("pruned", None)]
        assert (pruned["method_used"], chunked["method_used"]) == ("exact-pruned-fast", "exact-chunked")
        np.testing.assert_array_equal(pruned["indices"], chunked["indices"])
        # The first k allowed rows fill the heap through the kernel; later rows carry block sums.
        idx = pruned["indices"].astype(np.int64)
        first = np.arange(len(X))[:k] if allowed is None else allowed[:k]
        want = np.where(np.isin(idx, first), model_scores(X[idx], q, 1, "vector"), block_sum_scores(X[idx], q))
        np.testing.assert_array_equal(pruned["scores"].view(np.uint32), want.view(np.uint32))
    del engine
    with open(path, "r+b") as f:  # the euclidean metric never takes the pruned scan
        f.seek(8)
        f.write(struct.pack("<I", 2))
    engine = zorvikdb.PySearchEngine(str(path), False)
    assert query(engine, np.ones(64, np.float32), 3, "pruned", monkeypatch)["method_used"] == "exact"


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.integers(1, 40), dims=st.integers(0, 20), metric=st.sampled_from(METRICS),
       k=st.one_of(st.integers(0, 45), st.just(HUGE_K)), mode=st.sampled_from(KERNEL_MODES), seed=st.integers(0, 2**32 - 1))
def test_kernel_strategies_match_the_model_on_ties(open_index, monkeypatch, rows, dims, metric, k, mode, seed):
    rng = np.random.default_rng(seed)
    # Quarter steps from -1 to 1: many bit-identical scores and signed zeros.
    X = (rng.integers(-4, 5, size=(rows, dims)) / 4).astype(np.float32)
    X[rng.random((rows, dims)) < 0.05] = -0.0
    q = (rng.integers(-4, 5, size=dims) / 4).astype(np.float32)
    got = query(open_index(X, metric), q, k, mode, monkeypatch)
    assert_same_hits(got, *model_ranking(model_scores(X, q, metric), metric, k))
