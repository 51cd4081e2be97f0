"""Index preparation: file contents against a float32 model, names, invalid-value sampling, placement, failures."""

import contextlib
import errno
import os
import pathlib
import pwd
import re
import shutil
import struct
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import zorvikdb
from conftest import BASE_NAME, METRIC_IDS, NO_VALID, normalized_model, os_error_text, raises_exactly

PREPARE = zorvikdb.py_prepare_bin_from_embeddings
CALL = "zorvikdb.py_prepare_bin_from_embeddings"


def prepare(emb, out, name="items", level="f32", **kw):
    return PREPARE(emb, emb.shape[1], emb.shape[0], name, level, output_dir=str(out), **kw)


def prepared(emb, out, **kw):
    """(dims, rows, metric id) and the rows of the file written."""
    data = pathlib.Path(prepare(emb, out, **kw)).read_bytes()
    return struct.unpack("<III", data[:12]), data[12:]


def fails(message, emb, out, **kw):
    raises_exactly(ValueError, message, prepare, emb, out, **kw)


def wide_range_rows(rows, dims, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((rows, dims)).astype(np.float32) * np.exp2(rng.integers(-30, 30, (rows, dims)))).astype(np.float32)


# Lengths around the groups of eight, several chunks, column-major input; rows stored as given unless normalised.
@pytest.mark.parametrize("metric, normalize, rows, dims, order", [
    *[("cosine", False, 40, dims, "C") for dims in (1, 3, 7, 8, 9, 16, 17, 100, 384)], ("dot", True, 40, 17, "F"),
    ("cosine", False, 20000, 3, "F"), ("dot", True, 20000, 3, "C"), ("cosine", False, 4097, 2048, "F"),
    ("dot", True, 4097, 2048, "C"), ("dot", False, 9000, 7, "F"), ("euclidean", False, 200, 5, "C"),
    ("dot", False, 6, 5, "F")])
def test_file_contents_match_the_float32_model(tmp_path, metric, normalize, rows, dims, order):
    emb = wide_range_rows(rows, dims, rows + dims)
    emb[:4] = np.array([[0], [-0.0], [1e-30], [1e30]], np.float32)  # zero, squares that underflow or overflow
    if rows * dims >= 1000:  # positions 5..9 and 17 are never sampled for invalid values
        emb.flat[[5, 6, 7, 8, 9, 17]] = [np.nan, -np.inf, -0.0, 1e-45, 3.4e38, np.float32(np.nan) * -1]
    out = tmp_path / "made" / "here"
    path = prepare(np.asarray(emb, order=order), out, name=metric, metric=metric, normalize=normalize)
    assert path == str(out / f"{metric}_f32.bin")
    want = normalized_model(emb) if metric == "cosine" or normalize else emb.tobytes()
    assert pathlib.Path(path).read_bytes() == struct.pack("<III", dims, rows, METRIC_IDS[metric]) + want


def test_level_ann_seed_and_array_shape_change_only_the_name(tmp_path):
    emb = wide_range_rows(7, 9, 1)
    # Only the element count is compared: a 9 x 7 array is read as 7 rows of 9.
    contents = {pathlib.Path(PREPARE(emb.reshape(9, 7), 9, 7, "s", "f32", ann=True, seed=2**64 - 1,
                                     output_dir=str(tmp_path / "s"))).read_bytes()}
    for level in ("f8", "f16", "f32", "f64"):
        path = prepare(emb, tmp_path, level=level)
        assert os.path.basename(path) == f"items_{level}.bin"
        contents.add(pathlib.Path(path).read_bytes())
    assert len(contents) == 1


def test_array_changed_while_the_file_is_written_does_not_reach_it(tmp_path):
    emb, go = np.ones((20000, 64), np.float32), threading.Event()
    t = threading.Thread(target=lambda: go.wait() and emb.fill(5))
    t.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)  # the other thread runs only when the lock is let go
    try:
        go.set()
        data = prepared(emb, tmp_path, metric="dot")[1]
    finally:
        sys.setswitchinterval(interval)
    t.join()
    assert emb[0, 0] == 5 and data == np.ones((20000, 64), np.float32).tobytes()


# metric id -> accepted names, in any case; other names are shown as passed, untrimmed
METRIC_NAMES = {0: "cosine cos norm_cosine normalized_cosine normalized-cosine COSINE",
                1: "dot dotproduct dot_product Dot_Product", 2: "euclidean euclidian l2 L2 Euclidean EUCLIDIAN"}


