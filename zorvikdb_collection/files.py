"""The files of a collection besides its manifest: names, the ids and deletions files,
the stored vectors of a segment, and the removal of files no manifest names.

Every file is written once, under a name no manifest has named before, and never changed:
a reader holding an older manifest always finds the bytes it expects.
"""

from __future__ import annotations

import os
import re
import struct
from collections.abc import Iterator
from typing import Any

import numpy as np

from .io_pool import side_by_side
from .manifest import MANIFEST, Segment
from .new_files import NewFiles

HEADER_BYTES = 12  # an index file: dims, rows, metric as little-endian uint32 each; the rows follow

# Rows a merge's hash copies out of a segment at once (6 MB of 384-dimensional rows).
HASH_CHUNK_ROWS = 4096

LOCK = "lock"
LEVEL = "f32"
ID_DTYPE = np.dtype("<u8")
# What a writer of this collection may have left behind: files of every kind, the index
# writer's and our own temporary files.
_OURS = re.compile(r"g\d{10}-\d+(_f32\.(bin|tmp)|\.ids|-\d{10}\.del)|.*\.tmp")


def segment_stem(generation: int, number: int) -> str:
    """Base name of the `number`th segment written by commit `generation`."""
    return f"g{generation:010d}-{number}"


def index_name(stem: str) -> str:
    """The index writer's name for a file written with base name `stem`."""
    return f"{stem}_{LEVEL}.bin"


def ids_name(stem: str) -> str:
    return f"{stem}.ids"


def deletions_name(index_file: str, generation: int) -> str:
    return f"{index_file.removesuffix(f'_{LEVEL}.bin')}-{generation:010d}.del"


def write_ids(new: NewFiles, name: str, ids: np.ndarray) -> None:
    new.write(name, ids.astype(ID_DTYPE, copy=False).tobytes())


def read_ids(directory: str, name: str, rows: int) -> np.ndarray:
    ids = np.fromfile(os.path.join(directory, name), dtype=ID_DTYPE)
    if ids.shape != (rows,):
        raise ValueError(f"{name}: holds {ids.size} ids for {rows} rows")
    return ids.astype(np.uint64, copy=False)


def write_deletions(new: NewFiles, name: str, deleted: np.ndarray) -> None:
    """One bit per stored row, set when the row is deleted."""
    new.write(name, np.packbits(deleted, bitorder="little").tobytes())


def read_deletions(directory: str, entry: Segment) -> np.ndarray | None:
    """Which of the segment's rows are deleted; None when none are."""
    if entry.deletions is None:
        return None
    bits = np.fromfile(os.path.join(directory, entry.deletions), dtype=np.uint8)
    if bits.size != (entry.rows + 7) // 8:
        raise ValueError(f"{entry.deletions}: holds {bits.size} bytes for {entry.rows} rows")
    return np.unpackbits(bits, count=entry.rows, bitorder="little").view(bool)


def stored_vectors(path: str, rows: int, dims: int) -> np.ndarray:
    """The rows of an index file as written (normalised for cosine), read-only."""
    return np.memmap(path, dtype="<f4", mode="r", offset=HEADER_BYTES, shape=(rows, dims))


def stored_bytes(header: bytes, parts: list[tuple[str, int, np.ndarray | None]],
                 dims: int) -> Iterator[Any]:
    """The bytes of an index file holding `header` and then, for each (path, rows,
    picked) of `parts`, the rows `picked` (all when None) of the index file of `rows`
    rows at `path`: the file a merge writes, in buffers, each valid until the next."""
    yield header
    for path, rows, picked in parts:
        stored = stored_vectors(path, rows, dims)
        if picked is None:
            yield stored
            continue
        chunk = np.empty((min(HASH_CHUNK_ROWS, picked.size), dims), np.float32)
        for first in range(0, picked.size, HASH_CHUNK_ROWS):
            taken = picked[first:first + HASH_CHUNK_ROWS]
            # "clip" writes straight into the chunk; "raise" would copy through a buffer.
            yield np.take(stored, taken, axis=0, out=chunk[:taken.size], mode="clip")


def index_header(like: str, rows: int) -> bytes:
    """The header of an index file of `rows` rows with the dims and metric of the index
    file `like`."""
    with open(like, "rb") as f:
        header = bytearray(f.read(HEADER_BYTES))
    struct.pack_into("<I", header, 4, rows)
    return bytes(header)


def remove_unreferenced(directory: str, keep: set[str]) -> None:
    """Removes the files of ours that the current manifest does not name: those of
    earlier states, and whatever a writer killed half-way left. Only the writer, under
    the lock, calls this."""
    doomed = [os.path.join(directory, name) for name in os.listdir(directory)
              if name not in keep and name not in (MANIFEST, LOCK) and _OURS.fullmatch(name)]
    side_by_side(_remove, doomed)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
