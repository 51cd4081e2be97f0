"""The manifest of a collection: the one file that says which files hold it.

    {"format": "zorvikdb-collection", "format_version": 1, "dims": 384, "metric": "cosine",
     "generation": 12, "rows": 99000,
     "segments": [{"file": "g0000000003-1_f32.bin", "rows": 40000, "blake3": "<64 hex>",
                   "ids": "g0000000003-1.ids", "deletions": "g0000000003-1-12.del",
                   "deleted": 1000}, ...]}

Segments are listed in insertion order. `rows` counts the live rows (stored rows less the
deleted ones); `generation` grows by one with every commit and names the files that
commit writes, so a name that a manifest named is never reused. Renaming a new manifest
(in the family of the sharded manifest) over the old one is the commit: the state is
whatever the last manifest names.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, replace

import blake3

from zorvikdb_ray.manifest import (HASH_TEXT, count_field, entry_name, manifest_body, manifest_name,
                                   stays_below, sync_directory)

from .new_files import NewFiles

FORMAT = "zorvikdb-collection"
FORMAT_VERSION = 1
MANIFEST = "manifest.json"


@dataclass(frozen=True)
class Segment:
    """One segment: its index file, stored row count and file hash, its ids file, and its
    deletions file with the number of rows it marks (None and 0 when none are deleted)."""

    file: str
    rows: int
    blake3: str
    ids: str
    deletions: str | None = None
    deleted: int = 0

    @property
    def live(self) -> int:
        return self.rows - self.deleted

    def files(self) -> list[str]:
        return [self.file, self.ids] + ([self.deletions] if self.deletions else [])

    def with_deletions(self, name: str, deleted: int) -> Segment:
        return replace(self, deletions=name, deleted=deleted)


@dataclass(frozen=True)
class Manifest:
    """A collection's state as read from (or just written to) its manifest; `digest` is
    the BLAKE3 hash text of the manifest's bytes, the provenance of every answer."""

    directory: str
    dims: int
    metric: str
    generation: int
    segments: tuple[Segment, ...]
    digest: str

    @property
    def rows(self) -> int:
        return sum(s.live for s in self.segments)

    def files(self) -> set[str]:
        return {name for s in self.segments for name in s.files()}


def manifest_path(directory: str) -> str:
    return os.path.join(directory, MANIFEST)


def manifest_bytes(dims: int, metric: str, generation: int, segments: list[Segment]) -> bytes:
    body = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "dims": dims,
        "metric": metric,
        "generation": generation,
        "rows": sum(s.live for s in segments),
        "segments": [
            {"file": s.file, "rows": s.rows, "blake3": s.blake3, "ids": s.ids,
             "deletions": s.deletions, "deleted": s.deleted}
            for s in segments
        ],
    }
    return (json.dumps(body, indent=1) + "\n").encode("utf-8")


def commit(new: NewFiles, dims: int, metric: str, segments: list[Segment]) -> Manifest:
    """Writes the manifest of generation `new.generation` beside the other new files,
    flushes them all, renames it over the manifest (the commit) and flushes the
    directory. The file system journals the directory's entries in the order they were
    made, so the rename never reaches the disk without the new files' names, and that
    one flush of the directory makes the rename and every new name durable."""
    data = manifest_bytes(dims, metric, new.generation, segments)
    written = f"{MANIFEST}.{new.generation:010d}.tmp"
    new.write(written, data)
    new.sync()
    os.replace(new.path(written), manifest_path(new.directory))
    sync_directory(new.directory)
    return parse_manifest(data, new.directory)


def read_manifest(directory: str) -> Manifest:
    """The collection's current manifest; ValueError when `directory` holds none."""
    path = manifest_path(directory)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        raise ValueError(f"{directory} is not a zorvikdb collection (no {MANIFEST})") from None
    return parse_manifest(data, directory)


def parse_manifest(data: bytes, directory: str) -> Manifest:
    path = manifest_path(directory)
    where = manifest_name(path)
    body, dims, metric = manifest_body(data, where, FORMAT, FORMAT_VERSION)
    generation = count_field(body, "generation", where)
    entries = body.get("segments")
    if not isinstance(entries, list):
        raise ValueError(f"{where}: 'segments' must be a list")
    segments = tuple(_segment(entry, entry_name(path, number))
                     for number, entry in enumerate(entries))
    manifest = Manifest(os.path.abspath(directory), dims, metric, generation, segments,
                        blake3.blake3(data).hexdigest())
    if count_field(body, "rows", where) != manifest.rows:
        raise ValueError(f"{where}: the segments hold {manifest.rows} live rows, "
                         f"the manifest says {body['rows']}")
    return manifest


def _segment(entry: object, at: str) -> Segment:
    if not isinstance(entry, dict):
        raise ValueError(f"{at}: not an object")
    file, ids, deletions = entry.get("file"), entry.get("ids"), entry.get("deletions")
    for name in (file, ids) + ((deletions,) if deletions is not None else ()):
        if not isinstance(name, str) or not stays_below(name) or "/" in name:
            raise ValueError(f"{at}: file names must be plain names inside the collection")
    assert isinstance(file, str) and isinstance(ids, str)
    digest = entry.get("blake3")
    if not isinstance(digest, str) or not HASH_TEXT.fullmatch(digest):
        raise ValueError(f"{at}: 'blake3' must be 64 lowercase hexadecimal digits")
    rows, deleted = count_field(entry, "rows", at), count_field(entry, "deleted", at)
    if rows == 0 or deleted >= rows or (deleted > 0) != (deletions is not None):
        raise ValueError(f"{at}: {rows} rows with {deleted} deleted do not make a live segment")
    return Segment(file, rows, digest, ids, deletions, deleted)
