"""Real processes and the C-API edge: fork, callers' code changing arrays, kept hasher views, special files, limits, crashes."""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tomllib

import numpy as np
import pytest

import zorvikdb
from conftest import ATTEMPT, SANITIZED, hits, os_error_text, unaligned, without_time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREPARE = "zorvikdb.py_prepare_bin_from_embeddings"


def test_forked_children_answer_and_exit(write_index, fresh_python):
    path = write_index(np.random.default_rng(7).standard_normal((3000, 16)).astype(np.float32), "dot")
    code = f"""
        import multiprocessing as mp, os, sys, numpy as np, zorvikdb
        engine = zorvikdb.PySearchEngine({path!r}, False)
        def answer(_=None):
            return [(h.idx, h.score) for h in engine.query_exact(np.linspace(-1, 1, 16, dtype=np.float32), 5).results]
        want = answer()  # the parent's pool is running now
        r, w = os.pipe()
        if (pid := os.fork()) == 0:
            os.write(w, repr(answer()).encode())
            sys.exit(0)  # runs the interpreter's and the C++ runtime's exit path
        os.close(w)
        got = b"".join(iter(lambda: os.read(r, 1 << 16), b""))
        os.waitpid(pid, 0)  # a child that never exits runs into the caller's timeout
        assert eval(got) == want, (got, want)
        with mp.get_context("fork").Pool(2) as workers:
            assert workers.map_async(answer, range(4)).get(timeout=30) == [want] * 4
        assert answer() == want  # the parent's pool is untouched
        print("ok")
    """
    assert fresh_python(code, env={"ZORVIK_THREADS": "2"}, timeout=60).strip() == "ok"


def meddler(act, value=1):  # a count whose __index__ first runs `act`
    return type("Meddler", (), {"__index__": lambda self: act() or value})()


# Every callable that takes an array: called with the array and `count` as its last count.
ARRAY_CALLS = {
    **{name: (lambda e, a, count, out, name=name: getattr(e, name)(a, count)) for name in (
        "query_exact", "query_exact_arrays", "query_exact_detailed", "query_batch", "query_batch_arrays",
        "query_batch_detailed")},
    "query_exact_certified": lambda e, a, count, out: e.query_exact_certified(a, 1, count),
    "query_batch_exact_certified": lambda e, a, count, out: e.query_batch_exact_certified(a, 1, count),
    "compare": lambda e, a, count, out: e.compare(a, 0, 0, 1, count),
    "explain": lambda e, a, count, out: e.explain(a, 0, 1, count),
    "prepare": lambda e, a, count, out: zorvikdb.py_prepare_bin_from_embeddings(a, 1, 1, "x", "f32", seed=count,
                                                                                output_dir=out),
}


@pytest.mark.parametrize("change", [("dtype", np.int8), ("shape", ())])  # 4x the bytes; no extents at all
@pytest.mark.parametrize("method", ARRAY_CALLS)
def test_an_array_changed_by_a_count_is_checked_again(open_index, tmp_path, method, change):
    engine, call = open_index(np.ones((3, 1), np.float32)), ARRAY_CALLS[method]
    fresh = lambda: np.ones((1, 1) if "batch" in method or method == "prepare" else 1, np.float32)  # noqa: E731
    changed, array = fresh(), fresh()
    setattr(changed, *change)
    with pytest.raises(TypeError) as direct:
        call(engine, changed, 1, str(tmp_path))
    with pytest.raises(TypeError) as meddled:
        call(engine, array, meddler(lambda: setattr(array, *change)), str(tmp_path))
    assert meddled.value.args == direct.value.args


def test_an_array_grown_by_a_count_is_read_at_its_new_size(open_index, tmp_path):
    queries, embeddings = np.eye(1, 4, dtype=np.float32), np.ones((2, 4), np.float32)
    assert len(open_index(np.eye(3, 4, dtype=np.float32)).query_batch(
        queries, meddler(lambda: queries.resize((3, 4), refcheck=False)))) == 3
    with pytest.raises(TypeError, match="^argument 'embeddings': type mismatch"):
        zorvikdb.py_prepare_bin_from_embeddings(embeddings, meddler(lambda: setattr(embeddings, "dtype", np.int8), 4),
                                                2, "x", "f32", output_dir=str(tmp_path))


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
        path = {PREPARE}(emb, 1024, 1024, "s", "f32", metric=Sneaky("DOT"), output_dir={str(tmp_path)!r})
        print(open(path, "rb").read()[12:] == expected)
    """
    assert fresh_python(code).strip() == "True"


def test_views_a_hasher_keeps_read_the_hashed_bytes_after_the_engine_is_gone(tmp_path, write_index, fresh_python):
    # The views outlive the call, the engine and its mapping as the module sees them.
    (tmp_path / "blake3.py").write_text("import numpy as np\nKEPT = []\nclass blake3:\n"
                                        "    digest = lambda self: bytes(32)\n    def __init__(self, data, **_):\n"
                                        "        KEPT.append((data, memoryview(data), np.frombuffer(data, np.uint8)))\n")
    path = write_index(np.arange(32, dtype=np.float32).reshape(4, 8))
    code = f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import blake3, gc, numpy as np, zorvikdb
        engine = zorvikdb.PySearchEngine({path!r}, False)
        query = np.linspace(-1, 1, 8, dtype=np.float32)
        engine.query_exact_detailed(query, 1)
        want = [open({path!r}, "rb").read(), query.tobytes()]
        del engine, query
        gc.collect()
        print([[bytes(view) for view in kept] for kept in blake3.KEPT] == [[b] * 3 for b in want])
    """
    assert fresh_python(code).strip() == "True"


