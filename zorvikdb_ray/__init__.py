"""Exact nearest-neighbour search over a collection split into shards, one Ray actor per
shard: `shard_collection` writes the shard index files and their manifest,
`ShardedSearchEngine` answers queries over all shards with the answers one index of the
whole collection would give.

Ray is imported only when `ShardedSearchEngine` is first used: sharding a collection and
reading a manifest work where Ray is not installed.
"""

from typing import TYPE_CHECKING, Any

from .errors import ShardError
from .manifest import Manifest, ShardInfo, read_manifest
from .sharding import shard_collection

if TYPE_CHECKING:
    from .search import ShardedSearchEngine

__all__ = ["shard_collection", "read_manifest", "Manifest", "ShardInfo", "ShardedSearchEngine",
           "ShardError"]


def __getattr__(name: str) -> Any:
    if name == "ShardedSearchEngine":
        from .search import ShardedSearchEngine

        globals()[name] = ShardedSearchEngine  # found directly from now on
        return ShardedSearchEngine
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
