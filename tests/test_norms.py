"""Row sums of squares of an opened index, which euclidean matrix strategies rank with, follow the element order."""

import numpy as np
import pytest

from conftest import index_bytes

# Every row holds B at p and so does the query, zero elsewhere: the score is |x|^2 - B^2 rounded once, and the
# small squares partly absorbed by B show any other order of additions.
BIG = np.float32(2.0**20)


# Rows: a multiple of the eight summed together or not, a small index and larger ones; dimensions below, at
# and past a group of four, with the large value early, mid-row or last.
@pytest.mark.parametrize("rows, dims, p", [(37, 5, 2), (10003, 131, 60), (8000, 132, 131), (10001, 67, 0)])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_row_sums_follow_the_element_order(tmp_path, fresh_python, rows, dims, p, threads):
    rng = np.random.default_rng(rows + dims)
    X = (rng.standard_normal((rows, dims)) * rng.uniform(0.01, 4.0, (rows, 1))).astype(np.float32)
    X[:, p] = BIG
    q = np.where(np.arange(dims) == p, BIG, np.float32(0))
    (tmp_path / "x.bin").write_bytes(index_bytes(X, "euclidean"))
    np.save(tmp_path / "q.npy", q)
    fresh_python(f"""
        import os, numpy as np, zorvikdb
        os.chdir({str(tmp_path)!r})
        engine = zorvikdb.PySearchEngine("x.bin", False)
        got = engine.query_exact_arrays(np.load("q.npy"), engine.rows())
        np.save("out.npy", got["scores"][np.argsort(got["indices"])])
    """, env={"ZORVIK_THREADS": threads, "ZORVIK_SINGLE_MODE": "matrix_full"})
    got = np.load(tmp_path / "out.npy")
    sums = np.full(rows, -0.0)  # -0.0, then + x*x (in float64) for each element in index order
    for t in range(dims):
        sums = sums + X[:, t].astype(np.float64) ** 2
    b2 = np.float64(BIG) * np.float64(BIG)
    want = ((sums + b2) - (b2 + b2)).astype(np.float32)
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))
    # The case is sharp: summing the same squares pairwise changes some of these scores.
    pairwise = ((np.sum(X.astype(np.float64) ** 2, axis=1) + b2) - (b2 + b2)).astype(np.float32)
    assert dims < 8 or (pairwise.view(np.uint32) != want.view(np.uint32)).any()
