"""`Collection`: an embedded database of vectors under the user's own ids, in one
directory, with exact search."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

import numpy as np

import zorvikdb
from zorvikdb_ray.manifest import file_hash, parts_hash

from .checks import check_dims, check_ids, check_k, check_metric, check_vectors
from .files import (LEVEL, deletions_name, ids_name, index_header, index_name, read_deletions,
                    remove_unreferenced, segment_stem, stored_bytes, write_deletions, write_ids)
from .io_pool import start
from .lock import writer_lock
from .manifest import Manifest, Segment, commit, read_manifest
from .merging import merge_start
from .new_files import NewFiles
from .search import Snapshot
from .segment import OpenSegment

DEFAULT_TIMEOUT = 10.0
# How often a reader re-reads the manifest when a writer removes files under it.
LOAD_ATTEMPTS = 100
# A change under the lock: given the files of the next commit, the segments of the new
# state, or None when the change has nothing to commit.
Change = Callable[[NewFiles], list[OpenSegment] | None]


class Collection:
    """Vectors under unique uint64 ids in the directory `path`, searched exactly.

    Each segment is an index file with the ids of its rows and, when some of its rows
    are deleted, a deletions file; the manifest names them and is replaced atomically
    by every commit, so a crash at any point leaves the last committed state. One
    writer at a time holds the directory's lock (others wait up to `timeout` seconds);
    readers take no lock and keep the snapshot they opened until `refresh()`.
    """

    def __init__(self, path: str, timeout: float) -> None:
        """Use `Collection.create` or `Collection.open`."""
        self._path = os.path.abspath(path)
        self.timeout = float(timeout)
        self._manifest: Manifest | None = None
        self._snapshot = Snapshot([], "dot", "")
        self.refresh()

    # -- opening ------------------------------------------------------------------------

    @classmethod
    def create(cls, path: str | os.PathLike[str], dims: int, metric: str = "cosine", *,
               timeout: float = DEFAULT_TIMEOUT) -> Collection:
        """A new, empty collection of `dims`-dimensional vectors ranked by `metric`
        ("cosine", "dot" or "euclidean") in the directory `path`, created if missing;
        an existing directory must be empty."""
        dims, metric = check_dims(dims), check_metric(metric)
        path = os.fspath(path)
        os.makedirs(path, exist_ok=True)
        if os.listdir(path):
            raise ValueError(f"{path} is not empty; a collection needs a directory of its own")
        with writer_lock(path, timeout):
            with NewFiles(path, 0) as new:
                commit(new, dims, metric, [])
        return cls(path, timeout)

    @classmethod
    def open(cls, path: str | os.PathLike[str], *,
             timeout: float = DEFAULT_TIMEOUT) -> Collection:
        """The collection in the directory `path`, as its last commit left it."""
        return cls(os.fspath(path), timeout)

    def refresh(self) -> None:
        """Moves this object to the collection's latest commit. A file that a writer
        removed while it was being opened means a newer commit: read that one."""
        for attempt in range(LOAD_ATTEMPTS):
            manifest = read_manifest(self._path)
            if self._manifest is not None and manifest.digest == self._manifest.digest:
                return
            try:
                self._set(manifest, self._open_segments(manifest))
                return
            except (OSError, ValueError):
                if attempt + 1 == LOAD_ATTEMPTS or read_manifest(self._path).digest == manifest.digest:
                    raise

    def _open_segments(self, manifest: Manifest) -> list[OpenSegment]:
        """The manifest's segments, reusing those already open (a segment's file and
        ids never change; only its deletions file may be newer)."""
        known = {s.entry.file: s for s in self._snapshot.segments}
        opened = []
        for entry in manifest.segments:
            old = known.get(entry.file)
            if old is None:
                opened.append(OpenSegment(self._path, entry))
            elif old.entry == entry:
                opened.append(old)
            else:
                opened.append(old.with_deletions(entry, read_deletions(self._path, entry)))
        return opened

    def _set(self, manifest: Manifest, segments: list[OpenSegment]) -> None:
        self._manifest = manifest
        self._snapshot = Snapshot(segments, manifest.metric, manifest.digest)

    # -- facts --------------------------------------------------------------------------

    @property
    def manifest(self) -> Manifest:
        assert self._manifest is not None
        return self._manifest

    @property
    def path(self) -> str:
        return self._path

    @property
    def dims(self) -> int:
        return self.manifest.dims

    @property
    def metric(self) -> str:
        return self.manifest.metric

    @property
    def manifest_hash(self) -> str:
        """BLAKE3 hash text of the manifest of this snapshot: it names every file (and
        every index file's hash), so equal hashes mean equal collections."""
        return self.manifest.digest

    def __len__(self) -> int:
        return self.manifest.rows

    def __contains__(self, id: object) -> bool:
        try:
            wanted = check_ids([id], unique=True)
        except (TypeError, ValueError, OverflowError):
            return False
        return any(s.live_rows(wanted)[0][0] for s in self._snapshot.segments)

    def ids(self) -> np.ndarray:
        """Every live id, in insertion order (uint64)."""
        live = [s.live_ids() for s in self._snapshot.segments]
        return np.concatenate(live) if live else np.empty(0, np.uint64)

    def __repr__(self) -> str:
        return (f"Collection({self._path!r}: {len(self)} rows of {self.dims} dims, "
                f"{self.metric}, {len(self._snapshot.segments)} segments)")

    # -- searching ----------------------------------------------------------------------

    def search(self, query: np.ndarray, k: int, ids: Any = None) -> dict:
        """The k best live rows for a 1-D float32 `query`, optionally among the user ids
        `ids` only: {"ids": uint64, "scores": float32, "manifest_hash": str}, best first,
        ties to the row added first."""
        return self._search(check_vectors(query, self.dims, 1, "query"), k, ids, batch=False)

    def search_batch(self, queries: np.ndarray, k: int, ids: Any = None) -> dict:
        """`search` for every row of a 2-D float32 `queries`: "ids" and "scores" are
        (queries, min(k, rows allowed)) arrays."""
        return self._search(check_vectors(queries, self.dims, 2, "queries"), k, ids, batch=True)

    def _search(self, queries: np.ndarray, k: int, ids: Any, batch: bool) -> dict:
        k = check_k(k)
        snapshot = self._snapshot
        found, scores = snapshot.search(queries, k, ids, batch)
        return {"ids": found, "scores": scores, "manifest_hash": snapshot.digest}

    # -- writing ------------------------------------------------------------------------

    def add(self, embeddings: np.ndarray, ids: Any) -> None:
        """Adds the rows of `embeddings` under `ids` (one per row, unique, none of them
        in the collection yet) in one commit."""
        self._insert(embeddings, ids, replace=False)

    def upsert(self, embeddings: np.ndarray, ids: Any) -> None:
        """Adds the rows, first deleting any live row with one of the `ids`, in one
        commit: a replaced row becomes the newest."""
        self._insert(embeddings, ids, replace=True)

    def delete(self, ids: Any) -> np.ndarray:
        """Deletes the rows of `ids` in one commit; returns the ids that were not in the
        collection (sorted uint64)."""
        wanted = check_ids(ids, unique=False)
        unknown: list[np.ndarray] = []

        def change(new: NewFiles) -> list[OpenSegment] | None:
            segments, found = self._deleting(wanted, new)
            unknown.append(wanted[~found])
            return segments if found.any() else None

        self._write(change)
        return unknown[0]

    def compact(self) -> None:
        """Merges every segment into one without the deleted rows."""
        def change(new: NewFiles) -> list[OpenSegment] | None:
            segments = self._snapshot.segments
            if len(segments) <= 1 and all(s.deleted is None for s in segments):
                return None
            return self._merged(segments, [], [], new)

        self._write(change)

    def _insert(self, embeddings: np.ndarray, ids: Any, replace: bool) -> None:
        vectors = check_vectors(embeddings, self.dims, 2, "embeddings")
        new_ids = check_ids(ids, vectors.shape[0], unique=True)
        if new_ids.size == 0:
            return
        order = np.argsort(new_ids)  # sorts the ids once, for the lookups and the new segment
        wanted = new_ids[order]

        def change(new: NewFiles) -> list[OpenSegment]:
            present = wanted[self._found(wanted)]
            if present.size and not replace:
                raise ValueError(f"{present.size} of the ids are in the collection already, "
                                 f"the first {present[0]}")
            # The new rows first: the index writer refuses bad rows before writing a byte.
            stem = segment_stem(new.generation, 0)
            zorvikdb.py_prepare_bin_from_embeddings(
                vectors, self.dims, vectors.shape[0], stem, LEVEL, normalize=self.metric == "cosine",
                metric=self.stored_metric, output_dir=self._path)
            segments = self._deleting(wanted, new)[0] if present.size else self._snapshot.segments
            start = merge_start([s.entry.live for s in segments] + [vectors.shape[0]])
            if start >= len(segments):
                return [*segments, self._finish(stem, new_ids, new, order)]
            added = (new.path(index_name(stem)), vectors.shape[0])
            return self._merged(segments[start:], [added], [new_ids], new, kept=segments[:start])

        self._write(change)

    @property
    def snapshot(self) -> Snapshot:
        return self._snapshot

    @property
    def stored_metric(self) -> str:
        """The metric the segment files carry."""
        # Cosine rows are normalised once, when added; merging copies them as they are,
        # so a row keeps its bits (and its scores) whichever segment holds it.
        return "dot" if self.metric == "cosine" else self.metric

    def _found(self, wanted: np.ndarray) -> np.ndarray:
        """Which of the sorted unique `wanted` ids are live."""
        found = np.zeros(wanted.shape, dtype=bool)
        for s in self._snapshot.segments:
            found |= s.live_rows(wanted)[0]
        return found

    def _deleting(self, wanted: np.ndarray, new: NewFiles) -> tuple[list[OpenSegment], np.ndarray]:
        """The segments with the live rows of `wanted` deleted (new deletions files, a
        segment left without live rows dropped), and which of `wanted` were live."""
        segments, found = [], np.zeros(wanted.shape, dtype=bool)
        for s in self._snapshot.segments:
            hit, rows = s.live_rows(wanted)
            found |= hit
            if not rows.size:
                segments.append(s)
                continue
            deleted = np.zeros(s.entry.rows, dtype=bool) if s.deleted is None else s.deleted.copy()
            deleted[rows] = True
            count = s.entry.deleted + rows.size
            if count < s.entry.rows:
                name = deletions_name(s.entry.file, new.generation)
                write_deletions(new, name, deleted)
                segments.append(s.with_deletions(s.entry.with_deletions(name, count), deleted))
        return segments, found

    def _merged(self, merging: list[OpenSegment], extra: list[tuple[str, int]],
                extra_ids: list[np.ndarray], new: NewFiles,
                kept: list[OpenSegment] | None = None) -> list[OpenSegment]:
        """`kept` followed by one segment holding the live rows of `merging` and then
        every row of the index files `extra` ((path, rows) pairs), in that order, which
        is insertion order."""
        ids = np.concatenate([s.live_ids() for s in merging] + extra_ids)
        kept = list(kept or [])
        if ids.size == 0:
            return kept
        parts = ([(s.file.path, s.entry.rows, s.live_row_numbers()) for s in merging]
                 + [(path, rows, None) for path, rows in extra])
        stem = segment_stem(new.generation, 1)
        # The rows go from file to file as they are stored, a chunk at a time; the same
        # bytes after the header of their kind are hashed from the same files meanwhile.
        header = index_header(parts[0][0], ids.size)
        digest = start(parts_hash, stored_bytes(header, parts, self.dims))
        zorvikdb._prepare_bin_from_index_rows([(path, picked) for path, _, picked in parts], stem, LEVEL,
                                              self._path)
        return [*kept, self._finish(stem, ids, new, digest=digest.result())]

    def _finish(self, stem: str, ids: np.ndarray, new: NewFiles,
                order: np.ndarray | None = None, digest: str | None = None) -> OpenSegment:
        """The segment written under `stem`, with its ids file (`order`: the rows in id
        order, when known; `digest`: the index file's hash, when known)."""
        write_ids(new, ids_name(stem), ids)
        digest = digest or file_hash(new.path(index_name(stem)))
        entry = Segment(index_name(stem), ids.size, digest, ids_name(stem))
        return OpenSegment(self._path, entry, ids, order)

    def _write(self, change: Change) -> None:
        """Runs `change` under the writer lock on the latest commit and commits its
        segments; then removes every file the new manifest does not name. When `change`
        fails, the files it wrote are removed and the collection is as it was."""
        with writer_lock(self._path, self.timeout):
            self.refresh()
            # What an unfinished writer left may hold the names this commit writes.
            remove_unreferenced(self._path, self.manifest.files())
            try:
                with NewFiles(self._path, self.manifest.generation + 1) as new:
                    segments = change(new)
                    if segments is None:
                        return
                    manifest = commit(new, self.dims, self.metric, [s.entry for s in segments])
            finally:
                # Whatever the outcome, the manifest on disk says which files to keep.
                remove_unreferenced(self._path, read_manifest(self._path).files())
            replaced = [self._snapshot]
            self._set(manifest, segments)
            # Closing the last descriptor of a removed file frees its blocks on disk, a
            # while for a merged-away segment: the snapshot dies on an I/O thread.
            start(replaced.clear)
