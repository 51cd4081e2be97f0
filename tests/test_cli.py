"""The zorvikdb command line, run as `python -m zorvikdb_cli` in child processes."""

import json
import os
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import blake3
import numpy as np
import pytest
import zorvikdb

REPO = Path(__file__).resolve().parent.parent
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(REPO), os.environ.get("PYTHONPATH", "")])}
ROWS, DIMS = 600, 24
EMB = np.random.default_rng(5).standard_normal((ROWS, DIMS), dtype=np.float32)


def cli(*args, **kw):
    return subprocess.Popen([sys.executable, "-m", "zorvikdb_cli", *map(str, args)], env=ENV, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def run(*args):
    proc = cli(*args)
    out, err = proc.communicate(timeout=300)
    return proc.returncode, out, err


def ok(*args):
    code, out, err = run(*args)
    assert code == 0, err
    return out


# Each input form: its file name, how it is written and the options that select the matrix.
SOURCES = {
    "npy": ("src.npy", lambda path, X: np.save(path, X), []),
    "fortran-order npy": ("src.npy", lambda path, X: np.save(path, np.asfortranarray(X)), []),
    "float64 with --convert": ("src.npy", lambda path, X: np.save(path, X.astype(np.float64)), ["--convert"]),
    "npz with --key": ("src.npz", lambda path, X: np.savez(path, other=X[:2], emb=X), ["--key", "emb"]),
}


@pytest.mark.parametrize("source", SOURCES)
def test_every_input_form_prepares_the_same_index(tmp_path, source):
    name, write, options = SOURCES[source]
    write(tmp_path / name, EMB)
    made = ok("prepare", tmp_path / name, "--name", "items", "--metric", "dot", "--out", tmp_path / "idx", *options).strip()
    content = Path(made).read_bytes()
    assert content == struct.pack("<III", DIMS, ROWS, 1) + EMB.tobytes()
    assert dict(line.split(None, 1) for line in ok("info", made).splitlines()) == {
        "path": made, "rows": str(ROWS), "dims": str(DIMS), "metric": "dot", "bytes": str(len(content)),
        "blake3": blake3.blake3(content).hexdigest()}


def test_search_writes_the_best_rows_in_every_format_and_bench_runs(tmp_path):
    np.save(tmp_path / "emb.npy", EMB)
    index = ok("prepare", tmp_path / "emb.npy", "--name", "e", "--metric", "euclidean", "--out", tmp_path).strip()
    Q = np.random.default_rng(6).standard_normal((300, DIMS), dtype=np.float32)  # more than one batch piece
    np.save(tmp_path / "q.npy", Q)
    search = ("search", index, "--queries", tmp_path / "q.npy", "-k", 4)
    ok(*search, "--out", tmp_path / "r.npz")
    with np.load(tmp_path / "r.npz") as r:
        indices, scores = r["indices"], r["scores"]
    d = ((Q[:, None, :].astype(np.float64) - EMB[None, :, :]) ** 2).sum(-1)
    np.testing.assert_array_equal(indices, np.argsort(d, axis=1, kind="stable")[:, :4])
    np.testing.assert_allclose(scores, np.take_along_axis(d, indices.astype(np.int64), 1), rtol=1e-4)
    as_json = json.loads(ok(*search, "--format", "json"))
    csv = np.array([line.split(",") for line in ok(*search, "--format", "csv").splitlines()[1:]])
    for got_i, got_s in ((as_json["indices"], as_json["scores"]), (csv[:, 2], csv[:, 3])):
        np.testing.assert_array_equal(np.asarray(got_i, np.uint64).reshape(indices.shape), indices)
        np.testing.assert_array_equal(np.asarray(got_s, np.float64).astype(np.float32).reshape(scores.shape), scores)
    # A collection directory answers with its user ids.
    collection = zorvikdb.Collection.create(tmp_path / "c", DIMS, "euclidean")
    collection.add(EMB, np.arange(ROWS, dtype=np.uint64) + 100)
    as_ids = json.loads(ok("search", tmp_path / "c", *search[2:], "--format", "json"))
    np.testing.assert_array_equal(np.asarray(as_ids["ids"], np.uint64), indices + 100)
    report = ok("bench", index, "--queries", 3)
    assert f"{ROWS} x {DIMS} euclidean" in report and "same top-10 rows: 3 of 3" in report


@pytest.fixture(scope="module")
def failure_files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("failures")
    (tmp / "junk.npy").write_text("not an array\n")
    for name, data in {"emb": EMB, "f64": EMB.astype(np.float64), "vec": EMB[0], "short": EMB[:3, :-1]}.items():
        np.save(tmp / f"{name}.npy", data)
    ok("prepare", tmp / "emb.npy", "--name", "x", "--metric", "dot", "--out", tmp / "idx")
    return tmp


PREPARE, SEARCH = ["prepare", "--name", "x", "--metric"], ["search", "{tmp}/idx/x_f32.bin", "--queries"]


@pytest.mark.parametrize("args, code, says", [
    (PREPARE + ["dot", "{tmp}/junk.npy"], 1, "not a .npy"), (PREPARE + ["dot", "{tmp}/vec.npy"], 1, "expected a 2-D array"),
    (PREPARE + ["dot", "{tmp}/f64.npy"], 1, "expected float32 values, got float64"),
    (PREPARE + ["hamming", "{tmp}/emb.npy", "--out", "{tmp}"], 1, "Unknown similarity metric: hamming"),
    (["info", "{tmp}/junk.npy"], 1, "zorvikdb: error: "),
    (SEARCH + ["{tmp}/short.npy", "-k", "1"], 1, "zorvikdb: error: "),
    (["prepare", "{tmp}/emb.npy", "--metric", "dot"], 2, "the following arguments are required: --name"),
    (SEARCH + ["{tmp}/emb.npy", "-k", "-1"], 2, "argument -k"),
    (SEARCH + ["{tmp}/emb.npy", "-k", "1", "--out", "r.npz", "--format", "csv"], 2, "not allowed with")])
def test_failures_are_one_line_with_their_exit_status(failure_files, args, code, says):
    got, out, err = run(*(a.format(tmp=failure_files) for a in args))
    assert (got, out) == (code, "") and says in err and "Traceback" not in err
    assert code == 2 or (err.startswith("zorvikdb: error: ") and err.count("\n") == 1)


def test_interrupted_prepare_leaves_no_index_and_no_temporary_file(tmp_path):
    big = np.lib.format.open_memmap(tmp_path / "big.npy", mode="w+", dtype=np.float32, shape=(2_000_000, 64))
    big[:] = 1.0
    big.flush()
    out = tmp_path / "out"
    proc = cli("prepare", tmp_path / "big.npy", "--name", "big", "--metric", "cosine", "--out", out)

    def writing():  # a descriptor open in the output directory: the index is being written
        try:
            return any(os.readlink(fd).startswith(str(out)) for fd in Path(f"/proc/{proc.pid}/fd").iterdir())
        except OSError:
            return False

    while proc.poll() is None and not writing():
        time.sleep(0.002)
    assert proc.poll() is None, "the preparation ended before it could be interrupted"
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == 130 and err == "zorvikdb: interrupted\n" and list(out.iterdir()) == []
