"""Certified queries: the certificate against a step-by-step model of the scan, the record
caps, the dictionaries, the batch form, and large magnitudes where a fixed slack is not enough."""

import functools
import math
import struct

import blake3
import numpy as np
import pytest

import zorvikdb
from test_search import IN_PROCESS_ORDER, model_scores, total_order_key

NOT_FINITE = "Query vector contains non-finite values"
U64_MAX = 2**64 - 1
RESULT_KEYS = ["results", "query_time_ms", "method_used", "index_hash", "query_hash", "engine_version",
               "metric", "normalized", "dims", "rows", "index_path", "certificate"]
CERTIFICATE_KEYS = ["total_candidates", "pruned_candidates", "full_evaluated", "kth_score", "bound_rule", "safe",
                    "block_size", "block_order", "threshold_evolution", "enable_pruning", "simd_path",
                    "compile_flags", "pruned_bound_values", "bound_kind"]
F32 = np.float32


# Model: the certified scan, one row at a time, with the fixed slack.


def better(a, b, metric):
    """Ranking order of (idx, score) pairs: totalOrder, ties to the lower row."""
    ka, kb = total_order_key([a[1], b[1]]).tolist()
    if ka != kb:
        return ka < kb if metric == 2 else ka > kb
    return a[0] < b[0]


def model_certified(X, q, k, block_size, pruning, metric, slack=0.001, float_root=True):
    X = np.asarray(X, F32)
    q = np.asarray(q, F32)
    rows, dims = X.shape
    bs = max(block_size, 1)
    blocks = [(s, min(s + bs, dims)) for s in range(0, dims, bs)]
    # Sequential double sums (the builtin sum() of floats is compensated, so not used).
    energy = [functools.reduce(lambda acc, v: acc + v * v, map(float, q[s:e]), -0.0) for s, e in blocks]
    q_sq = functools.reduce(lambda acc, v: acc + v, energy, 0.0)
    order = sorted(range(len(blocks)), key=lambda b: (-energy[b], b))
    scores = model_scores(X, q, metric, IN_PROCESS_ORDER)
    block_dots = [model_scores(X[:, s:e], q[s:e], 1, "vector") for s, e in blocks]
    xd = X.astype(np.float64)
    row_sq = np.cumsum(xd * xd, axis=1)[:, -1]
    # As the loader stores them: the float root of the float-rounded sum.
    row_norm = np.sqrt(row_sq.astype(F32)) if float_root else np.sqrt(row_sq).astype(F32)

    k_eff = min(k, rows)
    kept, evolution, bounds = [], [], []
    pruned = full = 0

    def root():
        return functools.reduce(lambda w, h: h if better(w, h, metric) else w, kept)

    def note(lst, v):
        if len(lst) < 2048:
            lst.append(float(F32(v)))

    for r in range(rows):
        if pruning and r >= k_eff and len(kept) >= k_eff:
            threshold = float(root()[1])
            norms = float(row_sq[r]) + q_sq
            partial = seen = 0.0
            bound = None
            for b in order:
                partial = partial + float(block_dots[b][r])
                seen = seen + energy[b]
                upper = (float(row_norm[r]) * math.sqrt(max(q_sq - seen, 0.0)) + partial) + slack
                value = norms - (upper + upper) if metric == 2 else upper
                if (value > threshold) if metric == 2 else (threshold > value):
                    bound = value
                    break
            if bound is not None:
                pruned += 1
                note(bounds, bound)
                continue
        full += 1
        hit = (r, scores[r])
        if not np.isfinite(hit[1]):
            continue
        if len(kept) < k_eff:
            kept.append(hit)
            if len(kept) == k_eff:
                note(evolution, root()[1])
        elif better(hit, root(), metric):
            kept.remove(root())
            kept.append(hit)
            note(evolution, root()[1])
    results = sorted(kept, key=functools.cmp_to_key(lambda a, b: -1 if better(a, b, metric) else 1))
    kth = float(results[-1][1]) if results else 0.0
    holds = all((v > kth) if metric == 2 else (kth > v) for v in bounds)
    return {
        "results": [(i, float(s)) for i, s in results],
        "certificate": {
            "total_candidates": rows,
            "pruned_candidates": pruned,
            "full_evaluated": full,
            "kth_score": kth,
            "safe": pruned + full == rows and holds,
            "block_size": bs,
            "block_order": order,
            "threshold_evolution": evolution,
            "enable_pruning": pruning,
            "pruned_bound_values": bounds,
        },
    }


