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

REPO = Path(__file__).resolve().parent.parent
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(REPO), os.environ.get("PYTHONPATH", "")])}
ROWS, DIMS = 600, 24


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


@pytest.fixture
def emb(tmp_path):
    X = np.random.default_rng(5).standard_normal((ROWS, DIMS), dtype=np.float32)
    np.save(tmp_path / "emb.npy", X)
    return X


def save(data, options=()):
    return lambda path, X: np.save(path, data(X)) or list(options)


def write_npz(path, X):
    np.savez(path, other=X[:2], emb=X)
    return ["--key", "emb"]


def write_parquet(path, X):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"id": np.arange(len(X)), "vec": list(X)}), path)
    return ["--column", "vec"]


# Each input form: its file name, how it is written and the options that select the matrix.
SOURCES = {
    "npy": ("src.npy", save(lambda X: X)),
    "fortran-order npy": ("src.npy", save(np.asfortranarray)),
    "float64 with --convert": ("src.npy", save(lambda X: X.astype(np.float64), ["--convert"])),
    "npz with --key": ("src.npz", write_npz),
    "parquet with --column": ("src.parquet", write_parquet),
}


@pytest.mark.parametrize("source", SOURCES)
def test_every_input_form_prepares_the_same_index(tmp_path, emb, source):
    name, write = SOURCES[source]
    options = write(tmp_path / name, emb)
    made = ok("prepare", tmp_path / name, "--name", "items", "--metric", "dot", "--out", tmp_path / "idx", *options)
    content = Path(made.strip()).read_bytes()
    assert content == struct.pack("<III", DIMS, ROWS, 1) + emb.tobytes()
    facts = dict(line.split(None, 1) for line in ok("info", made.strip()).splitlines())
    assert facts == {"path": made.strip(), "rows": str(ROWS), "dims": str(DIMS), "metric": "dot",
                                  "bytes": str(len(content)), "blake3": blake3.blake3(content).hexdigest()}


def test_search_writes_the_best_rows_in_every_format_and_bench_runs(tmp_path, emb):
    index = ok("prepare", tmp_path / "emb.npy", "--name", "e", "--metric", "euclidean", "--out", tmp_path).strip()
    Q = np.random.default_rng(6).standard_normal((300, DIMS), dtype=np.float32)  # more than one batch piece
    np.save(tmp_path / "q.npy", Q)
    k = 4
    ok("search", index, "--queries", tmp_path / "q.npy", "-k", k, "--out", tmp_path / "r.npz")
    with np.load(tmp_path / "r.npz") as r:
        indices, scores = r["indices"], r["scores"]
    d = ((Q[:, None, :].astype(np.float64) - emb[None, :, :]) ** 2).sum(-1)
    np.testing.assert_array_equal(indices, np.argsort(d, axis=1, kind="stable")[:, :k])
    np.testing.assert_allclose(scores, np.take_along_axis(d, indices.astype(np.int64), 1), rtol=1e-4)

    as_json = json.loads(ok("search", index, "--queries", tmp_path / "q.npy", "-k", k, "--format", "json"))
    csv_rows = ok("search", index, "--queries", tmp_path / "q.npy", "-k", k, "--format", "csv").splitlines()
    csv = np.array([line.split(",") for line in csv_rows[1:]])
    for got_i, got_s in ((as_json["indices"], as_json["scores"]), (csv[:, 2], csv[:, 3])):
        np.testing.assert_array_equal(np.asarray(got_i, np.uint64).reshape(indices.shape), indices)
        np.testing.assert_array_equal(np.asarray(got_s, np.float64).astype(np.float32).reshape(scores.shape), scores)

    report = ok("bench", index, "--queries", 3)
    assert f"{ROWS} x {DIMS} euclidean" in report and "same top-10 rows: 3 of 3" in report


@pytest.mark.parametrize("args, code, says", [
    (["prepare", "{tmp}/junk.npy", "--name", "x", "--metric", "dot"], 1, "not a .npy"),
    (["prepare", "{tmp}/missing.npy", "--name", "x", "--metric", "dot"], 1, "No such file"),
    (["prepare", "{tmp}/f64.npy", "--name", "x", "--metric", "dot"], 1, "expected float32 values, got float64"),
    (["prepare", "{tmp}/vec.npy", "--name", "x", "--metric", "dot"], 1, "expected a 2-D array"),
    (["prepare", "{tmp}/emb.npy", "--name", "x", "--metric", "hamming", "--out", "{tmp}"], 1,
     "Unknown similarity metric: hamming"),
    (["info", "{tmp}/junk.npy"], 1, "zorvikdb: error: "),
    (["search", "{tmp}/idx/x_f32.bin", "--queries", "{tmp}/vec.npy", "-k", "1"], 1, "expected a 2-D array"),
    (["search", "{tmp}/idx/x_f32.bin", "--queries", "{tmp}/short.npy", "-k", "1"], 1, "zorvikdb: error: "),
    (["prepare", "{tmp}/emb.npy", "--metric", "dot"], 2, "the following arguments are required: --name"),
    (["search", "{tmp}/idx/x_f32.bin", "--queries", "{tmp}/emb.npy", "-k", "-1"], 2, "argument -k"),
    (["search", "{tmp}/idx/x_f32.bin", "--queries", "{tmp}/emb.npy", "-k", "1", "--out", "r.npz", "--format", "csv"],
     2, "not allowed with"),
])
def test_failures_are_one_line_with_their_exit_status(failure_files, args, code, says):
    got, out, err = run(*(a.format(tmp=failure_files) for a in args))
    assert (got, out) == (code, "")
    assert says in err and "Traceback" not in err
    if code == 1:
        assert err.startswith("zorvikdb: error: ") and err.count("\n") == 1


@pytest.fixture(scope="module")
def failure_files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("failures")
    X = np.random.default_rng(5).standard_normal((ROWS, DIMS), dtype=np.float32)
    (tmp / "junk.npy").write_text("not an array\n")
    for name, data in {"emb": X, "f64": X.astype(np.float64), "vec": X[0], "short": X[:3, :-1]}.items():
        np.save(tmp / f"{name}.npy", data)
    ok("prepare", tmp / "emb.npy", "--name", "x", "--metric", "dot", "--out", tmp / "idx")
    return tmp


def test_interrupted_prepare_leaves_no_index_and_no_temporary_file(tmp_path):
    big = np.lib.format.open_memmap(tmp_path / "big.npy", mode="w+", dtype=np.float32, shape=(2_000_000, 64))
    big[:] = 1.0
    big.flush()
    out = tmp_path / "out"
    proc = cli("prepare", tmp_path / "big.npy", "--name", "big", "--metric", "cosine", "--out", out)

    def writing():  # a descriptor open in the output directory: the index is being written
        try:
            fds = Path(f"/proc/{proc.pid}/fd")
            return any(os.readlink(fd).startswith(str(out)) for fd in fds.iterdir())
        except OSError:
            return False

    while proc.poll() is None and not writing():
        time.sleep(0.002)
    assert proc.poll() is None, "the preparation ended before it could be interrupted"
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == 130 and err == "zorvikdb: interrupted\n"
    assert list(out.iterdir()) == []
