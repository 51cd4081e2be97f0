"""Result objects, array dictionaries and detailed results of the single-query methods."""

import blake3
import numpy as np
import pytest

import zorvikdb
from conftest import hits

OPTIONAL = ("index_hash", "query_hash", "engine_version", "metric", "normalized", "dims", "rows", "index_path")
Q = np.array([1, 0, 0], np.float32)


@pytest.fixture(params=["cosine", "dot", "euclidean"])
def engine(request, open_index):
    x = np.array([[0.1, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 2.0], [1.0, 1.0, 1.0]], np.float32)
    return open_index(x, request.param), request.param


def test_plain_and_empty_result_fields(engine):
    res, empty = engine[0].query_exact(Q, 2), engine[0].query_exact(Q, 0)
    assert isinstance(res, zorvikdb.PyQueryResult) and all(getattr(res, n) is None for n in OPTIONAL)
    assert repr(res) == str(res) == f"<PyQueryResult results=2 time={res.query_time_ms:.3f}ms method={res.method_used}>"
    assert repr(empty) == "<PyQueryResult results=0 time=0.000ms method=exact>"
    assert [a.shape for a in list(engine[0].query_exact_arrays(Q, 0).values())[:2]] == [(0,), (0,)]


def test_results_are_fresh_read_only_copies(engine):
    res = engine[0].query_exact(Q, 4)
    a, b = res.results, res.results
    assert a is not b and a != b  # items compare by identity
    assert hits(res) == [(h.idx, h.score) for h in a]
    a.clear()
    assert len(res.results) == 4 and isinstance(b[0].idx, int)
    assert all(h.score == float(np.float32(h.score)) for h in b)  # float32 widened, not a shorter decimal
    for target, name in ((res, "method_used"), (b[0], "idx"), (b[0], "score"), (res, "extra")):
        with pytest.raises(AttributeError):
            setattr(target, name, 1)
        with pytest.raises(AttributeError):
            delattr(target, name)
    for cls in (type(res), type(b[0])):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()


def test_arrays_and_detailed_results(engine):
    eng, metric = engine
    q = np.array([-0.0, 1.0, 0.5], np.float32)  # the hash takes the raw bytes: -0.0 is not 0.0
    plain, d, res = eng.query_exact(q, 3), eng.query_exact_arrays(q, 3), eng.query_exact_detailed(q, 3)
    assert list(d) == ["indices", "scores", "query_time_ms", "method_used", "index_hash",
                       "metric", "normalized", "dims", "rows", "index_path"]
    assert (d["indices"].dtype, d["scores"].dtype) == (np.uint64, np.float32) and not np.shares_memory(d["indices"], d["scores"])
    assert list(zip(d["indices"].tolist(), d["scores"].tolist())) == hits(plain) == hits(res)
    for a in (d["indices"], d["scores"]):
        assert a.flags.writeable and a.flags.c_contiguous and (a.flags.owndata or a.base is not None)
    facts = (metric, metric == "cosine", 3, 4)
    assert (d["metric"], d["normalized"], d["dims"], d["rows"]) == (res.metric, res.normalized, res.dims, res.rows) == facts
    assert (d["index_hash"], d["index_path"]) == (res.index_hash, res.index_path)
    assert res.query_hash == blake3.blake3(q.tobytes()).hexdigest()