def test_special_files_fail_at_the_mapping_step_without_blocking(tmp_path, fresh_python):
    os.mkfifo(tmp_path / "fifo")
    code = f"""
        import zorvikdb
        for path in ({str(tmp_path / "fifo")!r}, {str(tmp_path)!r}, "/dev/null"):
            attempt(zorvikdb.PySearchEngine, path, False)
    """
    out = fresh_python(code, timeout=30)  # an open that blocks runs into the timeout
    assert out.splitlines() == [f"ValueError: Failed to mmap file: {os_error_text(19)}"] * 3


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer needs far more address space than the limit")
def test_answers_too_large_to_build_are_refused_before_the_search(tmp_path, write_raw, fresh_python):
    # k hits take 16k bytes in the engine, 0.8 of the room left; every answer built from
    # them takes more. The refusal comes before the search has taken any of the room, also
    # for 2^32 - 1 rows without dimensions, where k alone sizes the result.
    room, billions = 128 << 20, write_raw(struct.pack("<III", 0, 2**32 - 1, 1))
    k = room // 20
    path = tmp_path / "zeros.bin"
    with open(path, "wb") as f:
        f.write(struct.pack("<III", 1, k, 1))
        f.truncate(12 + 4 * k)
    code = f"""
        import resource, numpy as np, zorvikdb
        e = zorvikdb.PySearchEngine({str(path)!r}, False)
        q, Q = np.ones(1, np.float32), np.ones((1, 1), np.float32)
        calls = [e.query_exact, e.query_exact_arrays, e.query_exact_detailed, e.query_exact_certified,
                 lambda q, k: e.query_batch_arrays(Q, k), lambda q, k: e.query_batch(Q, k)]
        for call in calls:
            call(q, 2)
        vm = lambda key: int(next(l.split()[1] for l in open("/proc/self/status") if l.startswith(key))) << 10
        resource.setrlimit(resource.RLIMIT_AS, (vm("VmSize:") + {room}, resource.RLIM_INFINITY))
        for call in calls:
            peak = vm("VmPeak:")
            attempt(call, q, {k})
            print(vm("VmPeak:") - peak < {k * 8}, call(q, 2) is not None)
        attempt(zorvikdb.PySearchEngine({billions!r}, False).query_exact, np.zeros(0, np.float32), 300_000_000)
    """
    assert fresh_python(code).splitlines() == ["MemoryError: ", "True True"] * 6 + ["MemoryError: "]


def control_group_limit_file():  # the memory limit file of this process's control group
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


def test_results_beyond_the_control_group_limit_fail_promptly(tmp_path, write_raw):
    # Memory that a control group caps is promised lazily and the process is killed
    # when it touches too much; the limit is shown to the module through a file mounted
    # over the real one, in a mount namespace of the test's own.
    target = control_group_limit_file()
    if os.geteuid() != 0 or target is None or shutil.which("unshare") is None:
        pytest.skip("needs root, unshare and a memory control group")
    (tmp_path / "limit").write_text(f"{64 << 20}\n")
    call = f"zorvikdb.PySearchEngine({write_raw(struct.pack('<III', 0, 2**32 - 1, 1))!r}, False).query_exact"
    code = ATTEMPT + f"import numpy as np, zorvikdb\nattempt({call}, np.zeros(0, np.float32), 5_000_000)"
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZORVIK_")}
    proc = subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$1" "$2" && exec "$3" -c "$4"', "sh",
                           str(tmp_path / "limit"), target, sys.executable, code], capture_output=True, text=True,
                          env=env, timeout=120)
    if "mount" in proc.stderr and proc.returncode != 0:
        pytest.skip(f"cannot mount here: {proc.stderr.strip()}")
    assert (proc.returncode, proc.stdout.strip()) == (0, "MemoryError:"), proc.stderr


