"""Index preparation: file contents, validation order, placement, replacement and failures."""

import errno
import os
import re
import shutil
import struct
import sys
import tempfile
import textwrap
import threading

import numpy as np
import pytest

import zorvikdb
from conftest import os_error_text, raises_exactly

PREPARE = zorvikdb.py_prepare_bin_from_embeddings


def prepare(emb, out, name="items", level="f32", **kw):
    rows, dims = emb.shape
    return PREPARE(emb, dims, rows, name, level, output_dir=str(out), **kw)


def header(data):
    return struct.unpack("<III", data[:12])


def expect_error(exc_type, message, *args, **kw):
    raises_exactly(exc_type, message, PREPARE, *args, **kw)


def normalized_model(x):
    """Rows scaled by 1/|row| in float32: per group of eight, ((x0²+x1²)+x2²)+x3² and the
    same for x4..x7 are added and then added to the running sum; the tail goes in one by one."""
    x = np.asarray(x, dtype=np.float32)
    rows, dims = x.shape
    with np.errstate(all="ignore"):
        sq = x * x
        s = np.zeros(rows, dtype=np.float32)
        for g in range(0, dims - dims % 8, 8):
            c = sq[:, g : g + 8]
            a = ((c[:, 0] + c[:, 1]) + c[:, 2]) + c[:, 3]
            b = ((c[:, 4] + c[:, 5]) + c[:, 6]) + c[:, 7]
            s = s + (a + b)
        for j in range(dims - dims % 8, dims):
            s = s + sq[:, j]
        n = np.sqrt(s)
        out = x * (np.float32(1) / n)[:, None]
    out[(s == 0) | ~np.isfinite(n)] = 0
    return out


def wide_range_rows(rows, dims, seed):
    rng = np.random.default_rng(seed)
    mags = np.exp2(rng.integers(-30, 30, size=(rows, dims))).astype(np.float32)
    return (rng.standard_normal((rows, dims)).astype(np.float32) * mags).astype(np.float32)


@pytest.fixture(params=["existing", "created"])
def out_dir(tmp_path, request):
    """An index directory that exists already, or one the preparation has to create."""
    return tmp_path if request.param == "existing" else tmp_path / "made" / "here"


# ---------------------------------------------------------------- file contents


def test_unnormalised_rows_are_stored_bit_for_bit(out_dir):
    # 1000 values: only positions 0, 10, 20, ... are checked for NaN and infinity.
    emb = np.arange(1000, dtype=np.float32).reshape(200, 5) - 500
    emb[1] = [np.nan, -np.inf, -0.0, 1e-45, 3.4e38]
    emb[3, 2] = np.float32(np.nan) * -1
    for metric, mid in (("dot", 1), ("euclidean", 2)):
        path = prepare(emb, out_dir, name=metric, metric=metric)
        data = open(path, "rb").read()
        assert isinstance(path, str) and path == str(out_dir / f"{metric}_f32.bin")
        assert header(data) == (5, 200, mid) and data[12:] == emb.astype("<f4").tobytes()


def test_level_ann_and_seed_change_only_the_name(tmp_path):
    emb = wide_range_rows(7, 9, 1)
    contents = {open(prepare(emb, tmp_path / "s", ann=True, seed=2**64 - 1), "rb").read()}
    for level in ("f8", "f16", "f32", "f64"):
        path = prepare(emb, tmp_path, level=level)
        assert os.path.basename(path) == f"items_{level}.bin"
        contents.add(open(path, "rb").read())
    assert len(contents) == 1


@pytest.mark.parametrize("rows, dims", [(6, 5), (9000, 7)])
def test_input_order_is_logical_row_order(out_dir, rows, dims):
    emb = wide_range_rows(rows, dims, 3)
    f = open(prepare(np.asfortranarray(emb), out_dir, metric="dot"), "rb").read()
    assert f[12:] == emb.tobytes()
    # Only the element count is compared: a 10 x 4 array is read as 4 rows of 10.
    emb = np.arange(40, dtype=np.float32).reshape(10, 4)
    data = open(PREPARE(emb, 10, 4, "t", "f32", metric="dot", output_dir=str(out_dir)), "rb").read()
    assert header(data) == (10, 4, 1) and data[12:] == emb.tobytes()


