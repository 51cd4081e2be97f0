"""Every error a direct call raises: the exact type and text, each case failing the check
it names and, where it can, later ones too (the earlier check is the one reported)."""

import os
import pathlib
import struct
import types

import numpy as np
import pytest

import zorvikdb
from conftest import HUGE_K, set_env

Q = np.ones(4, np.float32)
ENGINE = zorvikdb.PySearchEngine
PREPARE = zorvikdb.py_prepare_bin_from_embeddings
EXACT = "PySearchEngine.query_exact()"
NOT_PYBOOL = "argument '{}': '{}' object cannot be converted to 'PyBool'"
NOT_FINITE = "Query vector cont\u00c3\u00a9m valores n\u00c3\u00a3o finitos"
BATCH_NOT_FINITE = "Queries cont\u00c3\u00aam valores n\u00c3\u00a3o finitos (NaN/Inf)"
BASE_NAME = "Invalid base_name: cannot be empty or contain special characters"
NO_VALID = "Base name contains no valid characters"
EMB = np.ones((3, 4), np.float32)
NANS = np.full((3, 4), np.nan, np.float32)
STRIDED = np.ones(8, np.float32)[::2]


def with_value(shape, row, value):
    a = np.ones(shape, np.float32)
    a[row] = value
    return a


def header(dims, rows, metric, data=b""):
    return struct.pack("<III", dims, rows, metric) + data


@pytest.fixture
def c(write_index, write_raw, tmp_path, monkeypatch):
    """The engine over three rows of four, its path, a loader of raw files, a switch setter
    and a preparation into a directory that no failed call may create."""
    path = write_index(np.arange(12, dtype=np.float32).reshape(3, 4))
    out = tmp_path / "out"
    yield types.SimpleNamespace(
        e=ENGINE(path, False), p=path, tmp=str(tmp_path), load=lambda data: ENGINE(write_raw(data), False),
        env=lambda **kw: set_env(monkeypatch, **kw),
        prepare=lambda *a, **kw: PREPARE(*a, **{"output_dir": str(out), **kw}))
    assert not out.exists()


