"""One segment opened for reading: its engine, its ids and which of its rows are live."""

from __future__ import annotations

import copy
import os

import numpy as np

import zorvikdb

from .files import read_deletions, read_ids
from .manifest import Segment


class PinnedFile:
    """An open descriptor of a segment's index file, and the engine opened through it
    when first needed. The file stays readable under `path` (the descriptor's own name)
    while this lives, even after a writer has removed it from the directory: a snapshot
    never loses its files."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        self.path = f"/dev/fd/{self.fd}"
        self.engine: zorvikdb.PySearchEngine | None = None

    def __del__(self) -> None:
        if hasattr(self, "fd"):
            os.close(self.fd)


class OpenSegment:
    """A segment's index file (opened as an engine at its first search, its hash then
    checked against the manifest) with its ids (row order), the same ids sorted (with
    the rows they sort from) for lookups, and its deleted rows."""

    def __init__(self, directory: str, entry: Segment, ids: np.ndarray | None = None,
                 order: np.ndarray | None = None) -> None:
        """`ids`, when given, are those just written to the ids file (copied here), and
        `order` their rows in id order when the writer has sorted them already."""
        self.file = PinnedFile(os.path.join(directory, entry.file))
        self.ids = read_ids(directory, entry.ids, entry.rows) if ids is None else np.array(ids, np.uint64)
        self.order = np.argsort(self.ids) if order is None else order
        self.sorted_ids = self.ids[self.order]
        self._set_deletions(entry, read_deletions(directory, entry))

    @property
    def engine(self) -> zorvikdb.PySearchEngine:
        if self.file.engine is None:
            engine = zorvikdb.PySearchEngine(self.file.path, False)
            found = engine.query_exact_arrays(np.zeros(engine.dims(), np.float32), 0)["index_hash"]
            if found != self.entry.blake3:
                raise ValueError(f"{self.entry.file}: BLAKE3 {found} does not match "
                                 f"the manifest's {self.entry.blake3}")
            self.file.engine = engine
        return self.file.engine

    def _set_deletions(self, entry: Segment, deleted: np.ndarray | None) -> None:
        self.entry = entry
        self.deleted = deleted
        # What the engine is told to search: every row (no filter) or the live ones.
        self.live_mask = None if deleted is None else ~deleted

    def with_deletions(self, entry: Segment, deleted: np.ndarray | None) -> OpenSegment:
        """This segment under a newer deletions file (`deleted` marks the rows it
        marks); the engine and the id lookup are shared."""
        other = copy.copy(self)
        other._set_deletions(entry, deleted)
        return other

    def live_rows(self, ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """For sorted unique `ids`: which of them are live here (a mask over `ids`) and
        their rows, in the order of `ids`."""
        at = np.searchsorted(self.sorted_ids, ids).clip(max=len(self.ids) - 1)
        found = self.sorted_ids[at] == ids
        rows = self.order[at]
        if self.deleted is not None:
            found &= ~self.deleted[rows]
        return found, rows[found]

    def live_ids(self) -> np.ndarray:
        return self.ids if self.deleted is None else self.ids[self.live_mask]

    def live_row_numbers(self) -> np.ndarray | None:
        """The rows of the index file that are live, in order; None when all are."""
        return None if self.live_mask is None else np.flatnonzero(self.live_mask)
