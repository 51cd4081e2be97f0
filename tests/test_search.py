"""Single-query exact search: scores bit for bit against a NumPy model of both summation
orders, the ranking order, strategy names and switching, non-finite rows and huge k."""

import itertools
import json
import os
import struct
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zorvikdb
from conftest import index_bytes, raises_exactly

QUERY_NOT_FINITE = "Query vector cont\u00c3\u00a9m valores n\u00c3\u00a3o finitos"
# The order this interpreter scores with (chosen once per process from the environment).
IN_PROCESS_ORDER = "scalar" if os.environ.get("ZORVIK_FORCE_SCALAR") == "1" else "vector"
KERNEL_MODES = [None, "rayon", "matrix_parallel"]
MATRIX_MODES = ["blocked", "blocked_matrix", "matrix_full"]
ALL_MODES = KERNEL_MODES + MATRIX_MODES + ["pruned"]
METRICS = [0, 1, 2]
HUGE_K = 2**64 - 1


# Model: the fixed per-row summation orders and the ranking order.


def model_scores(X, q, metric, order):
    """float32 scores of every row: `vector` (two four-lane accumulators over groups of
    eight, sB + sA, then the tail) or `scalar` (one accumulator in element order)."""
    X = np.asarray(X, dtype=np.float32)
    q = np.asarray(q, dtype=np.float32)
    rows, n = X.shape
    with np.errstate(all="ignore"):
        terms = (q - X) * (q - X) if metric == 2 else X * q
        s = np.zeros(rows, dtype=np.float32)
        start = 0
        if order == "vector" and n >= 8:
            a = np.zeros((rows, 4), dtype=np.float32)
            b = np.zeros((rows, 4), dtype=np.float32)
            for g in range(0, n - n % 8, 8):
                a = a + terms[:, g : g + 4]
                b = b + terms[:, g + 4 : g + 8]
            sa = ((a[:, 0] + a[:, 1]) + a[:, 2]) + a[:, 3]
            sb = ((b[:, 0] + b[:, 1]) + b[:, 2]) + b[:, 3]
            s = sb + sa
            start = n - n % 8
        for i in range(start, n):
            s = s + terms[:, i]
    return s


def total_order_key(scores):
    x = np.asarray(scores, dtype=np.float32).view(np.int32).astype(np.int64)
    return np.where(x < 0, x ^ 0x7FFFFFFF, x)


def model_ranking(scores, metric, k):
    """Indices and scores of the k best finite rows: totalOrder, ties to the lower row."""
    scores = np.asarray(scores, dtype=np.float32)
    finite = np.flatnonzero(np.isfinite(scores))
    key = total_order_key(scores[finite])
    order = np.lexsort((finite, key if metric == 2 else -key))
    best = finite[order][: min(k, len(finite))]
    return best.astype(np.uint64), scores[best]


def set_mode(monkeypatch, mode):
    if mode is None:
        monkeypatch.delenv("ZORVIK_SINGLE_MODE", raising=False)
    else:
        monkeypatch.setenv("ZORVIK_SINGLE_MODE", mode)


def query(engine, q, k, mode=None, monkeypatch=None):
    if monkeypatch is not None:
        set_mode(monkeypatch, mode)
    return engine.query_exact_arrays(np.asarray(q, dtype=np.float32), k)


def assert_same_hits(got, indices, scores):
    np.testing.assert_array_equal(got["indices"], indices)
    # Bit for bit: the same float32 patterns, signed zeros included.
    np.testing.assert_array_equal(got["scores"].view(np.uint32), np.asarray(scores, np.float32).view(np.uint32))


def spread_data(rng, rows, dims):
    """Values over six orders of magnitude, so the two orders round differently."""
    mags = 10.0 ** rng.integers(-3, 3, size=(rows, dims))
    return (rng.standard_normal((rows, dims)) * mags).astype(np.float32)


# Kernel scores, bit for bit.

