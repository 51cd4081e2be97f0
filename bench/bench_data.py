"""Index files of seeded random rows shared by the benchmarks, each written once."""

import struct
from pathlib import Path

import numpy as np

METRIC_IDS = {"cosine": 0, "dot": 1, "euclidean": 2}
HEADER = 12


def index_file(data_dir, prefix, rows, dims, metric, seed=1234):
    """Path of `{prefix}_{metric}_{rows}x{dims}.bin` under data_dir, written if missing:
    standard normal rows, normalised for cosine."""
    path = Path(data_dir) / f"{prefix}_{metric}_{rows}x{dims}.bin"
    if path.exists() and path.stat().st_size == HEADER + 4 * rows * dims:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        f.write(struct.pack("<III", dims, rows, METRIC_IDS[metric]))
        step = max(1, 8_000_000 // max(dims, 1))
        for start in range(0, rows, step):
            block = rng.standard_normal((min(step, rows - start), dims), dtype=np.float32)
            if metric == "cosine":
                block /= np.linalg.norm(block, axis=1, keepdims=True)
            f.write(block.tobytes())
    tmp.rename(path)
    return path
