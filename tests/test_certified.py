"""Certified queries against a row-by-row model of the scan; record caps, dictionaries, batches, large magnitudes."""

import functools
import math
import struct

import blake3
import numpy as np
import pytest

from conftest import F32, HUGE_K, METRICS, hits, model_scores, total_order_key, without_time

CERTIFICATE_KEYS = ["total_candidates", "pruned_candidates", "full_evaluated", "kth_score", "bound_rule", "safe",
                    "block_size", "block_order", "threshold_evolution", "enable_pruning", "simd_path",
                    "compile_flags", "pruned_bound_values", "bound_kind"]


def model_certified(X, q, k, block_size, pruning, metric, slack=0.001, float_root=True):
    """The certified scan, one row at a time, with the fixed slack."""
    X, q = np.asarray(X, F32), np.asarray(q, F32)
    (rows, dims), bs = X.shape, max(block_size, 1)
    blocks = [(s, min(s + bs, dims)) for s in range(0, dims, bs)]
    # Sequential double sums (the builtin sum() of floats is compensated, so not used).
    energy = [functools.reduce(lambda acc, v: acc + v * v, map(float, q[s:e]), -0.0) for s, e in blocks]
    q_sq = functools.reduce(lambda acc, v: acc + v, energy, 0.0)
    order = sorted(range(len(blocks)), key=lambda b: (-energy[b], b))
    scores = model_scores(X, q, metric)
    block_dots = [model_scores(X[:, s:e], q[s:e], 1, "vector") for s, e in blocks]
    row_sq = np.cumsum(X.astype(np.float64) ** 2, axis=1)[:, -1]
    # As the loader stores them: the float root of the float-rounded sum.
    row_norm = np.sqrt(row_sq.astype(F32)) if float_root else np.sqrt(row_sq).astype(F32)

    def key(hit):  # larger is better: totalOrder in the metric's direction, then the lower row
        k = int(total_order_key([hit[1]])[0])
        return (-k if metric == 2 else k, -hit[0])

    k_eff, kept, evolution, bounds, pruned = min(k, rows), [], [], [], 0
    note = lambda lst, v: lst.append(float(F32(v))) if len(lst) < 2048 else None  # noqa: E731
    for r in range(rows):
        if pruning and r >= k_eff and len(kept) >= k_eff:
            threshold, partial, seen, bound = float(min(kept, key=key)[1]), 0.0, 0.0, None
            for b in order:
                partial, seen = partial + float(block_dots[b][r]), seen + energy[b]
                upper = (float(row_norm[r]) * math.sqrt(max(q_sq - seen, 0.0)) + partial) + slack
                value = (float(row_sq[r]) + q_sq) - (upper + upper) if metric == 2 else upper
                kept_value = float(F32(value))  # rounded away from the losing side
                if (kept_value > value) if metric == 2 else (kept_value < value):
                    kept_value = float(np.nextafter(F32(value), F32(-np.inf if metric == 2 else np.inf)))
                if all((v > threshold) if metric == 2 else (threshold > v) for v in (value, kept_value)):
                    bound = kept_value
                    break
            if bound is not None:
                pruned += 1
                note(bounds, bound)
                continue
        hit = (r, scores[r])
        if not np.isfinite(hit[1]):
            continue
        if len(kept) < k_eff or key(hit) > key(min(kept, key=key)):
            if len(kept) == k_eff:
                kept.remove(min(kept, key=key))
            kept.append(hit)
            if len(kept) == k_eff:
                note(evolution, min(kept, key=key)[1])
    results = sorted(kept, key=key, reverse=True)
    kth = float(results[-1][1]) if results else 0.0
    return {"results": [(i, float(s)) for i, s in results], "certificate": {
        "total_candidates": rows, "pruned_candidates": pruned, "full_evaluated": rows - pruned, "kth_score": kth,
        "safe": all((v > kth) if metric == 2 else (kth > v) for v in bounds), "block_size": bs, "block_order": order,
        "threshold_evolution": evolution, "enable_pruning": pruning, "pruned_bound_values": bounds}}


def bits(values):
    return [struct.pack("<f", v) for v in values]


def assert_matches_model(got, model):
    assert [(h["idx"], bits([h["score"]])) for h in got["results"]] == [(i, bits([s])) for i, s in model["results"]]
    cert, want = got["certificate"], model["certificate"]
    for key in ("threshold_evolution", "pruned_bound_values"):
        assert bits(cert[key]) == bits(want[key]), key
    assert bits([cert["kth_score"]]) == bits([want["kth_score"]])
    for key in ("total_candidates", "pruned_candidates", "full_evaluated", "safe", "block_size", "block_order",
                "enable_pruning"):
        assert cert[key] == want[key], key


def clustered(rng, rows, dims, centres=6, spread=0.15, metric=1):
    X = rng.standard_normal((centres, dims))[rng.integers(0, centres, rows)] + spread * rng.standard_normal((rows, dims))
    return (X / np.linalg.norm(X, axis=1, keepdims=True) if metric == 0 else X).astype(F32)


def certified(engine, q, k, block_size=64, enable_pruning=True):
    return engine.query_exact_certified(np.asarray(q, F32), k, block_size, enable_pruning)


