"""The module in real processes and at the C-API edge: fork, callers' code, hashers that keep
what they are given, special files, memory limits, crashed preparations, unaligned arrays."""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import textwrap
import tomllib

import numpy as np
import pytest

import zorvikdb
from conftest import os_error_text, unaligned
from test_certified import without_time as timeless

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SANITIZED = os.environ.get("ZORVIK_SANITIZED") == "1"


def test_forked_children_answer_and_exit(write_index, fresh_python):
    rng = np.random.default_rng(7)
    path = write_index(rng.standard_normal((3000, 16)).astype(np.float32), "dot")
    code = f"""
        import multiprocessing as mp, os, signal, sys, time
        import numpy as np, zorvikdb

        engine = zorvikdb.PySearchEngine({path!r}, False)
        q = np.linspace(-1, 1, 16, dtype=np.float32)

        def answer(_=None):
            return [(h.idx, h.score) for h in engine.query_exact(q, 5).results]

        want = answer()  # the parent's pool is running now
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            os.write(w, repr(answer()).encode())
            os.close(w)
            sys.exit(0)  # runs the interpreter's and the C++ runtime's exit path
        os.close(w)
        got = b""
        while chunk := os.read(r, 1 << 16):
            got += chunk
        deadline = time.monotonic() + 30
        while not os.waitpid(pid, os.WNOHANG)[0]:
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                sys.exit("the forked child did not exit")
            time.sleep(0.02)
        assert eval(got) == want, (got, want)
        with mp.get_context("fork").Pool(2) as workers:
            assert workers.map_async(answer, range(4)).get(timeout=30) == [want] * 4
        assert answer() == want  # the parent's pool is untouched
        print("ok")
    """
    assert fresh_python(code, env={"ZORVIK_THREADS": "2"}).strip() == "ok"


def test_metric_subclass_cannot_pull_the_array_away(tmp_path, fresh_python):
    # `lower` of a str subclass frees the array's memory; the module must neither call
    # it after taking the data pointer nor read the freed memory.
    code = f"""
        import numpy as np, zorvikdb
        emb = np.arange(1024 * 1024, dtype=np.float32).reshape(1024, 1024).copy()
        expected = emb.tobytes()

        class Sneaky(str):
            def lower(self):
                emb.resize((4096, 1024), refcheck=False)
                return "dot"

        path = zorvikdb.py_prepare_bin_from_embeddings(emb, 1024, 1024, "s", "f32", metric=Sneaky("DOT"),
                                                       output_dir={str(tmp_path)!r})
        print(open(path, "rb").read()[12:] == expected)
    """
    assert fresh_python(code).strip() == "True"


FAKE_BLAKE3 = '''
import os
KEPT = []

class blake3:
    def __init__(self, data=b""):
        KEPT.append(memoryview(data) if os.environ.get("KEEP") == "derived" else data)

    def digest(self):
        return bytes(32)
'''


@pytest.mark.parametrize("keep", ["given", "derived"])
def test_hasher_keeping_the_view_gets_an_error_not_freed_memory(tmp_path, write_index, fresh_python, keep):
    (tmp_path / "blake3.py").write_text(FAKE_BLAKE3)
    path = write_index(np.ones((4, 8), np.float32))
    code = f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import blake3, numpy as np, zorvikdb
        try:
            engine = zorvikdb.PySearchEngine({path!r}, False)
            engine.query_exact_detailed(np.ones(8, np.float32), 1)
            del engine
        except BufferError as e:
            print("refused:", e)
            sys.exit(0)
        for view in blake3.KEPT:
            try:
                bytes(view)
                print("read")
            except ValueError:
                print("released")
    """
    out = fresh_python(code, env={"KEEP": keep})
    if keep == "given":
        assert out.split("\n")[:-1] == ["released", "released"]
    else:  # a view taken of the one lent cannot be called back: the call is refused
        assert out == "refused: the blake3 hasher kept a view of the bytes it hashed\n"


def test_special_files_fail_at_the_mapping_step_without_blocking(tmp_path, fresh_python):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    code = f"""
        import zorvikdb
        for path in ({fifo!r}, {str(tmp_path)!r}, "/dev/null"):
            try:
                zorvikdb.PySearchEngine(path, False)
            except ValueError as e:
                print(e)
    """
    try:
        out = fresh_python(code, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("opening a FIFO blocked")
    assert out.splitlines() == [f"Failed to mmap file: {os_error_text(19)}"] * 3


EMPTY_ROWS_QUERY = """
    import numpy as np, zorvikdb
    {setup}
    engine = zorvikdb.PySearchEngine({path!r}, False)
    try:
        engine.query_exact(np.zeros(0, np.float32), {k})
        print("answered")
    except MemoryError:
        print("MemoryError")
