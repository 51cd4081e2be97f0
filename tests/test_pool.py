"""The worker pool: configured once per process, on the first mapped index, and asleep
between calls (it never takes cores from other thread pools)."""

import json
import os

import numpy as np
import pytest

from conftest import index_bytes

VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "RAYON_NUM_THREADS")

SCRIPT = """
import ctypes, json, os, struct, tempfile, numpy as np, zorvikdb
d = tempfile.mkdtemp()
open(d + "/good", "wb").write(struct.pack("<III", 2, 2, 1) + np.eye(2, dtype=np.float32).tobytes())
open(d + "/bad", "wb").write(struct.pack("<III", 2, 2, 9))
libc = ctypes.CDLL(None)
libc.getenv.restype = ctypes.c_char_p
steps = {{}}
for name, (kind, arg) in {actions!r}:
    if kind == "set":
        os.environ["ZORVIK_THREADS"] = arg
    else:
        attempt(lambda: zorvikdb.PySearchEngine(d + "/" + arg, False).query_exact(np.ones(2, np.float32), 1) and "")
    # The process environment itself: os.environ is only a copy taken at start-up.
    steps[name] = [(lambda b: b if b is None else b.decode())(libc.getenv(v.encode())) for v in {vars!r}]
print(json.dumps(steps))
"""


def run(fresh_python, actions, env):
    return json.loads(fresh_python(SCRIPT.format(vars=VARS, actions=actions), env=env).splitlines()[-1])


@pytest.mark.parametrize(
    "value", ["4", "+4", " 4", "4 ", "-1", "four", "1.5", "0", "99999999999999999999999", "100000", None, ""])
def test_thread_variables_take_the_text_as_read_or_the_processor_count(fresh_python, value):
    steps = run(fresh_python, [("opened", ("open", "good"))], {"ZORVIK_THREADS": value, "OMP_NUM_THREADS": "2"})
    assert steps["opened"] == [value or str(max(os.cpu_count() or 1, 1))] * 3


def test_runs_once_and_only_after_a_mapping(fresh_python):
    env = {"ZORVIK_THREADS": "3", "OMP_NUM_THREADS": "7", "OPENBLAS_NUM_THREADS": None, "RAYON_NUM_THREADS": None}
    actions = [("missing", ("open", "missing")), ("bad_header", ("open", "bad")), ("changed", ("set", "5")),
               ("second", ("open", "good"))]
    steps = run(fresh_python, actions, env)
    assert (steps["missing"], steps["bad_header"], steps["second"]) == ([None, "7", None], ["3"] * 3, ["3"] * 3)


def test_pool_uses_no_cpu_between_calls(tmp_path, fresh_python):
    path = tmp_path / "x.bin"
    path.write_bytes(index_bytes(np.random.default_rng(3).standard_normal((20000, 64)).astype(np.float32), "cosine"))
    code = f"""
        import os, resource, time, numpy as np, zorvikdb
        cpu = lambda: sum(resource.getrusage(resource.RUSAGE_SELF)[:2])
        engine = zorvikdb.PySearchEngine({str(path)!r}, False)
        for mode in ["rayon", "matrix_parallel", "blocked"]:
            os.environ["ZORVIK_SINGLE_MODE"] = mode
            engine.query_exact(np.ones(64, dtype=np.float32), 5)
        before = cpu()
        time.sleep(1.0)
        print(cpu() - before)
    """
    # Two spinning threads would use about two seconds of CPU in that second.
    assert float(fresh_python(code, env={"ZORVIK_THREADS": "2"})) < 0.2
