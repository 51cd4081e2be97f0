"""Row sums of squares kept by an opened index, against an element-order NumPy model.

The sums are not exposed, but the euclidean matrix strategies rank by
(|x|^2 + |q|^2) - 2 q.x with |x|^2 taken from them. Every row here holds the same large
value B at one position p and the query is B at p, zero elsewhere: then q.x = B^2 and
|q|^2 = B^2 exactly, whatever order the product sums in, and the score is |x|^2 - B^2
rounded once. The small squares added after B are partly absorbed by it, so that
difference shows the row's sum to within two units of its last place, and any other order
of additions (blocks first, lanes, pairwise) shows up in it.
"""

import numpy as np
import pytest

from conftest import index_bytes

BIG = np.float32(2.0**20)


def element_order_sums(X):
    """Per row: -0.0, then + x*x (in float64) for each element in index order."""
    s = np.full(X.shape[0], -0.0)
    X64 = X.astype(np.float64)
    for t in range(X.shape[1]):
        s = s + X64[:, t] * X64[:, t]
    return s


QUERY_SCRIPT = """
import sys, numpy as np, zorvikdb
engine = zorvikdb.PySearchEngine(sys.argv[1], False)
q = np.load(sys.argv[2])
got = engine.query_exact_arrays(q, engine.rows())
order = np.argsort(got["indices"])
np.save(sys.argv[3], got["scores"][order])
"""


# Rows: a multiple of the eight summed together, and not; one small index summed before
# the digest and larger ones summed beside it. Dimensions: below, at and past a group of
# four, with the large value early, mid-row or last.
@pytest.mark.parametrize(
    "rows, dims, p",
    [(37, 5, 2), (10003, 131, 60), (8000, 132, 131), (10001, 67, 0)],
)
@pytest.mark.parametrize("threads", ["1", "2"])
def test_row_sums_follow_the_element_order(tmp_path, fresh_python, rows, dims, p, threads):
    rng = np.random.default_rng(rows + dims)
    X = (rng.standard_normal((rows, dims)) * rng.uniform(0.01, 4.0, (rows, 1))).astype(np.float32)
    X[:, p] = BIG
    q = np.zeros(dims, dtype=np.float32)
    q[p] = BIG
    index = tmp_path / "x.bin"
    index.write_bytes(index_bytes(X, "euclidean"))
    np.save(tmp_path / "q.npy", q)
    script = tmp_path / "query.py"
    script.write_text(QUERY_SCRIPT)

    rc, _, err = fresh_python(
        f"import runpy, sys; sys.argv = ['q', {str(index)!r}, {str(tmp_path / 'q.npy')!r}, "
        f"{str(tmp_path / 'out.npy')!r}]; runpy.run_path({str(script)!r})",
        env={"ZORVIK_THREADS": threads, "ZORVIK_SINGLE_MODE": "matrix_full"},
    )
    assert rc == 0, err
    got = np.load(tmp_path / "out.npy")

    b2 = np.float64(BIG) * np.float64(BIG)
    want = ((element_order_sums(X) + b2) - (b2 + b2)).astype(np.float32)
    np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))
    # The case is sharp: summing the same squares pairwise changes some of these scores.
    pairwise = ((np.sum(X.astype(np.float64) ** 2, axis=1) + b2) - (b2 + b2)).astype(np.float32)
    assert dims < 8 or (pairwise.view(np.uint32) != want.view(np.uint32)).any()