def test_metric_names(tmp_path):
    emb = np.array([[3, 4], [1, 1]], np.float32)
    assert normalized_model(emb)[:8] == np.float32([0.6, 0.8]).tobytes()
    for mid, names in METRIC_NAMES.items():
        for name in names.split():
            assert prepared(emb, tmp_path, metric=name) == ((2, 2, mid), normalized_model(emb) if mid == 0 else emb.tobytes())
    for name in (" cosine", "cosine ", "manhattan", "", "co sine"):
        fails(f"Unknown similarity metric: {name}", emb, tmp_path, metric=name)


@pytest.mark.parametrize("base, outcome", [
    ("model.2", BASE_NAME), ("   ", BASE_NAME), ("", BASE_NAME), ("\u3000\u2003\u0085\t", BASE_NAME),
    *[(f"a{c}b", BASE_NAME) for c in '/\\:*?"<>|'], ("##", NO_VALID), ("+%", NO_VALID),
    # not Unicode white space, so not trimmed; then dropped as non-alphanumeric
    ("\x1c", NO_VALID), ("\u200b", NO_VALID),
    ("my index", "myindex"), ("données-2", "données-2"), (" x ", "x"), ("a-b_c", "a-b_c"), ("x²", "x²"),
    # alphabetic marks and symbols are kept, other combining marks and emoji dropped
    ("\u24b6b", "\u24b6b"), ("\u0915\u093f", "\u0915\u093f"), ("e\u0301x", "ex"), ("a\U0001f600b", "ab"),
    ("\u2167\u00bd", "\u2167\u00bd"),
    # Unicode 15 classes, whatever the C library or the interpreter knows: Tibetan and
    # Kaithi signs that are Alphabetic, a Nag Mundari letter, a Kawi digit
    ("a\u0f83b\U00011080", "a\u0f83b\U00011080"), ("\U0001e4d0\U00011f50", "\U0001e4d0\U00011f50")])
def test_base_names(tmp_path, base, outcome):
    refused = outcome in (BASE_NAME, NO_VALID)
    if refused:
        fails(outcome, np.ones((1, 2), np.float32), tmp_path, name=base)
    else:
        assert prepare(np.ones((1, 2), np.float32), tmp_path, name=base) == str(tmp_path / f"{outcome}_f32.bin")
    assert os.listdir(tmp_path) == ([] if refused else [f"{outcome}_f32.bin"])


# (count, sampling step, samples): about 100 samples up to 100999 values, then one in a thousand
@pytest.mark.parametrize("count, step, samples", [(6, 1, 6), (100, 1, 100), (101, 1, 101), (1000, 10, 100),
                                                  (100999, 1009, 101), (101000, 1000, 101), (250007, 1000, 251)])
def test_invalid_value_sampling(tmp_path, count, step, samples):
    emb = np.ones((count, 1), np.float32)
    flat, allowed = emb[:, 0], samples // 100
    flat[: step * (allowed + 1) : step] = np.nan
    flat[0] = -np.inf
    if step > 1:
        flat[1 : step * allowed + 2 : step] = np.nan  # never sampled
    bad = allowed + 1
    fails(f"Too many invalid values: {bad}/{samples} ({bad * 100.0 / samples:.1f}%)", emb, tmp_path)
    flat[0] = 1  # one fewer sampled invalid value is tolerated
    prepare(emb, tmp_path, metric="dot")