def bits(values):
    return [struct.pack("<f", v) for v in values]


def assert_matches_model(got, model):
    assert [h["idx"] for h in got["results"]] == [i for i, _ in model["results"]]
    assert bits([h["score"] for h in got["results"]]) == bits([s for _, s in model["results"]])
    cert, want = got["certificate"], model["certificate"]
    for key in ("threshold_evolution", "pruned_bound_values"):
        assert bits(cert[key]) == bits(want[key]), key
    assert bits([cert["kth_score"]]) == bits([want["kth_score"]])
    for key in ("total_candidates", "pruned_candidates", "full_evaluated", "safe", "block_size", "block_order",
                "enable_pruning"):
        assert cert[key] == want[key], key


def clustered(rng, rows, dims, centres=6, spread=0.15):
    c = rng.standard_normal((centres, dims))
    X = c[rng.integers(0, centres, rows)] + spread * rng.standard_normal((rows, dims))
    return X.astype(F32)


def certified(engine, q, k, block_size=64, enable_pruning=True):
    return engine.query_exact_certified(np.asarray(q, F32), k, block_size, enable_pruning)


# The scan against the model.

SCAN_CASES = [
    # metric, rows, dims, k, block_size, pruning
    (0, 400, 20, 5, 4, True),
    (1, 400, 20, 5, 4, True),
    (2, 400, 20, 5, 4, True),
    (1, 400, 20, 5, 4, False),
    (2, 300, 37, 3, 8, True),  # blocks of eight plus a short last block
    (1, 300, 37, 1, 0, True),  # block_size 0 acts as 1
    (0, 300, 16, 12, 64, True),  # one block: no sort
    (2, 300, 24, 300, 5, True),  # k = rows: nothing is bound-tested
    (1, 50, 24, 10**6, 5, True),  # k beyond the rows
]


@pytest.mark.parametrize("metric,rows,dims,k,block_size,pruning", SCAN_CASES)
def test_scan_matches_the_model(write_index, metric, rows, dims, k, block_size, pruning):
    rng = np.random.default_rng(rows + dims + metric)
    X = clustered(rng, rows, dims)
    if metric == 0:
        X = (X / np.linalg.norm(X, axis=1, keepdims=True)).astype(F32)
    X[1, 2], X[40, 0] = np.inf, np.nan  # evaluated, never returned
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    for q in (X[7] + F32(0.05), rng.standard_normal(dims).astype(F32)):
        got = certified(engine, q, k, block_size, pruning)
        assert_matches_model(got, model_certified(X, q, k, block_size, pruning, metric))
        cert = got["certificate"]
        assert cert["safe"] is True
        assert got["method_used"] == ("exact-certified-pruning" if pruning else "exact-certified-no-pruning")
        if pruning and k < rows and block_size < dims:
            assert cert["pruned_candidates"] > 0  # the data exercises the bound
        # Exhaustive answer: the same rows as query_exact.
        exact = engine.query_exact(q, k)
        assert [(h.idx, h.score) for h in exact.results] == [(h["idx"], h["score"]) for h in got["results"]]


def test_row_norms_are_float_roots_of_the_rounded_sums(write_index):
    # About one row in nine has a float root of the float-rounded sum one unit away from
    # the double root rounded to float; the recorded bounds show which one the engine uses.
    rng = np.random.default_rng(0)
    X = (rng.standard_normal((200, 6)) * 4).astype(F32)
    q = (rng.standard_normal(6) * 4).astype(F32)
    engine = zorvikdb.PySearchEngine(write_index(X, 1), False)
    got = certified(engine, q, 3, 2)
    want = model_certified(X, q, 3, 2, True, 1)
    other = model_certified(X, q, 3, 2, True, 1, float_root=False)
    assert bits(want["certificate"]["pruned_bound_values"]) != bits(other["certificate"]["pruned_bound_values"])
    assert_matches_model(got, want)


