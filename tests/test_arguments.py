"""Argument binding and conversion: exact error types and texts."""

import pathlib

import numpy as np
import pytest

import zorvikdb

Q = np.ones(4, np.float32)
ENGINE = zorvikdb.PySearchEngine
PREPARE = zorvikdb.py_prepare_bin_from_embeddings
EXACT = "PySearchEngine.query_exact()"
NOT_PYBOOL = "argument 'ann': '{}' object cannot be converted to 'PyBool'"


@pytest.fixture
def engine(write_index):
    path = write_index(np.arange(12, dtype=np.float32).reshape(3, 4))
    return ENGINE(path, False), path


# (call with the engine and its path, exact type, exact text; None: the interpreter's own
# overflow text, without the "argument" prefix)
ERRORS = [
    (lambda e, p: e.query_exact(Q), TypeError, f"{EXACT} missing 1 required positional argument: 'k'"),
    (lambda e, p: e.query_exact(), TypeError, f"{EXACT} missing 2 required positional arguments: 'query' and 'k'"),
    (lambda e, p: e.query_exact(Q, 1, 2), TypeError, f"{EXACT} takes 2 positional arguments but 3 were given"),
    (lambda e, p: e.query_exact(Q, 1, kk=2), TypeError, f"{EXACT} got an unexpected keyword argument 'kk'"),
    (lambda e, p: e.query_exact(Q, 1, k=2), TypeError, f"{EXACT} got multiple values for argument 'k'"),
    (lambda e, p: e.query_exact_arrays(k=1), TypeError,
     "PySearchEngine.query_exact_arrays() missing 1 required positional argument: 'query'"),
    (lambda e, p: ENGINE(), TypeError,
     "PySearchEngine.__new__() missing 2 required positional arguments: 'bin_path' and 'ann'"),
    (lambda e, p: ENGINE("a", False, 1), TypeError,
     "PySearchEngine.__new__() takes 2 positional arguments but 3 were given"),
    (lambda e, p: PREPARE(), TypeError, "py_prepare_bin_from_embeddings() missing 5 required positional arguments: "
     "'embeddings', 'dims', 'rows', 'base_name', and 'level'"),
    (lambda e, p: PREPARE(*range(11)), TypeError,
     "py_prepare_bin_from_embeddings() takes from 5 to 10 positional arguments but 11 were given"),
    # vectors
    (lambda e, p: e.query_exact(np.ones(4), 1), TypeError, "argument 'query': type mismatch:\n from=float64, to=float32"),
    (lambda e, p: e.query_exact(np.ones(4, ">f4"), 1), TypeError, "argument 'query': type mismatch:\n from=>f4, to=float32"),
    (lambda e, p: e.query_exact([1.0, 2.0, 3.0, 4.0], 1), TypeError,
     "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda e, p: e.query_exact(np.ones((1, 4), np.float32), 1), TypeError,
     "argument 'query': dimensionality mismatch:\n from=2, to=1"),
    (lambda e, p: e.query_exact(np.float32(1.0), 1), TypeError,
     "argument 'query': 'float32' object cannot be converted to 'PyArray<T, D>'"),
    # the layout is checked after every argument is converted
    (lambda e, p: e.query_exact(np.ones(8, np.float32)[::2], 1), TypeError, "The given array is not contiguous"),
    (lambda e, p: e.query_exact(np.ones(8, np.float32)[::2], -1), OverflowError, None),
    # counts
    (lambda e, p: e.query_exact(Q, -1), OverflowError, None),
    (lambda e, p: e.query_exact(Q, 2**64), OverflowError, None),
    (lambda e, p: e.query_exact(Q, 1.0), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda e, p: e.query_exact(Q, "3"), TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    # explain and compare: the layout is checked before the index and block arguments
    (lambda e, p: e.explain(np.ones(8, np.float32)[::2], 99, 0, 0), TypeError, "The given array is not contiguous"),
    (lambda e, p: e.compare(Q, -1, 0, 1, 1), OverflowError, None),
    (lambda e, p: e.explain(Q, 0, 1, 1.5), TypeError,
     "argument 'top_blocks': 'float' object cannot be interpreted as an integer"),
    (lambda e, p: e.explain(Q, 0, 1), TypeError,
     "PySearchEngine.explain() missing 1 required positional argument: 'top_blocks'"),
    # constructor
    (lambda e, p: ENGINE(p, 1), TypeError, NOT_PYBOOL.format("int")),
    (lambda e, p: ENGINE(p, 0), TypeError, NOT_PYBOOL.format("int")),
    (lambda e, p: ENGINE(p, None), TypeError, NOT_PYBOOL.format("NoneType")),
    (lambda e, p: ENGINE(p.encode(), False), TypeError,
     "argument 'bin_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda e, p: ENGINE(pathlib.Path(p), False), TypeError,
     "argument 'bin_path': 'PosixPath' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, exc, text", ERRORS)
def test_argument_errors(engine, call, exc, text):
    with pytest.raises(Exception) as info:
        call(*engine)
    err = info.value
    assert type(err) is exc and err.__cause__ is None
    if text is None:
        assert not str(err).startswith("argument")
    else:
        assert str(err) == text


def test_accepted_arguments(engine):
    e, path = engine
    for k in (True, np.int64(2), np.uint8(3), 2**64 - 1):
        assert len(e.query_exact(Q, k).results) == min(int(k), 3)
    assert [h.idx for h in e.query_exact(query=Q, k=2).results] == [h.idx for h in e.query_exact(Q, k=2).results]
    assert e.explain(query=Q, idx=2, block_size=2, top_blocks=1)["num_blocks"] == 2
    named = ENGINE(bin_path=path, ann=True)
    assert (named.dims(), named.rows()) == (4, 3)