# (call with the context, exact type, exact text with {tmp} for the directory; None: the
# interpreter's own overflow text, without the "argument" prefix)
ERRORS = [
    # binding
    (lambda c: c.e.query_exact(Q), TypeError, f"{EXACT} missing 1 required positional argument: 'k'"),
    (lambda c: c.e.query_exact(), TypeError, f"{EXACT} missing 2 required positional arguments: 'query' and 'k'"),
    (lambda c: c.e.query_exact(Q, 1, 2), TypeError, f"{EXACT} takes 2 positional arguments but 3 were given"),
    (lambda c: c.e.query_exact(Q, 1, kk=2), TypeError, f"{EXACT} got an unexpected keyword argument 'kk'"),
    (lambda c: c.e.query_exact(Q, 1, k=2), TypeError, f"{EXACT} got multiple values for argument 'k'"),
    (lambda c: c.e.query_exact_arrays(k=1), TypeError,
     "PySearchEngine.query_exact_arrays() missing 1 required positional argument: 'query'"),
    (lambda c: c.e.explain(Q, 0, 1), TypeError,
     "PySearchEngine.explain() missing 1 required positional argument: 'top_blocks'"),
    (lambda c: ENGINE(), TypeError,
     "PySearchEngine.__new__() missing 2 required positional arguments: 'bin_path' and 'ann'"),
    (lambda c: ENGINE("a", False, 1), TypeError, "PySearchEngine.__new__() takes 2 positional arguments but 3 were given"),
    (lambda c: PREPARE(), TypeError, "py_prepare_bin_from_embeddings() missing 5 required positional arguments: "
     "'embeddings', 'dims', 'rows', 'base_name', and 'level'"),
    (lambda c: PREPARE(*range(11)), TypeError,
     "py_prepare_bin_from_embeddings() takes from 5 to 10 positional arguments but 11 were given"),
    # vectors; the layout is checked after every argument is converted, but for explain
    # and compare before the index and block arguments
    (lambda c: c.e.query_exact(np.ones(4), 1), TypeError, "argument 'query': type mismatch:\n from=float64, to=float32"),
    (lambda c: c.e.query_exact(np.ones(4, ">f4"), 1), TypeError, "argument 'query': type mismatch:\n from=>f4, to=float32"),
    (lambda c: c.e.query_exact([1.0] * 4, 1), TypeError, "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda c: c.e.query_exact(np.ones((1, 4), np.float32), 1), TypeError,
     "argument 'query': dimensionality mismatch:\n from=2, to=1"),
    (lambda c: c.e.query_exact(np.float32(1.0), 1), TypeError,
     "argument 'query': 'float32' object cannot be converted to 'PyArray<T, D>'"),
    (lambda c: c.e.query_exact(STRIDED, 1), TypeError, "The given array is not contiguous"),
    (lambda c: c.e.query_exact(STRIDED, -1), OverflowError, None),
    (lambda c: c.e.explain(STRIDED, 99, 0, 0), TypeError, "The given array is not contiguous"),
    (lambda c: c.e.query_batch(np.ones((4, 8), np.float32)[:, ::2], 1), TypeError, "The given array is not contiguous"),
    (lambda c: c.e.query_batch_exact_certified(np.ones((4, 8), np.float32)[:, ::2], 1), TypeError,
     "The given array is not contiguous"),
    (lambda c: c.e.query_batch_arrays(Q, 1), TypeError, "argument 'queries': dimensionality mismatch:\n from=1, to=2"),
    (lambda c: c.e.query_batch_detailed(np.ones((2, 4)), 1), TypeError,
     "argument 'queries': type mismatch:\n from=float64, to=float32"),
    # counts
    (lambda c: c.e.query_exact(Q, -1), OverflowError, None),
    (lambda c: c.e.query_exact(Q, 2**64), OverflowError, None),
    (lambda c: c.e.compare(Q, -1, 0, 1, 1), OverflowError, None),
    (lambda c: c.e.query_batch(EMB, -1), OverflowError, None),
    (lambda c: c.e.query_exact_certified(Q, 1, -1), OverflowError, None),
    (lambda c: c.e.query_exact(Q, 1.0), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (lambda c: c.e.query_exact(Q, "3"), TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    (lambda c: c.e.explain(Q, 0, 1, 1.5), TypeError, "argument 'top_blocks': 'float' object cannot be interpreted as an integer"),
    # flags and paths
    (lambda c: ENGINE(c.p, 1), TypeError, NOT_PYBOOL.format("ann", "int")),
    (lambda c: ENGINE(c.p, 0), TypeError, NOT_PYBOOL.format("ann", "int")),
    (lambda c: ENGINE(c.p, None), TypeError, NOT_PYBOOL.format("ann", "NoneType")),
    (lambda c: c.e.query_exact_certified(Q, 1, 64, np.bool_(True)), TypeError, NOT_PYBOOL.format("enable_pruning", "bool")),
    (lambda c: c.e.query_batch_exact_certified(EMB, 1, 4, 1), TypeError, NOT_PYBOOL.format("enable_pruning", "int")),
    (lambda c: ENGINE(c.p.encode(), False), TypeError, "argument 'bin_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda c: ENGINE(pathlib.Path(c.p), False), TypeError,
     "argument 'bin_path': 'PosixPath' object cannot be converted to 'PyString'"),
    # index files: the metric is checked before the size, sizes in 128-bit arithmetic
    (lambda c: ENGINE(c.tmp + "/nope.bin", False), ValueError,
     "Failed to open file {tmp}/nope.bin: No such file or directory (os error 2)"),
    (lambda c: ENGINE(c.tmp + "/a\0b.bin", False), ValueError, "Failed to open file {tmp}/a\0b.bin: Invalid argument (os error 22)"),
    (lambda c: c.load(b""), ValueError, "File too small: expected 12 bytes, got 0"),
    (lambda c: c.load(b"\1\0\0\0\1"), ValueError, "File too small: expected 12 bytes, got 5"),
    (lambda c: c.load(header(2, 1, 0, b"\0" * 4)), ValueError, "File too small: expected 20 bytes, got 16"),
    (lambda c: c.load(header(2**31, 2**31, 0)), ValueError, "File too small: expected 18446744073709551628 bytes, got 12"),
    (lambda c: c.load(header(2**32 - 1, 2**32 - 1, 0)), ValueError,
     f"File too small: expected {12 + 4 * (2**32 - 1) ** 2} bytes, got 12"),
    (lambda c: c.load(header(1, 1, 3, b"\0" * 4)), ValueError, "Unknown metric id: 3"),
    (lambda c: c.load(header(1, 1, 256, b"\0" * 4)), ValueError, "Unknown metric id: 256"),
    (lambda c: c.load(header(9, 9, 7)), ValueError, "Unknown metric id: 7"),
    # single queries: checked even when k = 0
    (lambda c: c.e.query_exact_detailed(np.ones(3, np.float32), 0), ValueError, "Query dimension 3 != index dimension 4"),
    (lambda c: c.e.query_exact(with_value(4, 2, np.nan), 5), ValueError, NOT_FINITE),
    (lambda c: c.e.query_exact_arrays(with_value(4, 2, -np.inf), 0), ValueError, NOT_FINITE),
    (lambda c: c.e.query_exact_detailed(with_value(4, 0, np.inf), 0), ValueError, NOT_FINITE),
    # batches: the shape before the emptiness; one query follows the single-query rules;
    # the arrays form needs outcomes of one length, and the first outcome sets it
    (lambda c: c.e.query_batch_detailed(np.ones((0, 5), np.float32), 1), ValueError, "Query dimensions 5 != index dimensions 4"),
    (lambda c: c.e.query_batch(np.ones((2, 5), np.float32), 1), ValueError, "Query dimensions 5 != index dimensions 4"),
    (lambda c: c.e.query_batch_arrays(np.ones((3, 0), np.float32), 1), ValueError, "Query matrix has no columns"),
    (lambda c: c.e.query_batch(np.ones((0, 0), np.float32), 1), ValueError, "Query matrix has no columns"),
    (lambda c: c.e.query_batch(with_value((1, 4), 0, np.inf), 4), ValueError, NOT_FINITE),
    (lambda c: c.env(ZORVIK_BATCH_MODE="rayon") or c.e.query_batch(with_value((5, 4), 1, np.nan), 4), ValueError,
     BATCH_NOT_FINITE),
    (lambda c: c.e.query_batch_arrays(with_value((5, 4), 1, np.nan), 4), ValueError, "invalid length: 0, but expected 3"),
    (lambda c: c.e.query_batch_arrays(with_value((5, 4), 0, np.nan), 4), ValueError, "invalid length: 3, but expected 0"),
    # certified
    (lambda c: c.e.query_exact_certified(np.ones(3, np.float32), 1), ValueError, "Query dimension 3 != index dimension 4"),
    (lambda c: c.e.query_exact_certified(with_value(4, 1, np.nan), 1), ValueError, "Query vector contains non-finite values"),
    (lambda c: c.e.query_batch_exact_certified(np.zeros((0, 5), np.float32), 2), ValueError,
     "Query dimensions 5 != index dimensions 4"),
    (lambda c: c.e.query_batch_exact_certified(np.zeros((3, 0), np.float32), 2), ValueError,
     "Query dimensions 0 != index dimensions 4"),
    (lambda c: c.load(header(0, 5, 1)).query_batch_exact_certified(np.zeros((2, 0), np.float32), 1), ValueError,
     "Query matrix has no columns"),
    (lambda c: c.e.query_batch_exact_certified(with_value((64, 4), 63, np.nan), 2), ValueError,
     "Query vector contains non-finite values"),  # the last query refuses the whole batch
    # explain and compare: dimensions, either row, block size, block count
    (lambda c: c.e.explain(np.ones(5, np.float32), 9, 0, 0), ValueError, "Query dimensions 5 != index dimensions 4"),
    (lambda c: c.e.explain(Q, 3, 0, 0), ValueError, "Index out of bounds"),
    (lambda c: c.e.compare(Q, HUGE_K, 0, 1, 1), ValueError, "Index out of bounds"),
    (lambda c: c.e.compare(Q, 0, 3, 0, 0), ValueError, "Index out of bounds"),
    (lambda c: c.e.compare(Q, 2, 0, 0, 0), ValueError, "block_size must be > 0"),
    (lambda c: c.e.explain(Q, 2, 1, 0), ValueError, "top_blocks must be > 0"),
    # preparation
    (lambda c: c.prepare(np.ones((4, 6), np.float32)[:, ::2], 3, 4, "x", "f32", metric="nope"), TypeError,
     "The given array is not contiguous"),
    (lambda c: c.prepare(EMB, 0, 3, "x", "f32", metric="nope"), ValueError, "Unknown similarity metric: nope"),
    (lambda c: c.prepare(EMB, 0, 0, "x", "f32"), ValueError, "Invalid dims: 0 (must be 1-10000)"),
    (lambda c: c.prepare(EMB, 10001, 3, "x", "f32"), ValueError, "Invalid dims: 10001 (must be 1-10000)"),
    (lambda c: c.prepare(EMB, 4, 50000001, "x.y", "f32"), ValueError, "Invalid rows: 50000001 (must be 1-50000000)"),
    (lambda c: c.prepare(EMB, 4, 0, "x", "f32"), ValueError, "Invalid rows: 0 (must be 1-50000000)"),
    (lambda c: c.prepare(EMB, 5, 3, "x.y", "f32"), ValueError, "Data shape mismatch: expected 3\u00d75=15, got 12"),
    (lambda c: c.prepare(EMB, 4, 3, "model.2", "F32"), ValueError, BASE_NAME),
    (lambda c: c.prepare(NANS, 4, 3, "x", "F32"), ValueError, "Invalid level 'F32'. Must be f8, f16, f32, or f64"),
    (lambda c: c.prepare(NANS, 4, 3, "##", "f32"), ValueError, "Too many invalid values: 12/12 (100.0%)"),
    (lambda c: c.prepare(EMB, 4, 3, "##", "f32"), ValueError, NO_VALID),
]


@pytest.mark.parametrize("call, exc, text", ERRORS)
def test_error_types_and_texts(c, call, exc, text):
    with pytest.raises(Exception) as info:
        call(c)
    err = info.value
    assert type(err) is exc and err.__cause__ is None
    if text is None:
        assert not str(err).startswith("argument")
    else:
        assert err.args == (text.replace("{tmp}", c.tmp),)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(write_index):
    path = write_index(np.eye(2, dtype=np.float32))
    os.chmod(path, 0)
    with pytest.raises(ValueError, match=f"^Failed to open file {path}: Permission denied \\(os error 13\\)$"):
        ENGINE(path, False)


def test_accepted_arguments(c):
    for k in (True, np.int64(2), np.uint8(3), 2**64 - 1):
        assert len(c.e.query_exact(Q, k).results) == min(int(k), 3)
    assert [h.idx for h in c.e.query_exact(query=Q, k=2).results] == [h.idx for h in c.e.query_exact(Q, k=2).results]
    assert c.e.explain(query=Q, idx=2, block_size=2, top_blocks=1)["num_blocks"] == 2
    got = c.e.query_exact_certified(query=Q, k=HUGE_K, block_size=HUGE_K, enable_pruning=False)
    assert len(got["results"]) == 3
    named = ENGINE(bin_path=c.p, ann=True)
    assert (named.dims(), named.rows()) == (4, 3)