@pytest.mark.parametrize("metric", [0, 1, 2])
def test_rows_past_the_record_cap_match_the_model(write_index, metric):
    # Records stop at 2048; past that, rows are skipped on their 8-bit sketch: a late exact copy
    # of the best row, a late row one step better and a late infinity must still be scored in
    # full, and every count and record must stay the model's.
    rng = np.random.default_rng(40 + metric)
    X = clustered(rng, 6000, 24, centres=4, spread=0.3)
    if metric == 0:
        X = (X / np.linalg.norm(X, axis=1, keepdims=True)).astype(F32)
    q = (X[3] + F32(0.01)).astype(F32)
    X[5000] = X[3]
    X[5001] = X[3] + np.where(q > 0, F32(1e-3), F32(-1e-3)) * (-1 if metric == 2 else 1)
    X[5002, 5] = np.inf
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    got = certified(engine, q, 5, 4)
    assert got["certificate"]["pruned_candidates"] > 4000 and len(got["certificate"]["pruned_bound_values"]) == 2048
    assert_matches_model(got, model_certified(X, q, 5, 4, True, metric))


def test_block_order_follows_the_query_energy(write_index):
    rng = np.random.default_rng(5)
    engine = zorvikdb.PySearchEngine(write_index(rng.standard_normal((30, 10)).astype(F32), 1), False)
    q = np.array([0, 1, 0, 0, 0, 0, 0, 0, 3, 4], F32)
    assert certified(engine, q, 2, 4)["certificate"]["block_order"] == [2, 0, 1]
    assert certified(engine, np.zeros(10, F32), 2, 4)["certificate"]["block_order"] == [0, 1, 2]  # ties: block order
    for bs in (10, 11, U64_MAX):
        cert = certified(engine, q, 2, bs)["certificate"]
        assert (cert["block_order"], cert["block_size"]) == ([0], bs)


# Dictionaries, empty answers and errors.


def test_dictionary_keys_values_and_hashes(write_index):
    X = np.eye(4, dtype=F32)
    path = write_index(X, 0)
    engine = zorvikdb.PySearchEngine(path, False)
    q = np.array([0.5, -0.0, 0.25, 0.0], F32)
    got = certified(engine, q, 2, 2)
    assert list(got) == RESULT_KEYS
    assert list(got["certificate"]) == CERTIFICATE_KEYS
    assert [list(h) for h in got["results"]] == [["idx", "score"]] * 2
    detailed = engine.query_exact_detailed(q, 2)
    for key in ("index_hash", "engine_version", "metric", "normalized", "dims", "rows", "index_path"):
        assert got[key] == getattr(detailed, key)
    assert got["query_hash"] == blake3.blake3(q.tobytes()).hexdigest()
    flipped = q.copy()
    flipped[1] = 0.0
    assert certified(engine, flipped, 2)["query_hash"] != got["query_hash"]
    cert = got["certificate"]
    assert cert["simd_path"] in ("avx2", "avx", "sse4.2", "scalar")
    assert cert["compile_flags"] == "arch=x86_64"
    assert (cert["bound_rule"], cert["bound_kind"]) == ("upper_bound = partial_dot + ||q_rem||*||x||", "upper_bound")
    assert got["query_time_ms"] >= 0.0
    l2 = certified(zorvikdb.PySearchEngine(write_index(X, 2), False), q, 2)["certificate"]
    assert l2["bound_rule"] == "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)"
    assert l2["bound_kind"] == "lower_bound"


