"""Each error text once, with its exact type; a case failing later checks too shows which comes first."""

import os
import struct

import numpy as np
import pytest

import zorvikdb
from conftest import BASE_NAME, HUGE_K, NO_VALID, set_env

ENGINE = zorvikdb.PySearchEngine
EXACT = "PySearchEngine.query_exact()"
NOT_PYBOOL = "argument '{}': '{}' object cannot be converted to 'PyBool'"
NOT_FINITE = "Query vector cont\u00c3\u00a9m valores n\u00c3\u00a3o finitos"
CERTIFIED_NOT_FINITE = "Query vector contains non-finite values"
NOT_CONTIGUOUS = "The given array is not contiguous"
DIMENSIONS = "Query dimensions {} != index dimensions 4"
SOME_NAN = "with_value((5, 4), {}, np.nan)"


def with_value(shape, at, value):
    a = np.ones(shape, np.float32)
    a[at] = value
    return a


@pytest.fixture
def names(write_index, write_raw, tmp_path, monkeypatch):
    """Names for the calls: engine `e` over three rows of four at `p`, a raw-file loader, and `prepare` into `out`."""
    p, out = write_index(np.arange(12, dtype=np.float32).reshape(3, 4)), tmp_path / "out"
    yield dict(e=ENGINE(p, False), p=p, tmp=str(tmp_path), np=np, ENGINE=ENGINE, with_value=with_value,
               PREPARE=zorvikdb.py_prepare_bin_from_embeddings, header=lambda d, r, m, data=b"": struct.pack("<III", d, r, m) + data,
               Q=np.ones(4, np.float32), EMB=np.ones((3, 4), np.float32), NANS=np.full((3, 4), np.nan, np.float32),
               STRIDED=np.ones(8, np.float32)[::2], STRIDED2=np.ones((4, 8), np.float32)[:, ::2],
               load=lambda data: ENGINE(write_raw(data), False), env=lambda **kw: set_env(monkeypatch, **kw),
               prepare=lambda *a, **kw: zorvikdb.py_prepare_bin_from_embeddings(*a, **{"output_dir": str(out), **kw}))
    assert not out.exists()


