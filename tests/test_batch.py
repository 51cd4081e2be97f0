"""Batch search: modes against a model on ties, answers equal to single queries, names, shapes, memory bounds."""

import json
import os

import blake3
import numpy as np
import pytest

import zorvikdb
from conftest import SANITIZED, index_bytes, model_ranking, model_scores, set_env

# ZORVIK_BATCH_MODE value -> method_used of every outcome (batches of four or more).
MODES = {None: "batch-blocked-exact", "rayon": "rayon-optimized", "blocked": "batch-blocked-exact",
         "blocked_exact": "batch-blocked-exact", "matrix": "matrix-full", "matrix_full": "matrix-full",
         "chunked": "matrix-chunked"}


def answers(engine, Q, k):  # (indices, scores, methods, times) per query
    res = engine.query_batch(Q, k)
    return ([[h.idx for h in r.results] for r in res], [[h.score for h in r.results] for r in res],
            [r.method_used for r in res], [r.query_time_ms for r in res])


def exact_ranking(X, Q, k, metric):
    """Rows and scores per query on small integers, where every summation order gives the same bits."""
    ranked = [model_ranking(model_scores(X, q, metric, "vector"), metric, k) for q in Q]
    return [i.tolist() for i, _ in ranked], [s.tolist() for _, s in ranked]


def set_mode(monkeypatch, mode, qblock=None):
    set_env(monkeypatch, ZORVIK_BATCH_MODE=mode, ZORVIK_QBLOCK=qblock)


@pytest.fixture(scope="module")
def tie_index(tmp_path_factory):
    """20,000 integer rows of 64, copies of row 3 on both sides of the blocked scan's chunk edges (8,000, 16,000)."""
    rng = np.random.default_rng(5)
    X = rng.integers(-2, 3, size=(20000, 64)).astype(np.float32)
    X[[3, 7999, 8000, 15999, 16000, 19999, 11]] = 2.0  # the largest inner product any row can have with itself
    paths = {metric: tmp_path_factory.mktemp("ties") / f"ties{metric}.bin" for metric in (1, 2)}
    for metric, path in paths.items():
        path.write_bytes(index_bytes(X, metric))
    return X, {metric: str(path) for metric, path in paths.items()}


@pytest.mark.parametrize("mode, qblock", [(mode, "3") for mode in MODES] + [
    ("matrix", b) for b in ("abc", "0", "-3", "7", "1", "18446744073709551615", "18446744073709551616")])
@pytest.mark.parametrize("metric", [1, 2])
def test_modes_and_query_blocks_rank_ties_by_row_across_edges(tie_index, monkeypatch, mode, qblock, metric):
    X, paths = tie_index
    # Queries equal to the duplicated row (its copies tie at the top), integer queries,
    # and equal queries on both sides of the block edges of ZORVIK_QBLOCK=3.
    Q = np.random.default_rng(6).integers(-2, 3, size=(11, 64)).astype(np.float32)
    Q[[0, 2, 3]], Q[[5, 6]] = X[3], X[8000]
    set_mode(monkeypatch, mode, qblock)
    idx, scores, methods, _ = answers(zorvikdb.PySearchEngine(paths[metric], False), Q, 12)
    assert (idx, scores) == exact_ranking(X, Q, 12, metric)
    assert methods == [MODES[mode]] * len(Q)
    assert idx[0][:7] == [3, 11, 7999, 8000, 15999, 16000, 19999]  # the copies of row 3, by row


