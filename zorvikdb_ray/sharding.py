"""Splitting a collection into shard index files plus a manifest."""

from __future__ import annotations

import operator
import os
import re
from collections.abc import Sequence

import numpy as np

import zorvikdb

from .manifest import METRICS, Manifest, ShardInfo, file_hash, write_manifest

# The index writer's limit on rows per file.
MAX_SHARD_ROWS = 50_000_000
LEVEL = "f32"
_NAME = re.compile(r"[A-Za-z0-9_-]+")


def manifest_path(output_dir: str | os.PathLike[str], name: str) -> str:
    return os.path.join(os.fspath(output_dir), f"{name}.manifest.json")


def shard_collection(
    source: np.ndarray | str | os.PathLike[str],
    output_dir: str | os.PathLike[str],
    *,
    name: str = "shard",
    shards: int | None = None,
    shard_rows: Sequence[int] | None = None,
    metric: str = "cosine",
    normalize: bool = False,
    chunk_rows: int = 65536,
) -> Manifest:
    """Writes `source` as shard index files `{name}-{i:05d}_f32.bin` and the manifest
    `{name}.manifest.json` into `output_dir`, and returns the manifest.

    `source` is a 2-D float32 array (a `numpy.memmap` works) or the path of a `.npy`
    file, which is opened as a read-only memory map, so the collection may be larger
    than memory: only one shard is held in memory at a time (the index writer copies
    it once). Rows that cannot be handed to the writer as they are (a column-major or
    byte-swapped source) are copied into the shard's buffer `chunk_rows` rows at a time.

    Either `shards` (a count; rows split as evenly as possible, earlier shards one row
    longer) or `shard_rows` (the row count of every shard, in order) chooses the split;
    without either, shards of at most 50,000,000 rows. `metric` is "cosine", "dot" or
    "euclidean"; `normalize` is passed to the index writer (cosine rows are always
    normalised).

    An earlier manifest of the same name is removed before the first shard is written
    and the new one is written atomically after the last, so the manifest's name never
    refers to shards that do not match it.
    """
    matrix = _open_source(source)
    rows, dims = matrix.shape
    if metric not in METRICS:
        raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(f"name must be letters, digits, '-' and '_' only, not {name!r}")
    if not isinstance(normalize, bool):
        raise TypeError("normalize must be True or False")
    chunk_rows = operator.index(chunk_rows)
    if chunk_rows < 1:
        raise ValueError("chunk_rows must be at least 1")
    sizes = _split(rows, shards, shard_rows)

    os.makedirs(output_dir, exist_ok=True)
    final = manifest_path(output_dir, name)
    if os.path.lexists(final):
        os.unlink(final)

    infos = []
    first = 0
    for number, count in enumerate(sizes):
        block = _shard_rows(matrix, first, count, chunk_rows)
        path = zorvikdb.py_prepare_bin_from_embeddings(
            block, dims, count, f"{name}-{number:05d}", LEVEL,
            normalize=normalize, metric=metric, output_dir=os.fspath(output_dir))
        del block
        infos.append(ShardInfo(os.path.basename(path), first, count, file_hash(path)))
        first += count
    return write_manifest(final, dims, metric, infos)


def _open_source(source) -> np.ndarray:
    if isinstance(source, (str, os.PathLike)):
        matrix = np.load(os.fspath(source), mmap_mode="r", allow_pickle=False)
    elif isinstance(source, np.ndarray):
        matrix = source
    else:
        raise TypeError("source must be a NumPy array or the path of a .npy file, "
                        f"not {type(source).__name__}")
    if matrix.ndim != 2 or matrix.dtype.kind != "f" or matrix.dtype.itemsize != 4:
        raise TypeError(f"source must be a 2-D float32 array, not {matrix.ndim}-D {matrix.dtype}")
    return matrix


def _split(rows: int, shards: int | None, shard_rows: Sequence[int] | None) -> list[int]:
    if shards is not None and shard_rows is not None:
        raise ValueError("give shards or shard_rows, not both")
    if shard_rows is not None:
        sizes = [operator.index(n) for n in shard_rows]
        if sum(sizes) != rows:
            raise ValueError(f"shard_rows add up to {sum(sizes)} rows, the source has {rows}")
    else:
        count = -(-rows // MAX_SHARD_ROWS) if shards is None else operator.index(shards)
        if not 1 <= count <= rows:
            raise ValueError(f"cannot split {rows} rows into {count} non-empty shards")
        sizes = [rows // count + (i < rows % count) for i in range(count)]
    if not sizes or min(sizes) < 1 or max(sizes) > MAX_SHARD_ROWS:
        raise ValueError(f"every shard needs 1 to {MAX_SHARD_ROWS} rows, got {sizes}")
    return sizes


def _shard_rows(matrix: np.ndarray, first: int, count: int, chunk_rows: int) -> np.ndarray:
    """Rows first .. first+count as an array the index writer accepts: the source's own
    rows when they are row-major native float32, else a copy made chunk by chunk."""
    view = matrix[first:first + count]
    if view.flags.c_contiguous and view.dtype == np.float32 and view.dtype.isnative:
        return view
    block = np.empty(view.shape, dtype=np.float32)
    for start in range(0, count, chunk_rows):
        block[start:start + chunk_rows] = view[start:start + chunk_rows]
    return block
