"""Opening index files: validation order, messages, derived facts and hashing."""

import gc
import os
import struct
import time

import blake3
import numpy as np
import pytest

import zorvikdb


def open_error(path):
    with pytest.raises(ValueError) as info:
        zorvikdb.PySearchEngine(path, False)
    assert len(info.value.args) == 1
    return info.value.args[0]


def test_files_that_cannot_be_opened(tmp_path, write_index):
    missing = str(tmp_path / "nope.bin")
    assert open_error(missing) == f"Failed to open file {missing}: No such file or directory (os error 2)"
    nul = str(tmp_path / "a\0b.bin")
    assert open_error(nul).startswith(f"Failed to open file {nul}: ")
    if os.geteuid() != 0:  # root reads any file
        path = write_index(np.eye(2, dtype=np.float32))
        os.chmod(path, 0)
        assert open_error(path) == f"Failed to open file {path}: Permission denied (os error 13)"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "File too small: expected 12 bytes, got 0"),
        (b"\1\0\0\0\1", "File too small: expected 12 bytes, got 5"),
        (struct.pack("<III", 2, 1, 0) + b"\0" * 4, "File too small: expected 20 bytes, got 16"),
        (struct.pack("<III", 2**31, 2**31, 0), "File too small: expected 18446744073709551628 bytes, got 12"),
        (struct.pack("<III", 2**32 - 1, 2**32 - 1, 0), f"File too small: expected {12 + 4 * (2**32 - 1) ** 2} bytes, got 12"),
        (struct.pack("<III", 1, 1, 3) + b"\0" * 4, "Unknown metric id: 3"),
        (struct.pack("<III", 1, 1, 256) + b"\0" * 4, "Unknown metric id: 256"),
        # The metric is checked before the size.
        (struct.pack("<III", 9, 9, 7), "Unknown metric id: 7"),
    ],
)
def test_rejected_headers(write_raw, data, message):
    assert open_error(write_raw(data)) == message


@pytest.mark.parametrize("dims, rows", [(4294967295, 0), (0, 4294967295), (0, 5), (7, 0)])
def test_empty_headers_open_quickly(write_raw, dims, rows):
    start = time.perf_counter()
    engine = zorvikdb.PySearchEngine(write_raw(struct.pack("<III", dims, rows, 1)), False)
    assert time.perf_counter() - start < 5.0  # generous: must not allocate per row or block
    assert (engine.dims(), engine.rows()) == (dims, rows)


def test_header_values_and_longer_files(write_index):
    x = np.random.default_rng(1).standard_normal((5, 3)).astype(np.float32)
    plain = write_index(x, 2, name="plain.bin")
    longer = write_index(x, 2, name="longer.bin", trailing=b"\x01")
    a, b = zorvikdb.PySearchEngine(plain, False), zorvikdb.PySearchEngine(longer, False)
    assert (a.dims(), a.rows(), b.dims(), b.rows()) == (3, 5, 3, 5)
    q = np.ones(3, np.float32)
    ra, rb = a.query_exact_detailed(q, 5), b.query_exact_detailed(q, 5)
    assert [(h.idx, h.score) for h in ra.results] == [(h.idx, h.score) for h in rb.results]
    assert ra.index_hash == blake3.blake3(open(plain, "rb").read()).hexdigest()
    assert rb.index_hash == blake3.blake3(open(longer, "rb").read()).hexdigest()
    assert ra.index_hash != rb.index_hash


def test_index_path_is_canonical(write_index, tmp_path, monkeypatch):
    path = write_index(np.eye(2, dtype=np.float32), name="target.bin")
    link = tmp_path / "sub"
    link.mkdir()
    os.symlink(path, link / "link.bin")
    monkeypatch.chdir(link)
    q = np.ones(2, np.float32)
    for given in ("link.bin", "./../sub/link.bin", str(link / "link.bin")):
        result = zorvikdb.PySearchEngine(given, False).query_exact_detailed(q, 1)
        assert result.index_path == os.path.realpath(path)


def test_results_own_their_data_after_the_engine_is_dropped(write_index):
    engine = zorvikdb.PySearchEngine(write_index(np.eye(2, dtype=np.float32)), False)
    result = engine.query_exact_detailed(np.ones(2, np.float32), 2)
    del engine
    gc.collect()
    assert [h.idx for h in result.results] == [0, 1] and result.rows == 2