@pytest.mark.skipif(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") < 8 * 2**30, reason="needs 4 GiB free")
def test_strict_memory_check(tmp_path, monkeypatch):
    # 42949673 rows of 20 at "f8" estimate just over 8 GiB (untouched zero pages until copied).
    emb = np.zeros((42949673, 20), np.float32)
    (tmp_path / "file").write_bytes(b"x")
    monkeypatch.setenv("ZORVIK_STRICT_MEMCHECK", "1")
    fails("Insufficient memory: need 8.0GB, available 8.0GB", emb, tmp_path / "file", name="##", level="f8")
    monkeypatch.setenv("ZORVIK_STRICT_MEMCHECK", "true")  # any other value lets the call go on to the next check
    fails(NO_VALID, emb, tmp_path / "file", name="##", level="f8")
    monkeypatch.setenv("ZORVIK_STRICT_MEMCHECK", "1")  # under the threshold the variable is not consulted
    fails(f"Output path is not a directory: {tmp_path}/file", emb[:1000], tmp_path / "file", name="x", level="f8")


def test_only_normalisation_starts_the_worker_pool_and_files_and_directories_take_the_umask(tmp_path, fresh_python):
    code = f"""
        import os, stat, numpy as np, zorvikdb
        os.umask(0o027)
        threads, mode = lambda: len(os.listdir("/proc/self/task")), lambda p: oct(stat.S_IMODE(os.stat(p).st_mode))
        before = threads()
        for metric in ("dot", "cosine"):
            p = {CALL}(np.ones((3, 2), np.float32), 2, 3, metric, "f32", metric=metric, output_dir={str(tmp_path / "d" / "e")!r})
            print(threads() - before)
        print(os.sysconf("SC_NPROCESSORS_ONLN"), mode(p), mode(os.path.dirname(p)))
    """
    plain, normalised, cpus, file_mode, dir_mode = fresh_python(code, env={"RAYON_NUM_THREADS": None}).split()
    assert (int(plain), int(normalised), file_mode, dir_mode) == (0, max(int(cpus), 1), "0o640", "0o750")


def test_output_directory_rules(tmp_path, monkeypatch):
    emb = np.ones((1, 2), np.float32)
    assert prepare(emb, tmp_path / "a" / "b" / "c", name="x") == f"{tmp_path}/a/b/c/x_f32.bin"
    assert PREPARE(emb, 2, 1, "x", "f16", output_dir=f"{tmp_path}/a/b/c/") == f"{tmp_path}/a/b/c/x_f16.bin"
    (tmp_path / "plain").write_bytes(b"keep")
    fails(f"Output path is not a directory: {tmp_path}/plain", emb, tmp_path / "plain")
    assert (tmp_path / "plain").read_bytes() == b"keep"
    for sub, code in (("plain/sub", errno.ENOTDIR), ("a\0b", errno.EINVAL)):
        fails(f"Failed to create directory {tmp_path}/{sub}: {os_error_text(code)}", emb, f"{tmp_path}/{sub}")
    (tmp_path / "cwd").mkdir()
    monkeypatch.chdir(tmp_path / "cwd")
    assert prepare(emb, "", name="x") == "x_f32.bin" and os.listdir(".") == ["x_f32.bin"]


def prepare_by_default(stem):
    return f'import numpy as np, zorvikdb\nattempt({CALL}, np.ones((1, 2), np.float32), 2, 1, {stem!r}, "f32")'


@pytest.mark.parametrize("home", ["tmp", "tmp/", "", None])
def test_default_directory_under_home(tmp_path, fresh_python, home):
    # An empty or missing HOME falls back to the password database.
    base = str(tmp_path) if home else pwd.getpwuid(os.getuid()).pw_dir.rstrip("/") or "/"
    stem = f"zorvik_test_{os.getpid()}_{home is None:d}"
    made = [d for d in (f"{base}/.zorvik", f"{base}/.zorvik/indexes") if not os.path.exists(d)]
    want = os.path.join(base, ".zorvik", "indexes", f"{stem}_f32.bin")
    try:
        assert fresh_python(prepare_by_default(stem), env={"HOME": home and str(tmp_path) + home[3:]}).strip() == want
        assert os.path.isfile(want)
    finally:
        for p in (want, *reversed(made)):
            with contextlib.suppress(OSError):
                os.rmdir(p) if p in made else os.unlink(p)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to switch to a user id without an entry")
def test_no_home_directory(fresh_python):
    uid = next(u for u in range(54321, 60000) if u not in {p.pw_uid for p in pwd.getpwall()})
    out = fresh_python(f"import os, numpy, zorvikdb\nos.setuid({uid})\n" + prepare_by_default("x"), env={"HOME": None})
    assert out.strip() == "ValueError: Failed to get home directory"


def test_replacement_while_an_engine_has_the_old_file_open(tmp_path):
    old, new = np.array([[1, 0], [0, 1]], np.float32), np.array([[0, 2], [3, 0], [1, 1]], np.float32)
    path = prepare(old, tmp_path, metric="dot")
    before = zorvikdb.PySearchEngine(path, False)
    assert prepare(new, tmp_path, metric="dot") == path
    after, q = zorvikdb.PySearchEngine(path, False), np.array([1, 0], np.float32)
    assert [(e.rows(), [(h.idx, h.score) for h in e.query_exact(q, 1).results]) for e in (before, after)] == [
        (2, [(0, 1.0)]), (3, [(1, 3.0)])]
    assert pathlib.Path(path).read_bytes()[12:] == new.tobytes() and os.listdir(tmp_path) == ["items_f32.bin"]


def test_stale_temporary_file(tmp_path):
    emb = np.ones((2, 2), np.float32)
    path = pathlib.Path(prepare(emb, tmp_path))
    (tmp_path / "items_f32.tmp").write_bytes(b"left over by an older run")
    prepare(emb * 2, tmp_path, metric="dot")
    assert os.listdir(tmp_path) == ["items_f32.bin"]
    # A stale name that cannot be removed stops the preparation; the index stays as it was.
    original = pathlib.Path(prepare(emb, tmp_path)).read_bytes()
    (tmp_path / "items_f32.tmp").mkdir()
    (tmp_path / "items_f32.tmp" / "inner").write_bytes(b"")
    fails(f"Failed to remove temp file: {os_error_text(errno.EISDIR)}", emb * 3, tmp_path)
    assert path.read_bytes() == original and sorted(os.listdir(tmp_path)) == ["items_f32.bin", "items_f32.tmp"]


def test_failed_sizing_keeps_the_old_index(tmp_path, fresh_python):
    code = f"""
        import resource, signal, numpy as np, zorvikdb
        {CALL}(np.ones((4, 4), np.float32), 4, 4, "items", "f32", output_dir={str(tmp_path)!r})
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        for metric in ("cosine", "dot"):
            attempt({CALL}, np.ones((100, 100), np.float32), 100, 100, "items", "f32", metric=metric, output_dir={str(tmp_path)!r})
    """
    assert fresh_python(code).splitlines() == [f"ValueError: Failed to set file length: {os_error_text(errno.EFBIG)}"] * 2
    assert os.listdir(tmp_path) == ["items_f32.bin"]
    assert (tmp_path / "items_f32.bin").read_bytes() == struct.pack("<III", 4, 4, 0) + np.full((4, 4), 0.5, np.float32).tobytes()


def create_file_error(stem, code):
    # The whole message for a temporary file `<stem>.<host>.<pid>-<n>.tmp` that could not be made.
    return "^" + re.escape(f"Failed to create file {stem}.") + r"[^/]+\.\d+-\d+\.tmp: " + re.escape(os_error_text(code)) + "$"


def test_directory_without_write_permission(fresh_python):
    base = tempfile.mkdtemp()  # world-searchable, unlike pytest's directories, for the dropped user id
    out_dir = os.path.join(base, "ro")
    original = pathlib.Path(PREPARE(np.ones((2, 2), np.float32), 2, 2, "items", "f32", output_dir=out_dir))
    before = original.read_bytes()
    os.chmod(base, 0o755)
    os.chmod(out_dir, 0o555)
    code = f"""
        import os, numpy as np, zorvikdb
        {"os.setuid(65534)" if os.geteuid() == 0 else ""}
        attempt({CALL}, np.zeros((2, 2), np.float32), 2, 2, "items", "f32", output_dir={out_dir!r})
    """
    try:
        out, listing, after = fresh_python(code).strip(), os.listdir(out_dir), original.read_bytes()
    finally:
        os.chmod(out_dir, 0o755)
        shutil.rmtree(base)
    assert re.fullmatch(create_file_error(f"{out_dir}/items_f32", errno.EACCES), out.removeprefix("ValueError: ")), out
    assert listing == ["items_f32.bin"] and after == before


def test_failed_creation_or_move_leaves_nothing_behind(tmp_path):
    emb = np.ones((1, 2), np.float32)
    fits = "n" * (255 - len("_f32.bin"))  # the final name is exactly 255 bytes
    assert prepare(emb, tmp_path, name=fits) == str(tmp_path / f"{fits}_f32.bin")
    with pytest.raises(ValueError, match=create_file_error(f"{tmp_path}/{fits}n_f32", errno.ENAMETOOLONG)):
        prepare(emb, tmp_path, name=fits + "n")
    (tmp_path / "items_f32.bin").mkdir()
    fails(f"Failed to move temp file to final location: {os_error_text(errno.EISDIR)}", emb, tmp_path)
    assert sorted(os.listdir(tmp_path)) == sorted([f"{fits}_f32.bin", "items_f32.bin"])
    assert os.listdir(tmp_path / "items_f32.bin") == []


def test_concurrent_preparations_of_one_name(tmp_path):
    versions = [np.full((3000, 64), i + 1, np.float32) for i in range(4)]
    expected = {struct.pack("<III", 64, 3000, 1) + v.tobytes() for v in versions}
    path, stop = tmp_path / "items_f32.bin", threading.Event()

    def incomplete():  # sizes of the files a reader saw that are none of the versions
        seen = (path.read_bytes() if path.exists() else None for _ in iter(stop.is_set, True))
        return [len(data) for data in seen if data is not None and data not in expected]

    with ThreadPoolExecutor(5) as pool:
        reader = pool.submit(incomplete)
        for writer in [pool.submit(lambda v=v: [prepare(v, tmp_path, metric="dot") for _ in range(5)]) for v in versions]:
            writer.result()
        stop.set()
    assert reader.result() == [] and path.read_bytes() in expected and os.listdir(tmp_path) == ["items_f32.bin"]
