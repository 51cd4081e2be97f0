"""The sketch strategies: every answer is the kernel scan's, bit for bit, on any data; the route is named."""

import json

import numpy as np
import pytest

from conftest import HUGE_K, set_env

SKETCH_MATCHES_KERNEL = """
import json, os, struct, numpy as np, zorvikdb
rng = np.random.default_rng(4)
def answer(r, j=None):  # indices and score bits, of a single answer or row j of a batch
    idx, sc = (r["indices"], r["scores"]) if j is None else (r["indices"][j], r["scores"][j])
    return [int(i) for i in idx], np.asarray(sc, np.float32).view(np.uint32).tolist()
def engine(X, metric, name):
    path = os.path.join(os.environ["OUT"], name)
    with open(path, "wb") as f:
        f.write(struct.pack("<III", X.shape[1], X.shape[0], metric) + np.ascontiguousarray(X, "<f4").tobytes())
    return zorvikdb.PySearchEngine(path, False)
base = rng.standard_normal((2500, 40)).astype(np.float32)
holes = base.copy()
holes[[5, 77]] = np.nan
holes[9, 2], holes[10, 0] = np.inf, -np.inf
with np.errstate(over="ignore"):
    data = {"gauss": base, "normalised": base / np.linalg.norm(base, axis=1, keepdims=True),
            "near ties": (rng.standard_normal(40) + base * 1e-6).astype(np.float32),
            "duplicates": base[rng.integers(0, 30, 2500)],
            "mixed scales": base * np.exp(rng.uniform(-40, 40, (2500, 1))).astype(np.float32),
            "float limit": base * np.float32(1e37), "subnormal": base * np.float32(1e-41),
            "tiny": base * np.float32(1e-30), "non-finite rows": holes,
            "dims 7": base[:, :7], "dims 1": base[:40, :1], "dims 0": base[:, :0], "one row": base[:1]}
wrong, methods = [], set()
for name, X in data.items():
    for metric in (0, 1, 2):
        e = engine(X, metric, f"{len(wrong)}{name}{metric}.bin".replace(" ", "_"))
        spread = np.nanstd(np.where(np.isfinite(X), X, np.nan).astype(np.float64)) if X.size else 1
        Q = np.concatenate([np.nan_to_num(X[:4]) * np.float32(0.999), rng.standard_normal((6, X.shape[1])) * spread])
        Q = np.clip(Q, -3e38, 3e38)
        Q = Q.astype(np.float32)
        for k in (0, 1, 10, 100, len(X), HUGE_K):
            os.environ["ZORVIK_SINGLE_MODE"] = "rayon"
            want = [e.query_exact_arrays(q, k) for q in Q]
            os.environ["ZORVIK_SINGLE_MODE"] = "sketch"
            got = [e.query_exact_arrays(q, k) for q in Q]
            os.environ["ZORVIK_BATCH_MODE"] = "sketch"
            batch = e.query_batch_arrays(Q, k) if k and X.size else None  # no answers at all
            if batch is not None and k == 10:  # a batch of 4 alone, against the first four
                four = e.query_batch_arrays(Q[:4], k)
                if any(answer(four, j) != answer(batch, j) for j in range(4)):
                    wrong.append([name, metric, k, "batch of 4"])
            methods.update(g["method_used"] for g in got)
            for j, (g, w) in enumerate(zip(got, want)):
                if answer(g) != answer(w):
                    wrong.append([name, metric, k, "single"])
                if batch is not None and answer(batch, j) != answer(w):
                    wrong.append([name, metric, k, "batch"])
# Rounding of the sketch at its worst: one side exactly on its code grid (a 127 pins every
# scale), the other off its grid by 0.45 of a step along one direction u that the first
# side's codes follow, so the sketch's order differs from the true one by about its error
# bound. Dropping any error term of the bounds gives wrong answers here. 104 dimensions
# take every path of the batch products: steps of 64 and 32 and a tail.
u = rng.standard_normal(104); u /= np.abs(u).max()
def on_grid_along_u(n):
    c = np.clip(np.round(rng.uniform(20, 100, (n, 1)) * u + rng.normal(0, 3, (n, 104))), -126, 126)
    c[:, 0] = 127
    return c.astype(np.float32)
def off_grid(n):
    c = np.clip(np.round(rng.normal(0, 40, (n, 104))), -126, 126)
    c[:, 1] = 127
    return (c + 0.45 * rng.choice([-1.0, 1.0], (n, 1)) * u).astype(np.float32)
for name, X, Q in (("query off its grid", on_grid_along_u(2500), off_grid(30)),
                   ("rows off their grid", off_grid(2500), on_grid_along_u(30))):
    for metric in (0, 1, 2):
        e = engine(X, metric, f"grid{len(name)}{metric}.bin")
        for k in (1, 10, 100):
            os.environ["ZORVIK_SINGLE_MODE"] = "rayon"
            want = [e.query_exact_arrays(q, k) for q in Q]
            os.environ["ZORVIK_SINGLE_MODE"] = "sketch"
            batch = e.query_batch_arrays(Q, k)
            for j, (q, w) in enumerate(zip(Q, want)):
                if answer(e.query_exact_arrays(q, k)) != answer(w):
                    wrong.append([name, metric, k, "single"])
                if answer(batch, j) != answer(w):
                    wrong.append([name, metric, k, "batch"])

# Batches of 1,000 queries (tiles and row pieces of every shape), against single answers.
for name in ("gauss", "near ties", "duplicates", "non-finite rows"):
    X = data[name]
    for metric in (0, 1, 2):
        e = engine(X, metric, f"big{name}{metric}.bin".replace(" ", "_"))
        finite = X[np.isfinite(X).all(axis=1)]  # every query then has k finite answers
        Q = np.concatenate([finite[rng.integers(0, len(finite), 500)] * np.float32(1.001),
                            rng.standard_normal((500, X.shape[1])).astype(np.float32)])
        os.environ["ZORVIK_SINGLE_MODE"] = "rayon"
        want = [e.query_exact_arrays(q, 10) for q in Q]
        os.environ["ZORVIK_BATCH_MODE"] = "sketch"
        batch = e.query_batch_arrays(Q, 10)
        if any(answer(batch, j) != answer(w) for j, w in enumerate(want)):
            wrong.append([name, metric, 10, "batch of 1000"])
print(json.dumps([wrong[:5], sorted(methods)]))
""".replace("HUGE_K", str(HUGE_K))