def test_empty_answers_and_zero_dimensions(write_index):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 4), F32), 1), False)
    empty_index = zorvikdb.PySearchEngine(write_index(np.zeros((0, 4), F32), 2), False)
    for eng, k, rows in ((engine, 0, 3), (empty_index, 5, 0)):
        got = eng.query_exact_certified(np.ones(4, F32), k, 0, False)
        cert = got["certificate"]
        assert (got["results"], got["method_used"], got["query_time_ms"]) == ([], "exact-certified", 0.0)
        assert (cert["bound_rule"], cert["bound_kind"], cert["kth_score"], cert["safe"]) == ("empty-result", "none", 0.0, True)
        assert (cert["total_candidates"], cert["pruned_candidates"], cert["full_evaluated"]) == (rows, 0, 0)
        assert (cert["block_size"], cert["enable_pruning"], cert["block_order"]) == (1, False, [])
    no_dims = zorvikdb.PySearchEngine(write_index(np.zeros((5, 0), F32), 1), False)
    got = no_dims.query_exact_certified(np.zeros(0, F32), 3)
    cert = got["certificate"]
    assert got["results"] == [{"idx": i, "score": 0.0} for i in range(3)]
    assert (cert["full_evaluated"], cert["pruned_candidates"], cert["block_order"]) == (5, 0, [])
    assert (cert["threshold_evolution"], cert["safe"]) == ([0.0], True)


def test_argument_errors(write_index):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 4), F32), 1), False)
    q = np.ones(4, F32)
    cases = [(TypeError, r"^argument 'enable_pruning': '.*' object cannot be converted to 'PyBool'$", (q, 1, 64, flag))
             for flag in (0, 1, None, np.bool_(True))]
    cases += [(ValueError, f"^{NOT_FINITE}$", (np.array([1, bad, 1, 1], F32), 1)) for bad in (np.nan, np.inf, -np.inf)]
    cases += [(TypeError, "^The given array is not contiguous$", (np.ones(8, F32)[::2], 1)),
              (TypeError, "^argument 'query': type mismatch", (np.ones(4), 1)), (OverflowError, None, (q, 1, -1)),
              (ValueError, "^Query dimension 3 != index dimension 4$", (np.ones(3, F32), 1))]
    for exc, pattern, args in cases:
        with pytest.raises(exc, match=pattern):
            engine.query_exact_certified(*args)
    got = engine.query_exact_certified(query=q, k=U64_MAX, block_size=U64_MAX, enable_pruning=False)
    assert len(got["results"]) == 3


# Batch form.


def without_time(d):
    return {k: v for k, v in d.items() if k != "query_time_ms"}


def test_batch_equals_single_calls(write_index):
    rng = np.random.default_rng(8)
    X = clustered(rng, 500, 24)
    for metric in (0, 2):
        engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
        Q = (X[:40] + F32(0.05)).astype(F32)
        for queries in (Q, np.asfortranarray(Q)):
            got = engine.query_batch_exact_certified(queries, 4, 8)
            assert [without_time(d) for d in got] == [without_time(certified(engine, q, 4, 8)) for q in Q]
        one = engine.query_batch_exact_certified(Q[:1], 3, enable_pruning=False)
        assert [without_time(d) for d in one] == [without_time(certified(engine, Q[0], 3, 64, False))]
        zero_k = engine.query_batch_exact_certified(Q[:3], 0)
        assert [d["method_used"] for d in zero_k] == ["exact-certified"] * 3


def test_batch_shapes_and_all_or_nothing(write_index):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 4), F32), 1), False)
    no_dims = zorvikdb.PySearchEngine(write_index(np.zeros((5, 0), F32), 1), False)
    assert engine.query_batch_exact_certified(np.zeros((0, 4), F32), 2) == []
    Q = np.ones((64, 4), F32)
    Q[-1, 2] = np.nan  # the last query refuses the whole batch
    for eng, exc, pattern, args in [
            (engine, ValueError, "^Query dimensions 5 != index dimensions 4$", (np.zeros((0, 5), F32), 2)),
            (engine, ValueError, "^Query dimensions 0 != index dimensions 4$", (np.zeros((3, 0), F32), 2)),
            (no_dims, ValueError, "^Query matrix has no columns$", (np.zeros((2, 0), F32), 1)),
            (engine, ValueError, f"^{NOT_FINITE}$", (Q, 2)),
            (engine, TypeError, "^The given array is not contiguous$", (np.ones((4, 8), F32)[:, ::2], 1)),
            (engine, TypeError, r"^argument 'queries': dimensionality mismatch", (np.ones(4, F32), 1)),
            (engine, TypeError, r"^argument 'enable_pruning'", (np.ones((1, 4), F32), 1, 4, 1))]:
        with pytest.raises(exc, match=pattern):
            eng.query_batch_exact_certified(*args)