# (call, exact type, exact text with {tmp} for the directory; None: the interpreter's own
# overflow text, without the "argument" prefix)
TE, VE, OE = TypeError, ValueError, OverflowError
ERRORS = [
    # binding
    ("e.query_exact(Q)", TE, f"{EXACT} missing 1 required positional argument: 'k'"),
    ("e.query_exact()", TE, f"{EXACT} missing 2 required positional arguments: 'query' and 'k'"),
    ("e.query_exact(Q, 1, 2)", TE, f"{EXACT} takes 2 positional arguments but 3 were given"),
    ("e.query_exact(Q, 1, kk=2)", TE, f"{EXACT} got an unexpected keyword argument 'kk'"),
    ("e.query_exact(Q, 1, k=2)", TE, f"{EXACT} got multiple values for argument 'k'"),
    ("ENGINE()", TE, "PySearchEngine.__new__() missing 2 required positional arguments: 'bin_path' and 'ann'"),
    ("PREPARE()", TE, "py_prepare_bin_from_embeddings() missing 5 required positional arguments: "
     "'embeddings', 'dims', 'rows', 'base_name', and 'level'"),
    ("PREPARE(*range(11))", TE,
     "py_prepare_bin_from_embeddings() takes from 5 to 10 positional arguments but 11 were given"),
    # vectors; the layout is checked after every argument is converted, but for explain
    # and compare before the index and block arguments
    ("e.query_exact(np.ones(4), 1)", TE, "argument 'query': type mismatch:\n from=float64, to=float32"),
    ("e.query_exact(np.ones(4, '>f4'), 1)", TE, "argument 'query': type mismatch:\n from=>f4, to=float32"),
    ("e.query_exact([1.0] * 4, 1)", TE, "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("e.query_exact(np.ones((1, 4), np.float32), 1)", TE, "argument 'query': dimensionality mismatch:\n from=2, to=1"),
    ("e.query_exact(STRIDED, 1)", TE, NOT_CONTIGUOUS), ("e.query_exact(STRIDED, -1)", OE, None),
    ("e.explain(STRIDED, 99, 0, 0)", TE, NOT_CONTIGUOUS), ("e.query_batch(STRIDED2, 1)", TE, NOT_CONTIGUOUS),
    ("e.query_batch_exact_certified(Q, 1)", TE, "argument 'queries': dimensionality mismatch:\n from=1, to=2"),
    # counts and flags
    ("e.query_exact(Q, -1)", OE, None), ("e.query_exact(Q, 2**64)", OE, None),
    ("e.query_exact(Q, 1.0)", TE, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("ENGINE(p, 1)", TE, NOT_PYBOOL.format("ann", "int")),
    ("e.query_exact_certified(Q, 1, 64, np.bool_(True))", TE, NOT_PYBOOL.format("enable_pruning", "bool")),
    ("ENGINE(p.encode(), False)", TE, "argument 'bin_path': 'bytes' object cannot be converted to 'PyString'"),
    # index files: the metric is checked before the size, sizes in 128-bit arithmetic
    ("ENGINE(tmp + '/no.bin', False)", VE, "Failed to open file {tmp}/no.bin: No such file or directory (os error 2)"),
    ("ENGINE(tmp + '/a\\0b', False)", VE, "Failed to open file {tmp}/a\0b: Invalid argument (os error 22)"),
    ("load(b'')", VE, "File too small: expected 12 bytes, got 0"),
    ("load(header(2, 1, 0, bytes(4)))", VE, "File too small: expected 20 bytes, got 16"),
    ("load(header(2**31, 2**31, 0))", VE, "File too small: expected 18446744073709551628 bytes, got 12"),
    ("load(header(1, 1, 256, bytes(4)))", VE, "Unknown metric id: 256"),
    ("load(header(9, 9, 7))", VE, "Unknown metric id: 7"),
    # single queries: checked even when k = 0
    ("e.query_exact_detailed(np.ones(3, np.float32), 0)", VE, "Query dimension 3 != index dimension 4"),
    ("e.query_exact(with_value(4, 2, np.nan), 5)", VE, NOT_FINITE),
    ("e.query_exact_detailed(with_value(4, 0, np.inf), 0)", VE, NOT_FINITE),
    # batches: the shape before the emptiness; one query follows the single-query rules;
    # the arrays form needs outcomes of one length, and the first outcome sets it
    ("e.query_batch_detailed(np.ones((0, 5), np.float32), 1)", VE, DIMENSIONS.format(5)),
    ("e.query_batch_arrays(np.ones((3, 0), np.float32), 1)", VE, "Query matrix has no columns"),
    ("e.query_batch(np.ones((0, 0), np.float32), 1)", VE, "Query matrix has no columns"),
    ("e.query_batch(with_value((1, 4), 0, np.inf), 4)", VE, NOT_FINITE),
    ("env(ZORVIK_BATCH_MODE='rayon') or e.query_batch(" + SOME_NAN.format(1) + ", 4)", VE,
     "Queries cont\u00c3\u00aam valores n\u00c3\u00a3o finitos (NaN/Inf)"),
    ("e.query_batch_arrays(" + SOME_NAN.format(1) + ", 4)", VE, "invalid length: 0, but expected 3"),
    ("e.query_batch_arrays(" + SOME_NAN.format(0) + ", 4)", VE, "invalid length: 3, but expected 0"),
    # certified; the last query refuses the whole batch
    ("e.query_exact_certified(with_value(4, 1, np.nan), 1)", VE, CERTIFIED_NOT_FINITE),
    ("e.query_batch_exact_certified(np.zeros((3, 0), np.float32), 2)", VE, DIMENSIONS.format(0)),
    ("load(header(0, 5, 1)).query_batch_exact_certified(np.zeros((2, 0), np.float32), 1)", VE,
     "Query matrix has no columns"),
    ("e.query_batch_exact_certified(with_value((64, 4), 63, np.nan), 2)", VE, CERTIFIED_NOT_FINITE),
    # explain and compare: dimensions, either row, block size, block count
    ("e.explain(np.ones(5, np.float32), 9, 0, 0)", VE, DIMENSIONS.format(5)),
    ("e.explain(Q, 3, 0, 0)", VE, "Index out of bounds"), ("e.compare(Q, 0, 3, 0, 0)", VE, "Index out of bounds"),
    ("e.compare(Q, 2, 0, 0, 0)", VE, "block_size must be > 0"), ("e.explain(Q, 2, 1, 0)", VE, "top_blocks must be > 0"),
    # preparation
    ("prepare(STRIDED2, 4, 4, 'x', 'f32', metric='nope')", TE, NOT_CONTIGUOUS),
    ("prepare(EMB, 0, 3, 'x', 'f32', metric='nope')", VE, "Unknown similarity metric: nope"),
    ("prepare(EMB, 0, 0, 'x', 'f32')", VE, "Invalid dims: 0 (must be 1-10000)"),
    ("prepare(EMB, 10001, 3, 'x', 'f32')", VE, "Invalid dims: 10001 (must be 1-10000)"),
    ("prepare(EMB, 4, 50000001, 'x.y', 'f32')", VE, "Invalid rows: 50000001 (must be 1-50000000)"),
    ("prepare(EMB, 5, 3, 'x.y', 'f32')", VE, "Data shape mismatch: expected 3\u00d75=15, got 12"),
    ("prepare(EMB, 4, 3, 'model.2', 'F32')", VE, BASE_NAME),
    ("prepare(NANS, 4, 3, 'x', 'F32')", VE, "Invalid level 'F32'. Must be f8, f16, f32, or f64"),
    ("prepare(NANS, 4, 3, '##', 'f32')", VE, "Too many invalid values: 12/12 (100.0%)"),
    ("prepare(EMB, 4, 3, '##', 'f32')", VE, NO_VALID),
]


@pytest.mark.parametrize("call, exc, text", ERRORS)
def test_error_types_and_texts(names, call, exc, text):
    with pytest.raises(Exception) as info:
        eval(call, names)
    err = info.value
    assert type(err) is exc and err.__cause__ is None
    if text is None:
        assert not str(err).startswith("argument")
    else:
        assert err.args == (text.replace("{tmp}", names["tmp"]),)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(write_index):
    path = write_index(np.eye(2, dtype=np.float32))
    os.chmod(path, 0)
    with pytest.raises(ValueError, match=f"^Failed to open file {path}: Permission denied \\(os error 13\\)$"):
        ENGINE(path, False)


def test_accepted_arguments(names):
    e, p, q = names["e"], names["p"], names["Q"]
    assert [len(e.query_exact(q, k).results) for k in (True, np.int64(2), np.uint8(3), HUGE_K)] == [1, 2, 3, 3]
    assert [h.idx for h in e.query_exact(query=q, k=2).results] == [h.idx for h in e.query_exact(q, k=2).results]
    assert e.explain(query=q, idx=2, block_size=2, top_blocks=1)["num_blocks"] == 2
    assert len(e.query_exact_certified(query=q, k=HUGE_K, block_size=HUGE_K, enable_pruning=False)["results"]) == 3
    named = ENGINE(bin_path=p, ann=True)
    assert (named.dims(), named.rows()) == (4, 3)
