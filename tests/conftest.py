"""Shared helpers: index files, NumPy models of the summation and ranking orders, engines, fresh interpreters."""

import itertools
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zorvikdb

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}
METRICS = [0, 1, 2]
HUGE_K = 2**64 - 1
F32 = np.float32
# The order this interpreter scores with (chosen once per process from the environment).
IN_PROCESS_ORDER = "scalar" if os.environ.get("ZORVIK_FORCE_SCALAR") == "1" else "vector"
SANITIZED = os.environ.get("ZORVIK_SANITIZED") == "1"
BASE_NAME = "Invalid base_name: cannot be empty or contain special characters"
NO_VALID = "Base name contains no valid characters"


def index_bytes(vectors, metric=1, *, dims=None, rows=None, trailing=b""):  # header: dims, rows, metric as <u32
    v = np.ascontiguousarray(vectors, dtype="<f4")
    v = v.reshape(1, -1) if v.ndim == 1 else v
    r, d = v.shape
    header = struct.pack("<III", d if dims is None else dims, r if rows is None else rows, METRIC_IDS.get(metric, metric))
    return header + v.tobytes() + trailing


def model_scores(X, q, metric, order=IN_PROCESS_ORDER):
    # `vector`: two four-lane accumulators over groups of eight, sB + sA, then the tail; `scalar`: element order.
    X, q = np.asarray(X, F32), np.asarray(q, F32)
    rows, n = X.shape
    with np.errstate(all="ignore"):
        terms = (q - X) * (q - X) if metric == 2 else X * q
        s, start = np.zeros(rows, F32), 0
        if order == "vector" and n >= 8:
            a, b = np.zeros((rows, 4), F32), np.zeros((rows, 4), F32)
            for g in range(0, n - n % 8, 8):
                a, b = a + terms[:, g : g + 4], b + terms[:, g + 4 : g + 8]
            s = (((b[:, 0] + b[:, 1]) + b[:, 2]) + b[:, 3]) + (((a[:, 0] + a[:, 1]) + a[:, 2]) + a[:, 3])
            start = n - n % 8
        for i in range(start, n):
            s = s + terms[:, i]
    return s


def normalized_model(x):
    """Rows times 1/|row| in float32, the squares summed per eight as ((x0+x1)+x2)+x3 plus the same of x4..x7."""
    x = np.asarray(x, dtype=np.float32)
    dims = x.shape[1]
    with np.errstate(all="ignore"):
        sq, s = x * x, np.zeros(x.shape[0], dtype=np.float32)
        for g in range(0, dims - dims % 8, 8):
            c = sq[:, g : g + 8]
            s = s + ((((c[:, 0] + c[:, 1]) + c[:, 2]) + c[:, 3]) + (((c[:, 4] + c[:, 5]) + c[:, 6]) + c[:, 7]))
        for j in range(dims - dims % 8, dims):
            s = s + sq[:, j]
        n = np.sqrt(s)
        out = x * (np.float32(1) / n)[:, None]
    out[(s == 0) | ~np.isfinite(n)] = 0
    return out.tobytes()


def total_order_key(scores):
    x = np.asarray(scores, F32).view(np.int32).astype(np.int64)
    return np.where(x < 0, x ^ 0x7FFFFFFF, x)


def model_ranking(scores, metric, k):
    """Indices and scores of the k best finite rows: totalOrder, ties to the lower row."""
    scores = np.asarray(scores, F32)
    finite = np.flatnonzero(np.isfinite(scores))
    key = total_order_key(scores[finite])
    best = finite[np.lexsort((finite, key if metric == 2 else -key))][: min(k, len(finite))]
    return best.astype(np.uint64), scores[best]


def assert_same_hits(got, indices, scores):
    np.testing.assert_array_equal(got["indices"], indices)
    # Bit for bit: the same float32 patterns, signed zeros included.
    np.testing.assert_array_equal(got["scores"].view(np.uint32), np.asarray(scores, F32).view(np.uint32))


def hits(result):
    return [(h.idx, h.score) for h in result.results]


def without_time(d):
    return {k: v for k, v in d.items() if k != "query_time_ms"}


def set_env(monkeypatch, **values):  # None removes the variable
    for name, value in values.items():
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)


def os_error_text(code):
    return f"{os.strerror(code)} (os error {code})"


def unaligned(values):  # a float32 array one byte past an aligned address
    values = np.ascontiguousarray(values, dtype=F32)
    arr = np.frombuffer(bytearray(values.nbytes + 1), F32, offset=1, count=values.size).reshape(values.shape)
    arr[...] = values
    assert not arr.flags.aligned
    return arr


def raises_exactly(exc_type, message, call, *args, **kw):
    with pytest.raises(exc_type) as info:
        call(*args, **kw)
    assert type(info.value) is exc_type and info.value.args == (message,)


@pytest.fixture
def write_raw(tmp_path):  # write_raw(bytes, name=None) -> path; without a name, a new file each call
    numbers = itertools.count()

    def write(data, name=None):
        path = tmp_path / (name or f"index{next(numbers)}.bin")
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def write_index(write_raw):
    return lambda vectors, metric=1, name=None, **kw: write_raw(index_bytes(vectors, metric, **kw), name)


@pytest.fixture
def open_index(write_index):
    return lambda vectors, metric=1: zorvikdb.PySearchEngine(write_index(vectors, metric), False)


# Defined in every fresh interpreter: attempt(call, *args) prints what the call returns, or
# its error as "Type: text".
ATTEMPT = """
def attempt(call, *args, **kw):
    try:
        print(call(*args, **kw))
    except Exception as e:
        print(f"{type(e).__name__}: {e}")
"""


def run_python(code, env=None, timeout=120):
    """Stdout of `code` in a clean exit of an interpreter without our ZORVIK_ variables; env None values unset."""
    full_env = {k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None}
    full_env = {k: v for k, v in full_env.items() if not k.startswith("ZORVIK_") or k in (env or {})}
    proc = subprocess.run([sys.executable, "-c", ATTEMPT + textwrap.dedent(code)], env=full_env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def fresh_python():
    return run_python
