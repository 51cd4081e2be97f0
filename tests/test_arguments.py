"""Argument binding and conversion: exact error types and texts."""

import numpy as np
import pytest

import zorvikdb


@pytest.fixture
def engine(write_index):
    return zorvikdb.PySearchEngine(write_index(np.arange(12, dtype=np.float32).reshape(3, 4)), False)


Q = np.ones(4, np.float32)


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda e: e.query_exact(Q), "PySearchEngine.query_exact() missing 1 required positional argument: 'k'"),
        (lambda e: e.query_exact(), "PySearchEngine.query_exact() missing 2 required positional arguments: 'query' and 'k'"),
        (lambda e: e.query_exact(Q, 1, 2), "PySearchEngine.query_exact() takes 2 positional arguments but 3 were given"),
        (lambda e: e.query_exact(Q, 1, kk=2), "PySearchEngine.query_exact() got an unexpected keyword argument 'kk'"),
        (lambda e: e.query_exact(Q, 1, k=2), "PySearchEngine.query_exact() got multiple values for argument 'k'"),
        (lambda e: e.query_exact_arrays(k=1), "PySearchEngine.query_exact_arrays() missing 1 required positional argument: 'query'"),
        (lambda e: zorvikdb.PySearchEngine(), "PySearchEngine.__new__() missing 2 required positional arguments: 'bin_path' and 'ann'"),
        (lambda e: zorvikdb.PySearchEngine("a", False, 1), "PySearchEngine.__new__() takes 2 positional arguments but 3 were given"),
        (lambda e: zorvikdb.py_prepare_bin_from_embeddings(), "py_prepare_bin_from_embeddings() missing 5 required positional arguments: 'embeddings', 'dims', 'rows', 'base_name', and 'level'"),
        (lambda e: zorvikdb.py_prepare_bin_from_embeddings(*range(11)), "py_prepare_bin_from_embeddings() takes from 5 to 10 positional arguments but 11 were given"),
    ],
)
def test_binding_errors(engine, call, text):
    err = error_of(lambda: call(engine))
    assert type(err) is TypeError
    assert str(err) == text


@pytest.mark.parametrize(
    "query, text",
    [
        (np.ones(4, np.float64), "argument 'query': type mismatch:\n from=float64, to=float32"),
        (np.ones(4, ">f4"), "argument 'query': type mismatch:\n from=>f4, to=float32"),
        ([1.0, 2.0, 3.0, 4.0], "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones((1, 4), np.float32), "argument 'query': dimensionality mismatch:\n from=2, to=1"),
        (np.float32(1.0), "argument 'query': 'float32' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_vector_conversion_errors(engine, query, text):
    err = error_of(lambda: engine.query_exact(query, 1))
    assert type(err) is TypeError
    assert str(err) == text


def test_non_contiguous_is_refused_after_conversion(engine):
    strided = np.ones(8, np.float32)[::2]
    err = error_of(lambda: engine.query_exact(strided, 1))
    assert type(err) is TypeError and str(err) == "The given array is not contiguous"
    # Conversion of k runs before the layout check.
    err = error_of(lambda: engine.query_exact(strided, -1))
    assert type(err) is OverflowError


@pytest.mark.parametrize(
    "k, exc, text",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_count_conversion_errors(engine, k, exc, text):
    err = error_of(lambda: engine.query_exact(Q, k))
    assert type(err) is exc and err.__cause__ is None
    if text is not None:
        assert str(err) == text
    else:
        assert not str(err).startswith("argument")


@pytest.mark.parametrize("k", [True, np.int64(2), np.uint8(3), 2**64 - 1])
def test_counts_accept_integer_like_objects(engine, k):
    assert len(engine.query_exact(Q, k).results) == min(int(k), 3)


def test_keywords_and_positional_mix(engine):
    a = engine.query_exact(query=Q, k=2)
    b = engine.query_exact(Q, k=2)
    assert [h.idx for h in a.results] == [h.idx for h in b.results]


def test_constructor_argument_types(write_index):
    path = write_index(np.eye(2, dtype=np.float32))
    for ann, text in [(1, "'int' object cannot be converted to 'PyBool'"), (0, "'int' object cannot be converted to 'PyBool'"), (None, "'NoneType' object cannot be converted to 'PyBool'")]:
        err = error_of(lambda: zorvikdb.PySearchEngine(path, ann))
        assert type(err) is TypeError and str(err) == "argument 'ann': " + text
    import pathlib

    for bad in (path.encode(), pathlib.Path(path)):
        err = error_of(lambda: zorvikdb.PySearchEngine(bad, False))
        assert type(err) is TypeError
        assert str(err) == f"argument 'bin_path': '{type(bad).__name__}' object cannot be converted to 'PyString'"
    a = zorvikdb.PySearchEngine(bin_path=path, ann=True)
    b = zorvikdb.PySearchEngine(path, False)
    assert (a.dims(), a.rows()) == (b.dims(), b.rows()) == (2, 2)