def test_array_changed_while_the_file_is_written_does_not_reach_it(out_dir):
    emb = np.ones((20000, 64), np.float32)
    go = threading.Event()

    def spoil():
        go.wait()
        emb[:] = 5

    t = threading.Thread(target=spoil)
    t.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)  # the other thread runs only when the lock is let go
    try:
        go.set()
        data = open(prepare(emb, out_dir, metric="dot"), "rb").read()
    finally:
        sys.setswitchinterval(interval)
    t.join()
    assert emb[0, 0] == 5 and data[12:] == np.ones((20000, 64), np.float32).tobytes()


@pytest.mark.parametrize(
    "text, mid",
    [("cosine", 0), ("cos", 0), ("norm_cosine", 0), ("normalized_cosine", 0), ("normalized-cosine", 0),
     ("COSINE", 0), ("dot", 1), ("dotproduct", 1), ("dot_product", 1), ("Dot_Product", 1),
     ("euclidean", 2), ("euclidian", 2), ("l2", 2), ("L2", 2), ("Euclidean", 2), ("EUCLIDIAN", 2),
     # unknown names are shown as passed, untrimmed
     (" cosine", None), ("cosine ", None), ("manhattan", None), ("", None), ("co sine", None)],
)
def test_metric_names(tmp_path, text, mid):
    emb = np.array([[3, 4], [1, 1]], np.float32)
    if mid is None:
        return expect_error(ValueError, f"Unknown similarity metric: {text}", emb, 2, 2, "x", "f32", metric=text,
                            output_dir=str(tmp_path))
    data = open(prepare(emb, tmp_path, metric=text), "rb").read()
    assert header(data)[2] == mid
    assert data[12:] == (normalized_model(emb) if mid == 0 else emb).tobytes()


# ---------------------------------------------------------------- normalisation


@pytest.mark.parametrize("dims", [1, 3, 7, 8, 9, 16, 17, 100, 384])
def test_normalised_rows_match_float32_model(tmp_path, dims):
    emb = wide_range_rows(40, dims, dims)
    emb[:4] = np.array([[0], [-0.0], [1e-30], [1e30]], np.float32)  # zero, squares that underflow or overflow
    cos = open(prepare(emb, tmp_path / "cos"), "rb").read()
    dot = open(prepare(emb, tmp_path / "dot", metric="dot", normalize=True), "rb").read()
    expected = normalized_model(emb).tobytes()
    assert cos[12:] == expected and header(cos)[2] == 0
    assert dot[12:] == expected and header(dot)[2] == 1
    assert not np.frombuffer(cos[12 : 12 + 16 * dims], np.float32).any()
    assert np.signbit(np.frombuffer(cos[12:], np.float32)[dims : 2 * dims]).sum() == 0


def test_special_rows_and_unexamined_invalid_values(tmp_path):
    emb = np.zeros((200, 5), np.float32)  # positions 5..9 and 15..19 are never sampled
    emb[0] = [3, 4, 0, 0, 0]
    emb[1] = [1, np.nan, 2, 3, 4]
    emb[3] = [1, 2, np.inf, 3, 4]
    emb[4] = [1, 2, 3, 4, 5]
    out = np.frombuffer(open(prepare(emb, tmp_path), "rb").read()[12:], np.float32).reshape(200, 5)
    assert out[0].tolist() == [np.float32(0.6), np.float32(0.8), 0, 0, 0] and not out[1:4].any()
    assert out.tobytes() == normalized_model(emb).tobytes()


@pytest.mark.parametrize("rows, dims", [(20000, 3), (4097, 2048)])
@pytest.mark.parametrize("order", ["C", "F"])
def test_normalisation_across_chunks(out_dir, rows, dims, order):
    emb = wide_range_rows(rows, dims, rows)
    data = open(prepare(np.asarray(emb, order=order), out_dir), "rb").read()
    assert data[12:] == normalized_model(emb).tobytes()


# ---------------------------------------------------------------- validation

BASE_NAME = "Invalid base_name: cannot be empty or contain special characters"
NO_VALID = "Base name contains no valid characters"