# scalar "1": the scalar order and the baseline code products, with every sketch built at opening
@pytest.mark.parametrize("scalar, threads", [(None, "1"), (None, "2"), ("1", "2")])
def test_sketch_answers_are_the_kernel_scans_bit_for_bit(fresh_python, tmp_path, scalar, threads):
    env = {"OUT": str(tmp_path), "ZORVIK_FORCE_SCALAR": scalar, "ZORVIK_SKETCH_AT_OPEN": scalar,
           "ZORVIK_THREADS": threads}
    wrong, methods = json.loads(fresh_python(SKETCH_MATCHES_KERNEL, env=env, timeout=600))
    assert wrong == [] and methods == ["exact", "sketch"]


def test_near_ties_everywhere_fall_back_to_the_kernel_scan(open_index, monkeypatch):
    # 6,000 rows within rounding of each other: every row is a candidate, past the budget.
    rng = np.random.default_rng(8)
    X = (np.ones(64) + rng.standard_normal((6000, 64)) * 1e-7).astype(np.float32)
    engine, q = open_index(X, 1), rng.standard_normal(64).astype(np.float32)
    set_env(monkeypatch, ZORVIK_SINGLE_MODE="rayon")
    want = engine.query_exact_arrays(q, 10)
    set_env(monkeypatch, ZORVIK_SINGLE_MODE="sketch")
    got = engine.query_exact_arrays(q, 10)
    assert got["method_used"] == "sketch-fallback"
    np.testing.assert_array_equal(got["indices"], want["indices"])
    np.testing.assert_array_equal(got["scores"].view(np.uint32), want["scores"].view(np.uint32))