def test_temporary_files_of_dead_processes_are_removed(tmp_path):
    dead = subprocess.Popen(["true"])
    dead.wait()
    live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
    try:
        host = re.sub(r"[^A-Za-z0-9._-]", "_", socket.gethostname()[:64] or "host")
        kept = {f"items_f32.{host}.{live.pid}-0.tmp", f"items_f32.elsewhere-{host}.{dead.pid}-0.tmp",
                f"other_f32.{host}.{dead.pid}-0.tmp"}  # a live process, another host, another index
        for name in kept | {f"items_f32.{host}.{dead.pid}-3.tmp"}:
            (tmp_path / name).write_bytes(b"\0" * 64)
        zorvikdb.py_prepare_bin_from_embeddings(np.ones((2, 2), np.float32), 2, 2, "items", "f32", output_dir=str(tmp_path))
        assert set(os.listdir(tmp_path)) == kept | {"items_f32.bin"}
    finally:
        live.kill()
        live.wait()


@pytest.mark.parametrize("metric", ["dot", "cosine"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_unaligned_arrays_are_read_as_aligned_ones(tmp_path, metric, order):
    values = np.random.default_rng(3).standard_normal((40, 9)).astype(np.float32)
    shifted = lambda a: unaligned(a.T).T if order == "F" else unaligned(a)  # noqa: E731
    paths = [zorvikdb.py_prepare_bin_from_embeddings(v, 9, 40, name, "f32", metric=metric, output_dir=str(tmp_path))
             for v, name in ((values, "aligned"), (shifted(values), "unaligned"))]
    assert open(paths[0], "rb").read() == open(paths[1], "rb").read()
    engine = zorvikdb.PySearchEngine(paths[1], False)
    Q = (values[:5] + np.float32(0.1)).astype(np.float32)
    calls = [lambda q, Q: hits(engine.query_exact(q, 3)), lambda q, Q: engine.explain(q, 7, 4, 2),
             lambda q, Q: without_time(engine.query_exact_certified(q, 3, 4)),
             lambda q, Q: [without_time(d) for d in engine.query_batch_exact_certified(Q, 3, 4)],
             lambda q, Q: engine.query_batch_arrays(Q, 3)["indices"].tolist()]
    for call in calls:
        assert call(unaligned(Q[1]), shifted(Q)) == call(Q[1], Q)
    empty = np.frombuffer(bytearray(1), np.float32, offset=1, count=0).reshape(0, 9)  # no rows, one byte off
    assert engine.query_batch_arrays(empty, 3)["indices"].size == 0


# Stand-ins that fail with EIO: every write, or only the first flush (the file reports a failure once, so a flush
# made behind the writer of a large file must not lose it).
FAILING = {
    "pwrite": "".join(f"ssize_t {f}(int fd, const void* b, size_t n, off_t o) {{ errno = EIO; return -1; }}\n"
                      for f in ("pwrite", "pwrite64")),
    "fdatasync": "static int n;\nint fdatasync(int fd) {\n  if (__atomic_fetch_add(&n, 1, __ATOMIC_SEQ_CST) > 0) "
                 "return syscall(SYS_fdatasync, fd);\n  errno = EIO;\n  return -1;\n}\n",
}


@pytest.mark.parametrize("call, rows, cause", [
    ("pwrite", 3, "writing the index data failed: {}"), ("fdatasync", 3, "{}"), ("fdatasync", 50000, "{}")])
def test_a_failed_write_or_flush_is_reported_and_leaves_nothing(tmp_path, fresh_python, call, rows, cause):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the failing call")
    headers = "".join(f"#include <{h}>\n" for h in ("errno.h", "sys/syscall.h", "sys/types.h", "unistd.h"))
    (tmp_path / "fail.c").write_text(headers + FAILING[call])
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(tmp_path / "libfail.so"), str(tmp_path / "fail.c")], check=True)
    code = (f"import numpy as np, zorvikdb\nattempt({PREPARE}, np.ones(({rows}, 1000), np.float32), 1000, {rows}, "
            f'"items", "f32", metric="dot", output_dir={str(tmp_path / "out")!r})')
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD"), str(tmp_path / "libfail.so")) if p)
    assert fresh_python(code, env={"LD_PRELOAD": preload}).strip() == (
        "ValueError: Failed to flush memory map: " + cause.format(os_error_text(5)))
    assert os.listdir(tmp_path / "out") == []


def test_engine_version_is_the_package_version(open_index):
    version = tomllib.loads(open(os.path.join(ROOT, "pyproject.toml")).read())["project"]["version"]
    assert open_index(np.ones((2, 2), np.float32)).query_exact_detailed(np.ones(2, np.float32), 1).engine_version == version


def test_unicode_tables_are_what_the_generator_makes(tmp_path):
    ucd = "/usr/share/unicode"
    try:
        with open(os.path.join(ucd, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
            assert "-15.0.0.txt" in f.readline()
    except (OSError, AssertionError):
        pytest.skip("the Unicode 15.0.0 character database is not installed")
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_unicode_tables.py"), ucd, str(tmp_path / "t.inc")],
                   check=True, capture_output=True)
    with open(os.path.join(ROOT, "src", "prepare", "unicode_tables.inc"), encoding="utf-8") as f:
        assert (tmp_path / "t.inc").read_text(encoding="utf-8") == f.read()