def test_messages_in_check_order(tmp_path):
    emb = np.ones((3, 4), np.float32)
    nan = np.full((3, 4), np.nan, np.float32)
    out = str(tmp_path)
    cases = [
        # each case fails two checks; the earlier one is reported
        (TypeError, "The given array is not contiguous", (np.ones((4, 6), np.float32)[:, ::2], 3, 4, "x", "f32"), {"metric": "nope"}),
        (ValueError, "Unknown similarity metric: nope", (emb, 0, 3, "x", "f32"), {"metric": "nope"}),
        (ValueError, "Invalid dims: 0 (must be 1-10000)", (emb, 0, 0, "x", "f32"), {}),
        (ValueError, "Invalid dims: 10001 (must be 1-10000)", (emb, 10001, 3, "x", "f32"), {}),
        (ValueError, "Invalid rows: 50000001 (must be 1-50000000)", (emb, 4, 50000001, "x.y", "f32"), {}),
        (ValueError, "Invalid rows: 0 (must be 1-50000000)", (emb, 4, 0, "x", "f32"), {}),
        (ValueError, "Data shape mismatch: expected 3\u00d75=15, got 12", (emb, 5, 3, "x.y", "f32"), {}),
        (ValueError, BASE_NAME, (emb, 4, 3, "model.2", "F32"), {}),
        (ValueError, "Invalid level 'F32'. Must be f8, f16, f32, or f64", (nan, 4, 3, "x", "F32"), {}),
        (ValueError, "Too many invalid values: 12/12 (100.0%)", (nan, 4, 3, "##", "f32"), {}),
        (ValueError, NO_VALID, (emb, 4, 3, "##", "f32"), {"output_dir": str(tmp_path / "never")}),
    ]
    for exc_type, message, args, kw in cases:
        kw.setdefault("output_dir", out)
        expect_error(exc_type, message, *args, **kw)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "base, outcome",
    [("model.2", BASE_NAME), ("   ", BASE_NAME), ("", BASE_NAME), ("\u3000\u2003\u0085\t", BASE_NAME),
     *[(f"a{c}b", BASE_NAME) for c in '/\\:*?"<>|'],
     ("##", NO_VALID), ("+%", NO_VALID),
     # not Unicode white space, so not trimmed; then dropped as non-alphanumeric
     ("\x1c", NO_VALID), ("\u200b", NO_VALID),
     ("my index", "myindex"), ("données-2", "données-2"), (" x ", "x"), ("a-b_c", "a-b_c"), ("x²", "x²"),
     # alphabetic marks and symbols are kept, other combining marks and emoji dropped
     ("\u24b6b", "\u24b6b"), ("\u0915\u093f", "\u0915\u093f"), ("e\u0301x", "ex"), ("a\U0001f600b", "ab"),
     ("\u2167\u00bd", "\u2167\u00bd"),
     # Unicode 15 classes, whatever the C library or the interpreter knows: Tibetan and
     # Kaithi signs that are Alphabetic, a Nag Mundari letter, a Kawi digit
     ("a\u0f83b\U00011080", "a\u0f83b\U00011080"), ("\U0001e4d0\U00011f50", "\U0001e4d0\U00011f50")],
)
def test_base_names(tmp_path, base, outcome):
    emb = np.ones((1, 2), np.float32)
    if outcome in (BASE_NAME, NO_VALID):
        expect_error(ValueError, outcome, emb, 2, 1, base, "f32", output_dir=str(tmp_path))
        assert os.listdir(tmp_path) == []
    else:
        path = PREPARE(emb, 2, 1, base, "f32", output_dir=str(tmp_path))
        assert path == str(tmp_path / f"{outcome}_f32.bin") and os.path.exists(path)


# (count, sampling step, samples): about 100 samples up to 100999 values, then one in a thousand
SAMPLING = [(6, 1, 6), (100, 1, 100), (101, 1, 101), (1000, 10, 100), (100999, 1009, 101),
            (101000, 1000, 101), (250007, 1000, 251)]


@pytest.mark.parametrize("count, step, samples", SAMPLING)
def test_invalid_value_sampling(tmp_path, count, step, samples):
    emb = np.ones((count, 1), np.float32)
    flat = emb[:, 0]
    allowed = samples // 100
    flat[: step * (allowed + 1) : step] = np.nan
    flat[0] = -np.inf
    if step > 1:
        flat[1 : step * allowed + 2 : step] = np.nan  # never sampled
    bad = allowed + 1
    expect_error(ValueError, f"Too many invalid values: {bad}/{samples} ({bad * 100.0 / samples:.1f}%)",
                 emb, 1, count, "x", "f32", output_dir=str(tmp_path))
    flat[0] = 1  # one fewer sampled invalid value is tolerated
    PREPARE(emb, 1, count, "x", "f32", metric="dot", output_dir=str(tmp_path))


