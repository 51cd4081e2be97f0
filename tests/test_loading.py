"""Opening index files: header facts, empty indexes, longer files, hashing and paths."""

import gc
import os
import struct

import blake3
import numpy as np

import zorvikdb
from conftest import hits


def test_empty_headers_open_without_per_row_work(write_raw):
    for dims, rows in [(4294967295, 0), (0, 4294967295), (0, 5), (7, 0)]:
        engine = zorvikdb.PySearchEngine(write_raw(struct.pack("<III", dims, rows, 1)), False)
        assert (engine.dims(), engine.rows()) == (dims, rows)


def test_longer_files_answer_alike_and_hash_every_byte(write_index):
    x = np.random.default_rng(1).standard_normal((5, 3)).astype(np.float32)
    paths = write_index(x, 2), write_index(x, 2, trailing=b"\x01")
    results = [zorvikdb.PySearchEngine(p, False).query_exact_detailed(np.ones(3, np.float32), 5) for p in paths]
    assert [(r.dims, r.rows) for r in results] == [(3, 5)] * 2 and hits(results[0]) == hits(results[1])
    assert [r.index_hash for r in results] == [blake3.blake3(open(p, "rb").read()).hexdigest() for p in paths]
    assert results[0].index_hash != results[1].index_hash


def test_index_path_is_canonical(write_index, tmp_path, monkeypatch):
    path = write_index(np.eye(2, dtype=np.float32), name="target.bin")
    (tmp_path / "sub").mkdir()
    os.symlink(path, tmp_path / "sub" / "link.bin")
    monkeypatch.chdir(tmp_path / "sub")
    for given in ("link.bin", "./../sub/link.bin", str(tmp_path / "sub" / "link.bin")):
        result = zorvikdb.PySearchEngine(given, False).query_exact_detailed(np.ones(2, np.float32), 1)
        assert result.index_path == os.path.realpath(path)


def test_results_own_their_data_after_the_engine_is_dropped(open_index):
    engine = open_index(np.eye(2, dtype=np.float32))
    result = engine.query_exact_detailed(np.ones(2, np.float32), 2)
    del engine
    gc.collect()
    assert [h.idx for h in result.results] == [0, 1] and result.rows == 2