DIMS = [0, 1, 7, 8, 9, 15, 16, 17, 31, 64, 100, 385]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("rows, dims", [(70, d) for d in DIMS] + [(12003, 64)])
def test_kernel_scores_follow_the_summation_order(write_index, monkeypatch, metric, rows, dims):
    # 70 rows: a full batch of 64, then groups of four and a remainder of two. 12,003 rows: the
    # full scan splits into pieces and the chunked scan into chunks whose edges fall inside groups.
    rng = np.random.default_rng(dims * 3 + metric)
    X = spread_data(rng, rows, dims)
    q = spread_data(rng, 1, dims)[0]
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    expected = model_ranking(model_scores(X, q, metric, IN_PROCESS_ORDER), metric, rows)
    for mode in KERNEL_MODES:
        assert_same_hits(query(engine, q, HUGE_K, mode, monkeypatch), *expected)
        assert_same_hits(query(engine, q, 5, mode, monkeypatch), expected[0][:5], expected[1][:5])
    if dims >= 16:
        # The model must tell the two orders apart on this data, or the test proves little.
        other = "scalar" if IN_PROCESS_ORDER == "vector" else "vector"
        assert (model_scores(X, q, metric, other) != model_scores(X, q, metric, IN_PROCESS_ORDER)).any()


@pytest.fixture
def scalar_cases(write_index):
    """(index_path, X, q, metric) for a spread of lengths and all metrics."""
    rng = np.random.default_rng(11)
    cases = []
    for dims in [0, 7, 8, 9, 17, 100]:
        for metric in METRICS:
            X, q = spread_data(rng, 37, dims), spread_data(rng, 1, dims)[0]
            cases.append((write_index(X, metric), X, q, metric))
    return cases


def check_in_fresh_python(fresh_python, cases, order, env=None, first_k=None):
    """Ranks every case in a fresh interpreter and compares with the model in `order`. With
    first_k, one query of that k runs before ZORVIK_FORCE_SCALAR=1 is set."""
    code = f"""
        import json, os, numpy as np, zorvikdb
        cases = {json.dumps([(path, q.tolist()) for path, _, q, _ in cases])}
        if {first_k!r} is not None:
            zorvikdb.PySearchEngine(cases[0][0], False).query_exact(np.array(cases[0][1], np.float32), {first_k!r})
            os.environ["ZORVIK_FORCE_SCALAR"] = "1"
        out = []
        for path, q in cases:
            got = zorvikdb.PySearchEngine(path, False).query_exact_arrays(np.array(q, np.float32), 1000)
            out.append((got["indices"].tolist(), got["scores"].view(np.uint32).tolist()))
        print(json.dumps(out))
    """
    for (_, X, q, metric), got in zip(cases, json.loads(fresh_python(code, env=env))):
        idx, scores = model_ranking(model_scores(X, q, metric, order), metric, len(X))
        assert got == [idx.tolist(), scores.view(np.uint32).tolist()]


@pytest.mark.parametrize(
    "value, mode, order",
    [("1", "rayon", "scalar"), ("1", "matrix_parallel", "scalar"), ("true", None, "vector"), ("0", None, "vector"),
     ("01", None, "vector"), ("", None, "vector"), (" 1", None, "vector")],
)
def test_only_force_scalar_1_selects_the_scalar_order(fresh_python, scalar_cases, value, mode, order):
    check_in_fresh_python(fresh_python, scalar_cases, order, env={"ZORVIK_FORCE_SCALAR": value, "ZORVIK_SINGLE_MODE": mode})


@pytest.mark.parametrize("first_k, order", [(1000, "vector"), (0, "scalar")])
def test_force_scalar_is_read_once_at_the_first_scoring(fresh_python, scalar_cases, first_k, order):
    # Setting the switch after a query that scored rows changes nothing, while a k = 0
    # query scores nothing, so the switch is still open afterwards.
    check_in_fresh_python(fresh_python, scalar_cases, order, first_k=first_k)