def _mem_available():
    with open("/proc/meminfo") as f:
        return next((int(l.split()[1]) * 1024 for l in f if l.startswith("MemAvailable:")), 0)


@pytest.mark.skipif(_mem_available() < 8 * 2**30, reason="needs about 4 GiB of free memory")
def test_strict_memory_check(tmp_path, monkeypatch):
    # 42949673 rows of 20 at "f8" estimate just over 8 GiB (untouched zero pages until copied).
    rows, dims = 42949673, 20
    emb = np.zeros((rows, dims), np.float32)
    blocker = tmp_path / "file"
    blocker.write_bytes(b"x")
    monkeypatch.setenv("ZORVIK_STRICT_MEMCHECK", "1")
    expect_error(ValueError, "Insufficient memory: need 8.0GB, available 8.0GB",
                 emb, dims, rows, "##", "f8", output_dir=str(blocker))
    # Any other value lets the call go on to the next check.
    monkeypatch.setenv("ZORVIK_STRICT_MEMCHECK", "true")
    expect_error(ValueError, NO_VALID, emb, dims, rows, "##", "f8", output_dir=str(blocker))
    # Under the threshold the variable is not consulted.
    monkeypatch.setenv("ZORVIK_STRICT_MEMCHECK", "1")
    expect_error(ValueError, f"Output path is not a directory: {blocker}",
                 emb[:1000], dims, 1000, "x", "f8", output_dir=str(blocker))


def test_only_normalisation_starts_the_worker_pool(tmp_path, fresh_python):
    code = f"""
        import os, numpy as np, zorvikdb
        threads = lambda: len(os.listdir("/proc/self/task"))
        emb = np.ones((3, 2), np.float32)
        before = threads()
        zorvikdb.py_prepare_bin_from_embeddings(emb, 2, 3, "x", "f32", metric="dot", output_dir={str(tmp_path)!r})
        plain = threads()
        zorvikdb.py_prepare_bin_from_embeddings(emb, 2, 3, "x", "f32", output_dir={str(tmp_path)!r})
        print(plain - before, threads() - before, os.sysconf("SC_NPROCESSORS_ONLN"))
    """
    plain, normalised, cpus = map(int, fresh_python(code, env={"RAYON_NUM_THREADS": None}).split())
    assert plain == 0 and normalised == max(cpus, 1)


# ---------------------------------------------------------------- placement


def test_output_directory_rules(tmp_path, monkeypatch):
    emb = np.ones((1, 2), np.float32)
    nested = tmp_path / "a" / "b" / "c"
    assert PREPARE(emb, 2, 1, "x", "f32", output_dir=str(nested)) == f"{nested}/x_f32.bin"
    assert PREPARE(emb, 2, 1, "x", "f16", output_dir=f"{nested}/") == f"{nested}/x_f16.bin"

    blocker = tmp_path / "plain"
    blocker.write_bytes(b"keep")
    expect_error(ValueError, f"Output path is not a directory: {blocker}", emb, 2, 1, "x", "f32",
                 output_dir=str(blocker))
    assert blocker.read_bytes() == b"keep"
    expect_error(ValueError, f"Failed to create directory {blocker}/sub: {os_error_text(errno.ENOTDIR)}",
                 emb, 2, 1, "x", "f32", output_dir=f"{blocker}/sub")

    expect_error(ValueError, f"Failed to create directory {tmp_path}/a\0b: {os_error_text(errno.EINVAL)}",
                 emb, 2, 1, "x", "f32", output_dir=f"{tmp_path}/a\0b")

    work = tmp_path / "cwd"
    work.mkdir()
    monkeypatch.chdir(work)
    assert PREPARE(emb, 2, 1, "x", "f32", output_dir="") == "x_f32.bin"
    assert os.listdir(work) == ["x_f32.bin"]