SINGLE_QUERY_BITS = """
import json, os, numpy as np, zorvikdb
rng = np.random.default_rng(21)
base = rng.standard_normal((3000, 24)).astype(np.float32)
holes = base.copy()
holes[[5, 77]] = np.nan
holes[9, 2] = np.inf
data = {"gauss": base, "near ties": (rng.standard_normal(24) + base * 1e-6).astype(np.float32),
        "mixed scales": base * np.exp(rng.uniform(-30, 30, (3000, 1))).astype(np.float32),
        "large": base * np.float32(1e15), "tiny": base * np.float32(1e-30), "far": base * np.float32(1e-3),
        "non-finite rows": holes}
wrong = []
for name, X in data.items():
    for metric in ("dot", "cosine", "euclidean"):
        e = zorvikdb.PySearchEngine(zorvikdb.py_prepare_bin_from_embeddings(
            X, 24, 3000, name.replace(" ", "_") + metric, "f32", metric=metric, output_dir=os.environ["OUT"]), False)
        spread = np.float32(1e6 if name == "far" else 1) * np.nanstd(np.where(np.isfinite(X), X, np.nan))
        Q = np.concatenate([np.nan_to_num(X[:6]) * np.float32(0.999), rng.standard_normal((31, 24)) * spread])
        Q = Q.astype(np.float32)
        os.environ["ZORVIK_SINGLE_MODE"] = "rayon"
        want = [(a["indices"].tolist(), a["scores"].view(np.uint32).tolist()) for a in (e.query_exact_arrays(q, 7) for q in Q)]
        for mode, qblock in ((None, None), ("matrix", "1"), ("matrix", "5"), ("chunked", None), ("sketch", None)):
            for var, value in (("ZORVIK_BATCH_MODE", mode), ("ZORVIK_QBLOCK", qblock)):
                os.environ.pop(var, None)
                if value: os.environ[var] = value
            for first, stop in ((0, 37), (30, 34), (3, 12)):  # batches of 37, 4 and 9: other places, other tiles
                got = e.query_batch_arrays(Q[first:stop], 7)
                for j in range(stop - first):
                    if (got["indices"][j].tolist(), got["scores"][j].view(np.uint32).tolist()) != want[first + j]:
                        wrong.append([name, metric, mode, qblock, first, first + j])
print(json.dumps(wrong[:5]))
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_batch_answers_are_single_query_answers_bit_for_bit(fresh_python, tmp_path, threads):
    # Whatever the mode, tiling, batch size, place in the batch, thread count or BLAS
    # kernels, a query's answer is the one the kernel scan gives it alone.
    assert json.loads(fresh_python(SINGLE_QUERY_BITS, env={"ZORVIK_THREADS": threads, "OUT": str(tmp_path)},
                                   timeout=600)) == []


def test_mode_names_times_and_switching(open_index, monkeypatch):
    rng = np.random.default_rng(1)
    engine = open_index(rng.standard_normal((200, 16)).astype(np.float32))
    Q = rng.standard_normal((4, 16)).astype(np.float32)
    set_mode(monkeypatch, None)
    # Three queries run one by one with their own times; four go to the blocked scan.
    _, _, methods, times = answers(engine, Q[:3], 2)
    assert methods == ["rayon-optimized"] * 3 and all(t > 0.0 for t in times)
    assert answers(engine, Q, 2)[2:] == (["batch-blocked-exact"] * 4, [0.0] * 4)
    (res,) = engine.query_batch(Q[:1], 2)  # a single query is a single-query search
    assert res.method_used == "exact" and res.query_time_ms > 0.0
    # Read on every call; names that are no mode select the automatic choice.
    for value, expected in (("chunked", "matrix-chunked"), ("Rayon", "batch-blocked-exact"), ("", "batch-blocked-exact"),
                            ("matrix-full", "batch-blocked-exact"), ("rayon", "rayon-optimized")):
        monkeypatch.setenv("ZORVIK_BATCH_MODE", value)
        assert engine.query_batch_arrays(Q, 2)["method_used"] == [expected] * 4


@pytest.mark.parametrize("mode", list(MODES))
def test_non_finite_queries_k_zero_and_empty_index(open_index, monkeypatch, mode):
    rng = np.random.default_rng(2)
    engine = open_index(rng.standard_normal((500, 8)).astype(np.float32))
    Q = rng.standard_normal((5, 8)).astype(np.float32)
    Q[1, 3] = np.nan
    set_mode(monkeypatch, mode)
    # The one-by-one mode refuses the batch; the others skip the query, which the arrays
    # form cannot hold. With k = 0 or no rows, the one-by-one mode gives one empty outcome
    # per query, the others none at all.
    with pytest.raises(ValueError):
        engine.query_batch(Q, 4) if mode == "rayon" else engine.query_batch_arrays(Q, 4)
    assert mode == "rayon" or [len(i) for i in answers(engine, Q, 4)[0]] == [4, 0, 4, 4, 4]
    for engine, k in ((open_index(np.ones((3, 4), np.float32)), 0), (open_index(np.zeros((0, 4), np.float32)), 5)):
        ones, n = np.ones((5, 4), np.float32), 5 if mode == "rayon" else 0
        res, arr = engine.query_batch(ones, k), engine.query_batch_arrays(ones, k)
        assert [(len(r.results), r.method_used) for r in res] == [(0, "rayon-optimized")] * n
        assert (arr["indices"].shape, arr["query_time_ms"].shape, arr["method_used"]) == ((n, 0), (n,), [MODES[mode]] * n)


def test_arrays_layout_and_column_major_input(open_index, monkeypatch):
    rng = np.random.default_rng(4)
    engine = open_index(rng.standard_normal((700, 24)).astype(np.float32), 0)
    Q = rng.standard_normal((6, 24)).astype(np.float32)
    for mode in ("rayon", None):
        set_mode(monkeypatch, mode)
        a, b = engine.query_batch_arrays(Q, 5), engine.query_batch_arrays(np.asfortranarray(Q), 5)
        assert list(a) == ["indices", "scores", "query_time_ms", "method_used", "metric", "normalized", "dims", "rows",
                           "index_path"]
        for key, dtype in (("indices", np.uint64), ("scores", np.float32)):
            np.testing.assert_array_equal(a[key], b[key])
            assert a[key].flags.c_contiguous and a[key].flags.writeable and a[key].shape == (6, 5)
            assert (a[key].flags.owndata or a[key].base is not None) and a[key].dtype == dtype
        assert a["query_time_ms"].dtype == np.float64 and a["query_time_ms"].flags.writeable
        assert (a["method_used"], a["metric"], a["normalized"], a["dims"], a["rows"]) == ([MODES[mode]] * 6, "cosine", True, 24, 700)
        assert a["index_path"] == engine.query_exact_detailed(Q[0], 1).index_path
        assert not np.shares_memory(a["indices"], b["indices"])
    none = engine.query_batch_arrays(Q[:0], 2)
    assert [(none[n].shape, none[n].dtype) for n in ("indices", "scores", "query_time_ms")] == [
        ((0, 0), np.uint64), ((0, 0), np.float32), ((0,), np.float64)]
    assert list(none) == list(a) and none["method_used"] == []
    assert engine.query_batch(Q[:0], 2) == engine.query_batch_detailed(Q[:0], 2) == []


def test_detailed_results_carry_each_rows_hash(open_index):
    rng = np.random.default_rng(8)
    engine = open_index(rng.standard_normal((300, 12)).astype(np.float32), 2)
    Q = rng.standard_normal((5, 12)).astype(np.float32)
    Q[4] = Q[1]
    facts = lambda r: (r.index_hash, r.engine_version, r.metric, r.normalized, r.dims, r.rows, r.index_path)  # noqa: E731
    for queries in (Q, np.asfortranarray(Q)):
        res = engine.query_batch_detailed(queries, 3)
        assert [r.query_hash for r in res] == [blake3.blake3(row.tobytes()).hexdigest() for row in Q]
        assert facts(res[0]) == facts(engine.query_exact_detailed(Q[0], 3))
    plain = engine.query_batch(Q, 3)
    assert plain[0].query_hash is None and plain[0].index_hash is None


def test_detailed_checks_dimensions_before_hashing(fresh_python, write_index):
    path = write_index(np.ones((4, 3), np.float32), 1)
    out = fresh_python(f"""
        import sys, types, numpy as np
        calls = []
        hasher = types.SimpleNamespace(digest=lambda: bytes(32))
        sys.modules["blake3"] = types.SimpleNamespace(blake3=lambda data: calls.append(bytes(data)) or hasher)
        import zorvikdb
        e = zorvikdb.PySearchEngine({path!r}, False)
        opened = len(calls)
        for shape in ((2, 4), (2, 0)):
            attempt(e.query_batch_detailed, np.ones(shape, np.float32), 1)
        print(len(calls) - opened)
    """)
    assert out.splitlines() == [f"ValueError: Query dimensions {d} != index dimensions 3" for d in (4, 0)] + ["0"]


LARGE_BATCH = """
import json, os, numpy as np, zorvikdb
rng = np.random.default_rng(11)
X = rng.standard_normal((10000, 16)).astype(np.float32)
Q = rng.standard_normal((200000, 16)).astype(np.float32)
e = zorvikdb.PySearchEngine(zorvikdb.py_prepare_bin_from_embeddings(
    X, 16, 10000, "large", "f32", metric=os.environ["METRIC"], output_dir=os.environ["OUT"]), False)