# Matrix strategies: their own summation order, the same ranking.


@pytest.mark.parametrize("metric", METRICS)
def test_matrix_strategies_agree_with_the_kernel(write_index, monkeypatch, metric):
    rng = np.random.default_rng(metric)
    X = rng.standard_normal((3001, 48)).astype(np.float32)
    q = rng.standard_normal(48).astype(np.float32)
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    exact = X.astype(np.float64) @ q.astype(np.float64)
    if metric == 2:
        exact = ((X.astype(np.float64) - q) ** 2).sum(axis=1)
    want_idx, _ = model_ranking(exact.astype(np.float32), metric, 25)
    for mode in MATRIX_MODES:
        got = query(engine, q, 25, mode, monkeypatch)
        np.testing.assert_array_equal(got["indices"], want_idx)
        np.testing.assert_allclose(got["scores"], exact[want_idx.astype(np.int64)], rtol=1e-4, atol=1e-3)


# Ranking order, ties and every strategy on data full of ties.


@pytest.mark.parametrize("metric", METRICS)
def test_strategies_agree_on_ties(write_index, monkeypatch, metric):
    # Small integers: every strategy (matrix product included) computes exact, bit-identical
    # scores, and most scores are shared by thousands of rows. 20,000 rows of 64 give the
    # chunked scan several chunks.
    rng = np.random.default_rng(5)
    base = rng.integers(-3, 4, size=(6, 64)).astype(np.float32)
    X = base[rng.integers(0, 6, size=20000)]
    q = rng.integers(-2, 3, size=64).astype(np.float32)
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    scores = model_scores(X, q, metric, "vector")
    for k in [1, 7, 4000, 20000, HUGE_K]:
        want = model_ranking(scores, metric, k)
        for mode in ALL_MODES:
            assert_same_hits(query(engine, q, k, mode, monkeypatch), *want)


def test_ranking_direction_and_identical_rows(write_index, monkeypatch):
    X = np.array([[1.0, 0.0], [3.0, 0.0], [-2.0, 0.0], [3.0, 0.0], [0.5, 0.0]], np.float32)
    q = np.array([1.0, 0.0], np.float32)
    for metric, order in [(0, [1, 3, 0, 4, 2]), (1, [1, 3, 0, 4, 2]), (2, [0, 4, 1, 3, 2])]:
        engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
        for mode in ALL_MODES:
            assert query(engine, q, 10, mode, monkeypatch)["indices"].tolist() == order


# Non-finite rows, degenerate indexes, validation and strategy names.


@pytest.mark.parametrize("metric", METRICS)
def test_non_finite_rows_never_appear(write_index, monkeypatch, metric):
    rng = np.random.default_rng(9)
    X = rng.standard_normal((40, 12)).astype(np.float32)
    X[3, 5] = np.nan
    X[8, 0] = np.inf
    X[13, 11] = -np.inf
    X[21] = 1e20  # overflows to infinity in the products (and in the matrix product)
    q = rng.standard_normal(12).astype(np.float32)
    q[0] = 1e19
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    want = model_ranking(model_scores(X, q, metric, IN_PROCESS_ORDER), metric, 40)
    for mode in KERNEL_MODES:
        assert_same_hits(query(engine, q, HUGE_K, mode, monkeypatch), *want)
    for mode in MATRIX_MODES + ["pruned"]:
        got = query(engine, q, HUGE_K, mode, monkeypatch)
        assert np.isfinite(got["scores"]).all()
        assert not {3, 8, 13} & set(got["indices"].tolist())
    # Only non-finite rows: no hits at all.
    nan_engine = zorvikdb.PySearchEngine(write_index(np.full((9, 12), np.nan, np.float32), metric), False)
    for mode in ALL_MODES:
        got = query(nan_engine, q, 5, mode, monkeypatch)
        assert len(got["indices"]) == 0 and got["scores"].dtype == np.float32