def test_file_and_directory_modes(tmp_path, fresh_python):
    code = f"""
        import os, stat, numpy as np, zorvikdb
        os.umask(0o027)
        p = zorvikdb.py_prepare_bin_from_embeddings(np.ones((1, 2), np.float32), 2, 1, "x", "f32",
                                                    output_dir={str(tmp_path / "d" / "e")!r})
        print(oct(stat.S_IMODE(os.stat(p).st_mode)), oct(stat.S_IMODE(os.stat(os.path.dirname(p)).st_mode)))
    """
    assert fresh_python(code).split() == ["0o640", "0o750"]


PREPARE_DEFAULT = """
    import numpy as np, zorvikdb
    try:
        print(zorvikdb.py_prepare_bin_from_embeddings(np.ones((1, 2), np.float32), 2, 1, {stem!r}, "f32"))
    except ValueError as e:
        print("ValueError:", e)
"""


@pytest.mark.parametrize("home", ["tmp", "tmp/", "", None])
def test_default_directory_under_home(tmp_path, fresh_python, home):
    # An empty or missing HOME falls back to the password database.
    import pwd

    base = str(tmp_path) if home else pwd.getpwuid(os.getuid()).pw_dir.rstrip("/") or "/"
    stem = f"zorvik_test_{os.getpid()}_{home is None:d}"
    made = [d for d in (f"{base}/.zorvik", f"{base}/.zorvik/indexes") if not os.path.exists(d)]
    want = os.path.join(base, ".zorvik", "indexes", f"{stem}_f32.bin")
    env = {"HOME": home and str(tmp_path) + home[3:]}
    try:
        assert fresh_python(PREPARE_DEFAULT.format(stem=stem), env=env).strip() == want
        assert os.path.isfile(want)
    finally:
        if os.path.exists(want):
            os.unlink(want)
        for d in reversed(made):
            if os.path.isdir(d) and not os.listdir(d):
                os.rmdir(d)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to switch to a user id without an entry")
def test_no_home_directory(fresh_python):
    import pwd

    known = {p.pw_uid for p in pwd.getpwall()}
    uid = next(u for u in range(54321, 60000) if u not in known)
    code = f"import os, zorvikdb\nos.setuid({uid})\n" + textwrap.dedent(PREPARE_DEFAULT.format(stem="x"))
    assert fresh_python(code, env={"HOME": None}).strip() == "ValueError: Failed to get home directory"


# ---------------------------------------------------------------- replacement and failures


def test_replacement_while_an_engine_has_the_old_file_open(tmp_path):
    old = np.array([[1, 0], [0, 1]], np.float32)
    new = np.array([[0, 2], [3, 0], [1, 1]], np.float32)
    path = prepare(old, tmp_path, metric="dot")
    before = zorvikdb.PySearchEngine(path, False)
    assert prepare(new, tmp_path, metric="dot") == path
    after = zorvikdb.PySearchEngine(path, False)
    q = np.array([1, 0], np.float32)
    assert before.rows() == 2 and [(h.idx, h.score) for h in before.query_exact(q, 1).results] == [(0, 1.0)]
    assert after.rows() == 3 and [(h.idx, h.score) for h in after.query_exact(q, 1).results] == [(1, 3.0)]
    assert open(path, "rb").read()[12:] == new.tobytes()
    assert os.listdir(tmp_path) == ["items_f32.bin"]


def test_stale_temporary_file(tmp_path):
    emb = np.ones((2, 2), np.float32)
    path = prepare(emb, tmp_path)
    original = open(path, "rb").read()
    (tmp_path / "items_f32.tmp").write_bytes(b"left over by an older run")
    prepare(emb * 2, tmp_path, metric="dot")
    assert os.listdir(tmp_path) == ["items_f32.bin"]

    # A stale name that cannot be removed stops the preparation; the index stays as it was.
    prepare(emb, tmp_path)
    (tmp_path / "items_f32.tmp").mkdir()
    (tmp_path / "items_f32.tmp" / "inner").write_bytes(b"")
    expect_error(ValueError, f"Failed to remove temp file: {os_error_text(errno.EISDIR)}",
                 emb * 3, 2, 2, "items", "f32", output_dir=str(tmp_path))
    assert open(path, "rb").read() == original
    assert sorted(os.listdir(tmp_path)) == ["items_f32.bin", "items_f32.tmp"]


