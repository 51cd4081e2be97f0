"""Shared helpers: index files written byte by byte, and fresh interpreters."""

import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}


def index_bytes(vectors, metric=1, *, dims=None, rows=None, trailing=b""):
    """Header (dims, rows, metric as little-endian u32) followed by the float32 rows."""
    v = np.ascontiguousarray(vectors, dtype="<f4")
    if v.ndim == 1:
        v = v.reshape(1, -1)
    r, d = v.shape
    metric_id = METRIC_IDS.get(metric, metric)
    header = struct.pack("<III", d if dims is None else dims, r if rows is None else rows, metric_id)
    return header + v.tobytes() + trailing


def os_error_text(code):
    return f"{os.strerror(code)} (os error {code})"


def unaligned(values):
    """A float32 array one byte past an aligned address, over a bytearray."""
    values = np.ascontiguousarray(values, dtype=np.float32)
    buf = bytearray(values.nbytes + 1)
    arr = np.frombuffer(buf, np.float32, offset=1, count=values.size).reshape(values.shape)
    arr[...] = values
    assert not arr.flags.aligned
    return arr


def raises_exactly(exc_type, message, call, *args, **kw):
    """call(*args, **kw) raises exc_type whose args are exactly (message,)."""
    with pytest.raises(exc_type) as info:
        call(*args, **kw)
    assert info.value.args == (message,)


@pytest.fixture
def write_index(tmp_path):
    """write_index(vectors, metric=1, name="x.bin", **header_overrides) -> path (str)."""
    counter = [0]

    def write(vectors, metric=1, name=None, **kw):
        counter[0] += 1
        path = tmp_path / (name or f"index{counter[0]}.bin")
        path.write_bytes(index_bytes(vectors, metric, **kw))
        return str(path)

    return write


@pytest.fixture
def write_raw(tmp_path):
    """write_raw(bytes, name=...) -> path (str)."""

    def write(data, name="raw.bin"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write


def run_python(code, env=None, timeout=120):
    """Runs `code` in a fresh interpreter without the caller's ZORVIK_ variables (env adds
    or, with None, removes variables); asserts it exits cleanly and returns its stdout."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("ZORVIK_")}
    full_env.update(env or {})
    full_env = {k: v for k, v in full_env.items() if v is not None}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def fresh_python():
    return run_python