def test_indexes_without_dimensions_or_rows(write_index, write_raw, monkeypatch):
    # No dimensions: kernel scores are +0.0; the matrix product gives +0.0 inner products and
    # (-0.0 + -0.0) - 0.0 = -0.0 squared distances. 2^32 - 1 such rows are answered without a
    # row-sized buffer, and a request for every one of them fails cleanly.
    zero_dims = [zorvikdb.PySearchEngine(write_raw(struct.pack("<III", 0, 5, m), f"z{m}.bin"), False) for m in METRICS]
    billions = zorvikdb.PySearchEngine(write_raw(struct.pack("<III", 0, 2**32 - 1, 1)), False)
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 4), np.float32)), False)
    empty = zorvikdb.PySearchEngine(write_raw(struct.pack("<III", 4, 0, 0), "empty.bin"), False)
    for mode in ALL_MODES:
        set_mode(monkeypatch, mode)
        for metric, zero_engine in zip(METRICS, zero_dims):
            zero = -0.0 if metric == 2 and mode in MATRIX_MODES else 0.0
            assert_same_hits(query(zero_engine, [], 3), [0, 1, 2], [zero] * 3)
        start = time.perf_counter()
        assert query(billions, [], 4)["indices"].tolist() == [0, 1, 2, 3]
        assert time.perf_counter() - start < 5.0
        for eng, k in [(engine, 0), (empty, 5)]:
            got = eng.query_exact(np.ones(4, np.float32), k)
            assert (got.results, got.method_used, got.query_time_ms) == ([], "exact", 0.0)
    with pytest.raises(MemoryError):
        billions.query_exact(np.zeros(0, np.float32), HUGE_K)


def test_validation_comes_first(write_index):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 4), np.float32)), False)
    for method, k in itertools.product((engine.query_exact, engine.query_exact_arrays, engine.query_exact_detailed), (0, 5)):
        raises_exactly(ValueError, "Query dimension 3 != index dimension 4", method, np.ones(3, np.float32), k)
        for bad in [np.nan, np.inf, -np.inf]:
            raises_exactly(ValueError, QUERY_NOT_FINITE, method, np.array([1, 1, bad, 1], np.float32), k)


# mode -> names on 10 x 64 and 10,000 x 63 (small), 10,000 x 64 cosine and dot (large), and
# 10,000 x 64 euclidean; a name that is no mode is the automatic choice.
STRATEGY_NAMES = [
    (None, "exact", "exact-chunked", "exact"),
    ("rayon", "exact", "exact", "exact"),
    ("pruned", "exact", "exact", "exact"),  # fewer than 1,000,000 rows
    ("blocked", "exact-blocked-matrix", "exact-blocked-matrix", "exact-blocked-matrix"),
    ("blocked_matrix", "exact-blocked-matrix", "exact-blocked-matrix", "exact-blocked-matrix"),
    ("matrix_full", "exact-matrix-full", "exact-matrix-full", "exact-matrix-full"),
    ("matrix_parallel", "exact-chunked", "exact-chunked", "exact-chunked"),
    ("Rayon", "exact", "exact-chunked", "exact"),
    ("", "exact", "exact-chunked", "exact"),
]


def test_strategy_names_follow_the_mode_of_each_query(write_index, monkeypatch):
    rng = np.random.default_rng(1)
    small_x = rng.standard_normal((10, 64)).astype(np.float32)
    large_x = rng.standard_normal((10000, 64)).astype(np.float32)
    narrow_x = rng.standard_normal((10000, 63)).astype(np.float32)
    engines = [(zorvikdb.PySearchEngine(write_index(X, metric), False), rng.standard_normal(X.shape[1]), column)
               for X, metric, column in [(small_x, 1, 0), (large_x, 0, 1), (large_x, 1, 1), (large_x, 2, 2),
                                         (narrow_x, 1, 0)]]
    for mode, *names in STRATEGY_NAMES:
        set_mode(monkeypatch, mode)
        for engine, q, column in engines:
            got = engine.query_exact(q.astype(np.float32), 3)
            assert got.method_used == names[column], mode
            assert 0.0 < got.query_time_ms < 60_000.0