def test_failed_sizing_keeps_the_old_index(tmp_path, fresh_python):
    code = f"""
        import resource, signal, numpy as np, zorvikdb
        out = {str(tmp_path)!r}
        zorvikdb.py_prepare_bin_from_embeddings(np.ones((4, 4), np.float32), 4, 4, "items", "f32", output_dir=out)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        for metric in ("cosine", "dot"):
            try:
                zorvikdb.py_prepare_bin_from_embeddings(np.ones((100, 100), np.float32), 100, 100, "items", "f32",
                                                        metric=metric, output_dir=out)
            except ValueError as e:
                print(e)
    """
    assert fresh_python(code).splitlines() == [f"Failed to set file length: {os_error_text(errno.EFBIG)}"] * 2
    assert os.listdir(tmp_path) == ["items_f32.bin"]
    data = open(tmp_path / "items_f32.bin", "rb").read()
    assert data == struct.pack("<III", 4, 4, 0) + np.full((4, 4), 0.5, np.float32).tobytes()


def create_file_error(stem, code):
    """The whole message of a temporary file `<stem>.<host>.<pid>-<n>.tmp` that could not be made."""
    tail = re.escape(os_error_text(code))
    return "^" + re.escape(f"Failed to create file {stem}.") + r"[^/]+\.\d+-\d+\.tmp: " + tail + "$"


def test_directory_without_write_permission(fresh_python):
    base = tempfile.mkdtemp()  # world-searchable, unlike pytest's directories, for the dropped user id
    out_dir = os.path.join(base, "ro")
    original = PREPARE(np.ones((2, 2), np.float32), 2, 2, "items", "f32", output_dir=out_dir)
    before = open(original, "rb").read()
    os.chmod(base, 0o755)
    os.chmod(out_dir, 0o555)
    code = f"""
        import os, numpy as np, zorvikdb
        {"os.setuid(65534)" if os.geteuid() == 0 else ""}
        try:
            zorvikdb.py_prepare_bin_from_embeddings(np.zeros((2, 2), np.float32), 2, 2, "items", "f32",
                                                    output_dir={out_dir!r})
        except ValueError as e:
            print(e)
    """
    try:
        out = fresh_python(code).strip()
        out_dir_listing, after = os.listdir(out_dir), open(original, "rb").read()
    finally:
        os.chmod(out_dir, 0o755)
        shutil.rmtree(base)
    assert re.fullmatch(create_file_error(f"{out_dir}/items_f32", errno.EACCES), out), out
    assert out_dir_listing == ["items_f32.bin"] and after == before


def test_failed_creation_or_move_leaves_nothing_behind(tmp_path):
    emb = np.ones((1, 2), np.float32)
    fits = "n" * (255 - len("_f32.bin"))  # the final name is exactly 255 bytes
    assert prepare(emb, tmp_path, name=fits) == str(tmp_path / f"{fits}_f32.bin")
    with pytest.raises(ValueError, match=create_file_error(f"{tmp_path}/{fits}n_f32", errno.ENAMETOOLONG)):
        prepare(emb, tmp_path, name=fits + "n")
    (tmp_path / "items_f32.bin").mkdir()
    expect_error(ValueError, f"Failed to move temp file to final location: {os_error_text(errno.EISDIR)}",
                 emb, 2, 1, "items", "f32", output_dir=str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == sorted([f"{fits}_f32.bin", "items_f32.bin"])
    assert os.listdir(tmp_path / "items_f32.bin") == []


def test_concurrent_preparations_of_one_name(tmp_path):
    versions = [np.full((3000, 64), i + 1, np.float32) for i in range(4)]
    expected = {struct.pack("<III", 64, 3000, 1) + v.tobytes() for v in versions}
    path, failures, stop = tmp_path / "items_f32.bin", [], threading.Event()

    def writer(v):
        try:
            for _ in range(5):
                prepare(v, tmp_path, metric="dot")
        except Exception as e:  # pragma: no cover - reported below
            failures.append(e)

    def reader():
        while not stop.is_set():
            try:
                data = path.read_bytes()
            except FileNotFoundError:
                continue
            if data not in expected:
                failures.append(f"incomplete index of {len(data)} bytes")

    threads = [threading.Thread(target=writer, args=(v,)) for v in versions]
    watcher = threading.Thread(target=reader)
    for t in [watcher, *threads]:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    watcher.join()
    assert failures == [] and path.read_bytes() in expected and os.listdir(tmp_path) == ["items_f32.bin"]