def test_batch_results_follow_query_order_on_any_pool(fresh_python, write_index):
    rng = np.random.default_rng(4)
    X = clustered(rng, 300, 16)
    path = write_index(X, 1)
    code = f"""
        import json, numpy as np, zorvikdb
        X = np.fromfile({path!r}, dtype="<f4", offset=12).reshape(300, 16)
        e = zorvikdb.PySearchEngine({path!r}, False)
        out = e.query_batch_exact_certified(np.ascontiguousarray(X[::-3] + 0.01, dtype=np.float32), 3, 4)
        print(json.dumps([[h["idx"] for h in d["results"]] for d in out]))
    """
    assert len({fresh_python(code, env={"ZORVIK_THREADS": threads}) for threads in ("1", "3")}) == 1


# Large magnitudes: the block-wise sums and score_pair round differently by more than
# the fixed slack of 0.001.

BASE_QUARTERS = [10799, 12787, 12102, 13625, 13717, 11043, 11692, 11750, 10044, 13476, 11729, 13779,
                 12821, 11030, 11503, 10231, 11599, 13662, 10617, 10583, 13507, 11979, 11527, 13031]
STEP_QUARTERS = [0, 0, 0, 3, 0, 0, 1, 0, 0, -2, 0, 0, 0, 0, 0, 0, 0, -3, 0, 0, 2, -1, 0, 0]
QUERY_QUARTERS = [-1027, -1028, -1028, -1029, -1028, -1029, -1030, -1029, -1026, -1030, -1026, -1029,
                  -1030, -1029, -1030, -1030, -1026, -1026, -1027, -1026, -1027, -1030, -1027, -1028]


@pytest.mark.skipif(IN_PROCESS_ORDER != "vector", reason="the case is built for the vector order")
def test_large_magnitudes_keep_the_exhaustive_answer(write_index):
    base = np.array(BASE_QUARTERS, F32) / 4
    X = np.stack([base, base + np.array(STEP_QUARTERS, F32) / 4]).astype(F32)
    q = np.array(QUERY_QUARTERS, F32) / 4
    # With the fixed slack alone, row 1 (better by one unit in the last place) is pruned
    # by a bound below the root's score, and the verdict would still say safe.
    fixed = model_certified(X, q, 1, 8, True, 1)
    assert fixed["results"][0][0] == 0 and fixed["certificate"]["safe"]
    engine = zorvikdb.PySearchEngine(write_index(X, 1), False)
    got = certified(engine, q, 1, 8)
    exact = engine.query_exact(q, 1).results[0]
    assert (got["results"][0]["idx"], got["results"][0]["score"]) == (exact.idx, exact.score) == (1, -18547352.0)
    assert got["certificate"]["safe"]


@pytest.mark.parametrize("metric", [0, 1, 2])
@pytest.mark.parametrize("copies", [150, 1500])  # 1500: most rows are skipped on the sketch
def test_large_magnitudes_certified_equals_exhaustive(write_index, metric, copies):
    rng = np.random.default_rng(metric)
    base = rng.uniform(2500, 3500, (4, 24)).astype(F32)
    rows = 4 * copies
    X = np.repeat(base, copies, axis=0) + F32(0.25) * rng.integers(-3, 4, (rows, 24)).astype(F32)
    X = X.astype(F32)
    engine = zorvikdb.PySearchEngine(write_index(X, metric), False)
    for i in range(0, rows, rows // 10):
        q = (X[i] / F32(-12 if metric != 2 else 1) + F32(0.25) * rng.integers(-2, 3, 24)).astype(F32)
        for k in (1, 7):
            got = certified(engine, q, k, 8)
            exact = engine.query_exact(q, k).results
            assert [(h["idx"], h["score"]) for h in got["results"]] == [(h.idx, h.score) for h in exact]
            assert got["certificate"]["safe"]