# The block-pruned scan (needs 1,000,000 rows of at least 64 dimensions).


@pytest.fixture(scope="module")
def million_rows(tmp_path_factory):
    rng = np.random.default_rng(2024)
    X = rng.standard_normal((1_000_000, 64), dtype=np.float32)
    path = tmp_path_factory.mktemp("pruned") / "million.bin"
    path.write_bytes(index_bytes(X, 1))
    yield path, X
    path.unlink()  # 256 MB: not kept with the retained temporary directories


def block_sum_scores(X, q, width=32):
    """Scores of the pruned scan for fully evaluated rows: per block the vector-order inner
    product in float32, added in float64 from +0.0, blocks by query energy descending."""
    blocks = [(s, min(s + width, len(q))) for s in range(0, len(q), width)]
    energy = [float(np.sum(q[s:e].astype(np.float64) ** 2)) for s, e in blocks]
    order = sorted(range(len(blocks)), key=lambda b: (-energy[b], b))
    acc = np.zeros(len(X))
    for b in order:
        s, e = blocks[b]
        acc = acc + model_scores(X[:, s:e], q[s:e], 1, "vector").astype(np.float64)
    return acc.astype(np.float32)


def test_pruned_scan(million_rows, monkeypatch):
    path, X = million_rows
    rng = np.random.default_rng(8)
    engine = zorvikdb.PySearchEngine(str(path), False)
    for k in [1, 10]:
        q = rng.standard_normal(64).astype(np.float32)
        pruned = query(engine, q, k, "pruned", monkeypatch)
        chunked = query(engine, q, k, None, monkeypatch)
        assert (pruned["method_used"], chunked["method_used"]) == ("exact-pruned-fast", "exact-chunked")
        np.testing.assert_array_equal(pruned["indices"], chunked["indices"])
        # Rows 0..k-1 fill the heap through the kernel; later rows carry block sums.
        idx = pruned["indices"].astype(np.int64)
        kernel = model_scores(X[idx], q, 1, "vector")
        blocks = block_sum_scores(X[idx], q)
        want = np.where(idx < k, kernel, blocks)
        np.testing.assert_array_equal(pruned["scores"].view(np.uint32), want.view(np.uint32))
    del engine
    # The euclidean metric never takes the pruned scan.
    with open(path, "r+b") as f:
        f.seek(8)
        f.write(struct.pack("<I", 2))
    engine = zorvikdb.PySearchEngine(str(path), False)
    assert query(engine, np.ones(64, np.float32), 3, "pruned", monkeypatch)["method_used"] == "exact"


# Property: on tie-heavy data, every kernel strategy returns exactly the model's top k.


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    rows=st.integers(1, 40),
    dims=st.integers(0, 20),
    metric=st.sampled_from(METRICS),
    k=st.one_of(st.integers(0, 45), st.just(HUGE_K)),
    mode=st.sampled_from(KERNEL_MODES),
    seed=st.integers(0, 2**32 - 1),
)
def test_kernel_strategies_match_the_model(write_index, monkeypatch, rows, dims, metric, k, mode, seed):
    rng = np.random.default_rng(seed)
    # Quarter steps from -1 to 1: many bit-identical scores and signed zeros.
    X = (rng.integers(-4, 5, size=(rows, dims)) / 4).astype(np.float32)
    X[rng.random((rows, dims)) < 0.05] = -0.0
    q = (rng.integers(-4, 5, size=dims) / 4).astype(np.float32)
    got = query(zorvikdb.PySearchEngine(write_index(X, metric), False), q, k, mode, monkeypatch)
    assert_same_hits(got, *model_ranking(model_scores(X, q, metric, IN_PROCESS_ORDER), metric, k))
