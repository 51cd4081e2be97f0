"""A collection's snapshot seen as a sharded collection: one shard per segment."""

from __future__ import annotations

import numpy as np

from zorvikdb_ray.manifest import Manifest as ShardManifest
from zorvikdb_ray.manifest import ShardInfo

from .collection import Collection
from .manifest import Segment, manifest_path


def as_shards(collection: Collection) -> tuple[ShardManifest, list[Segment | None], np.ndarray]:
    """The shard manifest of the segments (global rows are insertion positions, the
    metric the one the segment files carry), the segments' entries (with their
    deletions), and the
    user id of every insertion position."""
    snapshot, manifest = collection.snapshot, collection.manifest
    if not snapshot.segments:
        raise ValueError(f"{collection.path} holds no rows to serve")
    shards = tuple(ShardInfo(s.entry.file, int(first), s.entry.rows, s.entry.blake3)
                   for s, first in zip(snapshot.segments, snapshot.offsets))
    shard_manifest = ShardManifest(manifest_path(manifest.directory), manifest.dims,
                                   collection.stored_metric, int(snapshot.offsets[-1]), shards,
                                   manifest.digest)
    return shard_manifest, [s.entry for s in snapshot.segments], snapshot.ids_by_position