# Then: blocks of eight and a short last one, block_size 0 as 1, one block, k = rows (no bound test), k past the rows.
@pytest.mark.parametrize("metric,rows,dims,k,block_size,pruning", [
    (0, 400, 20, 5, 4, True), (1, 400, 20, 5, 4, True), (2, 400, 20, 5, 4, True), (1, 400, 20, 5, 4, False),
    (2, 300, 37, 3, 8, True), (1, 300, 37, 1, 0, True), (0, 300, 16, 12, 64, True), (2, 300, 24, 300, 5, True),
    (1, 50, 24, 10**6, 5, True)])
def test_scan_matches_the_model(open_index, metric, rows, dims, k, block_size, pruning):
    rng = np.random.default_rng(rows + dims + metric)
    X = clustered(rng, rows, dims, metric=metric)
    X[1, 2], X[40, 0] = np.inf, np.nan  # evaluated, never returned
    engine = open_index(X, metric)
    for q in (X[7] + F32(0.05), rng.standard_normal(dims).astype(F32)):
        got = certified(engine, q, k, block_size, pruning)
        assert_matches_model(got, model_certified(X, q, k, block_size, pruning, metric))
        assert got["certificate"]["safe"] is True
        assert got["method_used"] == ("exact-certified-pruning" if pruning else "exact-certified-no-pruning")
        # The data exercises the bound, and the answer is exhaustive: query_exact's rows.
        assert not (pruning and k < rows and block_size < dims) or got["certificate"]["pruned_candidates"] > 0
        assert hits(engine.query_exact(q, k)) == [(h["idx"], h["score"]) for h in got["results"]]


def test_row_norms_are_float_roots_of_the_rounded_sums(open_index):
    # About one row in nine has a float root of the float-rounded sum one unit away from
    # the double root rounded to float; the recorded bounds show which one the engine uses.
    rng = np.random.default_rng(0)
    X, q = (rng.standard_normal((200, 6)) * 4).astype(F32), (rng.standard_normal(6) * 4).astype(F32)
    want, other = (model_certified(X, q, 3, 2, True, 1, float_root=f)["certificate"] for f in (True, False))
    assert bits(want["pruned_bound_values"]) != bits(other["pruned_bound_values"])
    assert_matches_model(certified(open_index(X), q, 3, 2), model_certified(X, q, 3, 2, True, 1))


@pytest.mark.parametrize("metric", METRICS)
def test_rows_past_the_record_cap_match_the_model(open_index, metric):
    # Records stop at 2048; past that, rows are skipped on their 8-bit sketch: a late exact copy
    # of the best row, a late row one step better and a late infinity must still be scored in
    # full, and every count and record must stay the model's.
    rng = np.random.default_rng(40 + metric)
    X = clustered(rng, 6000, 24, centres=4, spread=0.3, metric=metric)
    q = (X[3] + F32(0.01)).astype(F32)
    X[5000], X[5001] = X[3], X[3] + np.where(q > 0, F32(1e-3), F32(-1e-3)) * (-1 if metric == 2 else 1)
    X[5002, 5] = np.inf
    got = certified(open_index(X, metric), q, 5, 4)
    assert got["certificate"]["pruned_candidates"] > 4000 and len(got["certificate"]["pruned_bound_values"]) == 2048
    assert_matches_model(got, model_certified(X, q, 5, 4, True, metric))


def test_block_order_follows_the_query_energy(open_index):
    engine, q = open_index(np.random.default_rng(5).standard_normal((30, 10)).astype(F32)), np.arange(10, dtype=F32) % 5
    # Ties go to the lower block; a block size of at least the dimensions is one block and is kept as given.
    for query, bs, order in ((q, 4, [2, 1, 0]), (np.zeros(10, F32), 4, [0, 1, 2]), (q, 10, [0]), (q, 11, [0]), (q, HUGE_K, [0])):
        cert = certified(engine, query, 2, bs)["certificate"]
        assert (cert["block_order"], cert["block_size"]) == (order, bs)


def test_dictionary_keys_values_and_hashes(open_index):
    engine = open_index(np.eye(4, dtype=F32), 0)
    q = np.array([0.5, -0.0, 0.25, 0.0], F32)
    got, detailed = certified(engine, q, 2, 2), engine.query_exact_detailed(q, 2)
    facts = ["index_hash", "engine_version", "metric", "normalized", "dims", "rows", "index_path"]
    assert list(got) == ["results", "query_time_ms", "method_used", "index_hash", "query_hash", *facts[1:], "certificate"]
    assert list(got["certificate"]) == CERTIFICATE_KEYS and [list(h) for h in got["results"]] == [["idx", "score"]] * 2
    assert [got[key] for key in facts] == [getattr(detailed, key) for key in facts] and got["query_time_ms"] >= 0.0
    assert got["query_hash"] == blake3.blake3(q.tobytes()).hexdigest() != certified(engine, abs(q), 2)["query_hash"]
    cert = got["certificate"]
    assert cert["simd_path"] in ("avx2", "avx", "sse4.2", "scalar") and cert["compile_flags"] == "arch=x86_64"
    assert (cert["bound_rule"], cert["bound_kind"]) == ("upper_bound = partial_dot + ||q_rem||*||x||", "upper_bound")
    l2 = certified(open_index(np.eye(4, dtype=F32), 2), q, 2)["certificate"]
    assert (l2["bound_rule"], l2["bound_kind"]) == (
        "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)", "lower_bound")