"""


@pytest.fixture
def empty_rows_index(write_raw):
    """dims = 0 and rows = 2^32 - 1: every row is an answer, so k alone sizes the result."""
    return write_raw(struct.pack("<III", 0, 2**32 - 1, 1))


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer needs far more address space than the limit")
def test_results_beyond_the_address_space_limit_fail_promptly(empty_rows_index, fresh_python):
    setup = "import resource; resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))"
    out = fresh_python(EMPTY_ROWS_QUERY.format(setup=setup, path=empty_rows_index, k=300_000_000))
    assert out.strip() == "MemoryError"


def control_group_limit_file():
    """A memory limit file of this process's control group that the module reads."""
    groups = dict(line.rstrip("\n").split(":", 2)[1:] for line in open("/proc/self/cgroup"))
    for line in open("/proc/self/mountinfo"):
        fields, _, tail = line.partition(" - ")
        fields, tail = fields.split(), tail.split()
        if tail[0] == "cgroup" and "memory" in tail[2].split(","):
            candidate = os.path.join(fields[4], "memory.limit_in_bytes")
        elif tail[0] == "cgroup2" and "" in groups and groups[""] != "/":
            candidate = fields[4] + groups[""] + "/memory.max"
        else:
            continue
        if os.path.isfile(candidate):
            return candidate
    return None


def test_results_beyond_the_control_group_limit_fail_promptly(tmp_path, empty_rows_index):
    # Memory that a control group caps is promised lazily and the process is killed
    # when it touches too much; the limit is shown to the module through a file mounted
    # over the real one, in a mount namespace of the test's own.
    target = control_group_limit_file()
    if os.geteuid() != 0 or target is None or shutil.which("unshare") is None:
        pytest.skip("needs root, unshare and a memory control group")
    fake = tmp_path / "limit"
    fake.write_text(f"{64 << 20}\n")
    code = EMPTY_ROWS_QUERY.format(setup="", path=empty_rows_index, k=5_000_000)
    script = 'mount --bind "$1" "$2" && exec "$3" -c "$4"'
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZORVIK_")}
    proc = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", str(fake), target, sys.executable,
                           textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=120)
    if "mount" in proc.stderr and proc.returncode != 0:
        pytest.skip(f"cannot mount here: {proc.stderr.strip()}")
    assert (proc.returncode, proc.stdout.strip()) == (0, "MemoryError"), proc.stderr


def host_marker():
    name = socket.gethostname()[:64] or "host"
    return re.sub(r"[^A-Za-z0-9._-]", "_", name)


def test_temporary_files_of_dead_processes_are_removed(tmp_path):
    dead = subprocess.Popen(["true"])
    dead.wait()
    live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
    try:
        host = host_marker()
        names = {
            "dead": f"items_f32.{host}.{dead.pid}-3.tmp",
            "live": f"items_f32.{host}.{live.pid}-0.tmp",
            "other host": f"items_f32.elsewhere-{host}.{dead.pid}-0.tmp",
            "other index": f"other_f32.{host}.{dead.pid}-0.tmp",
        }
        for name in names.values():
            (tmp_path / name).write_bytes(b"\0" * 64)
        zorvikdb.py_prepare_bin_from_embeddings(np.ones((2, 2), np.float32), 2, 2, "items", "f32",
                                                output_dir=str(tmp_path))
        kept = {names["live"], names["other host"], names["other index"], "items_f32.bin"}
        assert set(os.listdir(tmp_path)) == kept
    finally:
        live.kill()
        live.wait()


