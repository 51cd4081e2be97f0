"""The sketch strategies: every answer is the kernel scan's, bit for bit, on any data; the route is named."""

import json

import numpy as np
import pytest

from conftest import HUGE_K, set_env

SKETCH_MATCHES_KERNEL = """
import json, os, struct, numpy as np, zorvikdb
rng = np.random.default_rng(4)
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
            methods.update(g["method_used"] for g in got)
            for j, (g, w) in enumerate(zip(got, want)):
                w = (w["indices"].tolist(), w["scores"].view(np.uint32).tolist())
                if (g["indices"].tolist(), g["scores"].view(np.uint32).tolist()) != w:
                    wrong.append([name, metric, k, "single"])
                if batch is not None and (list(batch["indices"][j]), np.asarray(batch["scores"][j], np.float32).view(np.uint32).tolist()) != w:
                    wrong.append([name, metric, k, "batch"])
print(json.dumps([wrong[:5], sorted(methods)]))
""".replace("HUGE_K", str(HUGE_K))


# "1": the scalar order and the baseline code products, with every sketch built at opening
@pytest.mark.parametrize("scalar", [None, "1"])
def test_sketch_answers_are_the_kernel_scans_bit_for_bit(fresh_python, tmp_path, scalar):
    env = {"OUT": str(tmp_path), "ZORVIK_FORCE_SCALAR": scalar, "ZORVIK_SKETCH_AT_OPEN": scalar}
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