def test_empty_answers_and_zero_dimensions(open_index):
    for engine, k, rows in ((open_index(np.ones((3, 4), F32)), 0, 3), (open_index(np.zeros((0, 4), F32), 2), 5, 0)):
        got = engine.query_exact_certified(np.ones(4, F32), k, 0, False)
        assert (got["results"], got["method_used"], got["query_time_ms"]) == ([], "exact-certified", 0.0)
        assert {key: got["certificate"][key] for key in CERTIFICATE_KEYS[:10]} == dict(zip(CERTIFICATE_KEYS, [
            rows, 0, 0, 0.0, "empty-result", True, 1, [], [], False])) and got["certificate"]["bound_kind"] == "none"
    got = open_index(np.zeros((5, 0), F32)).query_exact_certified(np.zeros(0, F32), 3)
    cert = got["certificate"]
    assert got["results"] == [{"idx": i, "score": 0.0} for i in range(3)]
    assert (cert["full_evaluated"], cert["pruned_candidates"], cert["block_order"], cert["threshold_evolution"],
            cert["safe"]) == (5, 0, [], [0.0], True)


def test_batch_equals_single_calls(open_index):
    rng = np.random.default_rng(8)
    X = clustered(rng, 500, 24)
    for metric in (0, 2):
        engine = open_index(X, metric)
        Q = (X[:40] + F32(0.05)).astype(F32)
        for queries in (Q, np.asfortranarray(Q)):
            got = engine.query_batch_exact_certified(queries, 4, 8)
            assert [without_time(d) for d in got] == [without_time(certified(engine, q, 4, 8)) for q in Q]
        one = engine.query_batch_exact_certified(Q[:1], 3, enable_pruning=False)
        assert [without_time(d) for d in one] == [without_time(certified(engine, Q[0], 3, 64, False))]
        assert [d["method_used"] for d in engine.query_batch_exact_certified(Q[:3], 0)] == ["exact-certified"] * 3
        assert engine.query_batch_exact_certified(np.zeros((0, 24), F32), 2) == []


def test_batch_results_follow_query_order_on_any_pool(fresh_python, write_index):
    path = write_index(clustered(np.random.default_rng(4), 300, 16))
    code = f"""
        import json, numpy as np, zorvikdb
        X = np.fromfile({path!r}, dtype="<f4", offset=12).reshape(300, 16)
        e = zorvikdb.PySearchEngine({path!r}, False)
        out = e.query_batch_exact_certified(np.ascontiguousarray(X[::-3] + 0.01, dtype=np.float32), 3, 4)
        print(json.dumps([[h["idx"] for h in d["results"]] for d in out]))
    """
    assert len({fresh_python(code, env={"ZORVIK_THREADS": threads}) for threads in ("1", "3")}) == 1


# Large magnitudes near ties: the block-wise sums and the exhaustive scores round differently by more than
# the fixed slack of 0.001.
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("copies", [150, 1500])  # 1500: most rows are skipped on the sketch
def test_large_magnitudes_certified_equals_exhaustive(open_index, metric, copies):
    rng = np.random.default_rng(metric)
    base, rows = rng.uniform(2500, 3500, (4, 24)).astype(F32), 4 * copies
    X = (np.repeat(base, copies, axis=0) + F32(0.25) * rng.integers(-3, 4, (rows, 24)).astype(F32)).astype(F32)
    engine = open_index(X, metric)
    for i in range(0, rows, rows // 10):
        q = (X[i] / F32(-12 if metric != 2 else 1) + F32(0.25) * rng.integers(-2, 3, 24)).astype(F32)
        for k in (1, 7):
            got = certified(engine, q, k, 8)
            assert [(h["idx"], h["score"]) for h in got["results"]] == hits(engine.query_exact(q, k))
            assert got["certificate"]["safe"]


def test_bounds_within_a_float_rounding_of_the_kth_score_keep_the_certificate_safe(open_index):
    # 150 distinct rows repeated: many recorded bounds land on the k-th score's float, where
    # a bound rounded to nearest could equal it. Recorded bounds are rounded outward and a
    # row is pruned only when that value still loses, so the re-check always agrees.
    rng = np.random.default_rng(0)
    engine = open_index(rng.standard_normal((150, 8)).astype(F32)[rng.integers(0, 150, 3000)], 2)
    for i in range(60):
        q, k, block_size = (rng.standard_normal(8) * 1e6).astype(F32), (1, 5, 10)[i % 3], (1, 7, 64)[i // 20]
        got = certified(engine, q, k, block_size)
        assert got["certificate"]["safe"] and got["certificate"]["pruned_candidates"] > 0
        assert [(h["idx"], h["score"]) for h in got["results"]] == hits(engine.query_exact(q, k))