@pytest.mark.parametrize("metric", ["dot", "cosine"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_unaligned_arrays_are_read_as_aligned_ones(tmp_path, metric, order):
    rng = np.random.default_rng(3)
    values = rng.standard_normal((40, 9)).astype(np.float32)
    src = unaligned(values.T).T if order == "F" else unaligned(values)
    wanted = zorvikdb.py_prepare_bin_from_embeddings(values, 9, 40, "aligned", "f32", metric=metric,
                                                     output_dir=str(tmp_path))
    got = zorvikdb.py_prepare_bin_from_embeddings(src, 9, 40, "unaligned", "f32", metric=metric,
                                                  output_dir=str(tmp_path))
    assert open(got, "rb").read() == open(wanted, "rb").read()
    engine = zorvikdb.PySearchEngine(got, False)
    Q = (values[:5] + np.float32(0.1)).astype(np.float32)
    Qu, qu = unaligned(Q.T).T if order == "F" else unaligned(Q), unaligned(Q[1])
    assert [(h.idx, h.score) for h in engine.query_exact(qu, 3).results] == \
        [(h.idx, h.score) for h in engine.query_exact(Q[1], 3).results]
    assert timeless(engine.query_exact_certified(qu, 3, 4)) == timeless(engine.query_exact_certified(Q[1], 3, 4))
    assert engine.explain(qu, 7, 4, 2) == engine.explain(Q[1], 7, 4, 2)
    assert [timeless(d) for d in engine.query_batch_exact_certified(Qu, 3, 4)] == \
        [timeless(d) for d in engine.query_batch_exact_certified(Q, 3, 4)]
    assert engine.query_batch_arrays(Qu, 3)["indices"].tolist() == engine.query_batch_arrays(Q, 3)["indices"].tolist()


WRITE_FAILS = r"""
#include <errno.h>
#include <sys/types.h>
ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) { errno = EIO; return -1; }
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t offset) { errno = EIO; return -1; }
"""


def test_a_failed_write_says_it_was_the_write(tmp_path, fresh_python):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the failing write")
    (tmp_path / "fail.c").write_text(WRITE_FAILS)
    shim = tmp_path / "libfail.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "fail.c")], check=True)
    out_dir = tmp_path / "out"
    code = f"""
        import numpy as np, zorvikdb
        try:
            zorvikdb.py_prepare_bin_from_embeddings(np.ones((3, 3), np.float32), 3, 3, "items", "f32",
                                                    output_dir={str(out_dir)!r})
        except ValueError as e:
            print(e)
    """
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD"), str(shim)) if p)
    assert fresh_python(code, env={"LD_PRELOAD": preload}).strip() == f"Failed to flush memory map: writing the index data failed: {os_error_text(5)}"
    assert os.listdir(out_dir) == []


def test_engine_version_is_the_package_version(write_index):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        version = tomllib.load(f)["project"]["version"]
    engine = zorvikdb.PySearchEngine(write_index(np.ones((2, 2), np.float32)), False)
    assert engine.query_exact_detailed(np.ones(2, np.float32), 1).engine_version == version


UCD = "/usr/share/unicode"


def test_unicode_tables_are_what_the_generator_makes(tmp_path):
    try:
        with open(os.path.join(UCD, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
            if "-15.0.0.txt" not in f.readline():
                raise OSError
    except OSError:
        pytest.skip("the Unicode 15.0.0 character database is not installed")
    out = tmp_path / "tables.inc"
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_unicode_tables.py"), UCD, str(out)],
                   check=True, capture_output=True)
    with open(os.path.join(ROOT, "src", "prepare", "unicode_tables.inc"), encoding="utf-8") as f:
        assert out.read_text(encoding="utf-8") == f.read()
