"""Exact nearest-neighbour search over a collection split into shards, one Ray actor per
shard: `shard_collection` writes the shard index files and their manifest,
`ShardedSearchEngine` answers queries over all shards with the answers one index of the
whole collection would give."""

from .errors import ShardError
from .manifest import Manifest, ShardInfo, read_manifest
from .search import ShardedSearchEngine
from .sharding import shard_collection

__all__ = ["shard_collection", "read_manifest", "Manifest", "ShardInfo", "ShardedSearchEngine", "ShardError"]