# Spread rows keep between k and every row as candidates; rows within rounding of each other
# pass the budget, and the scan reports the count it had reached when it stopped.
@pytest.mark.parametrize("centre, spread, method, fewest", [(0, 1, "sketch", 10), (1, 1e-7, "sketch-fallback", 11)])
def test_sketch_candidates_are_counted_and_named_as_the_strategy_names_them(open_index, monkeypatch, centre, spread,
                                                                            method, fewest):
    rng = np.random.default_rng(8)
    X = (centre + rng.standard_normal((6000, 64)) * spread).astype(np.float32)
    engine, q = open_index(X, 1), rng.standard_normal(64).astype(np.float32)
    got = engine._sketch_candidates(q, 10)
    set_env(monkeypatch, ZORVIK_SINGLE_MODE="sketch")
    assert got["method"] == method == engine.query_exact_arrays(q, 10)["method_used"]
    assert fewest <= got["candidates"] <= len(X)


# ZORVIK_SKETCH_DIR: the first opening saves its sketch under the index's hash, a later one
# reads it back; a file of another index, cut short or with a byte changed anywhere is never
# used (the answers stay the kernel scan's and the file is written anew); a directory that
# is missing only means building.
@pytest.mark.parametrize("damage", [None, "code byte", "last fact byte", "header byte", "cut", "other index",
                                    "no directory"])
def test_saved_sketches_are_used_only_whole_and_for_their_own_index(write_index, tmp_path, monkeypatch, damage):
    import zorvikdb

    rng = np.random.default_rng(3)
    X = rng.standard_normal((3000, 48)).astype(np.float32)
    Q = rng.standard_normal((5, 48)).astype(np.float32)
    path = write_index(X, 2)
    cache = tmp_path / "sketches"
    cache.mkdir()
    set_env(monkeypatch, ZORVIK_SKETCH_DIR=str(cache if damage != "no directory" else tmp_path / "absent"))

    def answers():
        engine = zorvikdb.PySearchEngine(path, False)
        single = [engine.query_exact_arrays(q, 10) for q in Q]
        batch = engine.query_batch_arrays(Q, 10)
        return ([r["indices"].tolist() for r in single] + [batch["indices"].tolist()],
                [r["scores"].view(np.uint32).tolist() for r in single] + [batch["scores"].view(np.uint32).tolist()])

    set_env(monkeypatch, ZORVIK_SINGLE_MODE="rayon", ZORVIK_BATCH_MODE="rayon")
    want = answers()
    set_env(monkeypatch, ZORVIK_SINGLE_MODE="sketch", ZORVIK_BATCH_MODE="sketch")
    assert answers() == want
    if damage == "no directory":
        assert not (tmp_path / "absent").exists()
        return
    [saved] = list(cache.iterdir())  # no temporary file left beside it
    assert len(saved.name) == 64 + len(".sketch") and saved.name.endswith(".sketch")
    blob = bytearray(saved.read_bytes())
    if damage == "other index":  # a whole sketch of rows of the same shape, under this name
        other = zorvikdb.PySearchEngine(write_index(X[::-1].copy(), 2), False)
        other.query_exact_arrays(Q[0], 10)
        blob = bytearray(next(p for p in cache.iterdir() if p != saved).read_bytes())
    at = {"code byte": 128 + 1000, "last fact byte": len(blob) - 1, "header byte": 20}.get(damage)
    if at is not None:
        blob[at] ^= 0x10
    saved.write_bytes(blob[:-8] if damage == "cut" else blob)
    inode = saved.stat().st_ino

    assert answers() == want
    assert (saved.stat().st_ino == inode) == (damage is None)  # used as it was, or replaced
    inode = saved.stat().st_ino
    assert answers() == want and saved.stat().st_ino == inode  # the replacement is used