e.query_batch_arrays(Q[:8], 3)
status = lambda key: int([l for l in open("/proc/self/status") if l.startswith(key)][0].split()[1])
report = {}
for mode in ("blocked", "matrix", "chunked"):
    os.environ["ZORVIK_BATCH_MODE"] = mode
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    r = e.query_batch_arrays(Q, 3)
    report[mode] = [(status("VmHWM:") - before) / 1024, (status("VmRSS:") - before) / 1024]
    if mode == "blocked":
        report["head"] = r["indices"][:300].tolist()
print(json.dumps(report))
"""


@pytest.mark.parametrize("metric", [1, 2])
def test_large_batch_memory_is_its_queries_and_answers(fresh_python, tmp_path, metric):
    # 200,000 queries against chunks of 8,000 rows: one untiled chunk product would hold
    # 6.4 GB of scores, and one matrix block of all queries 8 GB. The call's memory is its
    # copy of the queries (12.8 MB), the answers (7.2 MB as arrays, 9.6 MB as hits), the
    # score buffers (32 MB) and the candidates of two tasks, and it is returned.
    env = {"ZORVIK_THREADS": "2", "METRIC": ["", "dot", "euclidean"][metric], "OUT": str(tmp_path)}
    report = json.loads(fresh_python(LARGE_BATCH, env=env, timeout=600))
    if not SANITIZED:  # the sanitizer keeps freed memory aside
        for mode in ("blocked", "matrix", "chunked"):
            peak, kept = report[mode]
            assert peak < 128 and kept < 32, (mode, peak, kept)
    rng = np.random.default_rng(11)  # the first rows of the same data, ranked in float64 (no near ties)
    X, Q = (rng.standard_normal((n, 16)).astype(np.float32).astype(np.float64) for n in (10000, 300))
    s = (X**2).sum(1) + (Q**2).sum(1)[:, None] - 2 * (Q @ X.T) if metric == 2 else -(Q @ X.T)
    assert report["head"] == np.argsort(s, axis=1, kind="stable")[:, :3].tolist()
