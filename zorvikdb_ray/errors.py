"""The one error type of sharded search: something is wrong with one or more shards."""

from __future__ import annotations

import os


class ShardError(RuntimeError):
    """A shard could not answer: its file is missing, unreadable or not the file the
    manifest names, or its actor died and could not be brought back in time.

    `shards` lists the failing shard numbers (0-based, manifest order); the message
    names each of them with its file. A sharded call that raises this returns nothing:
    there are no partial answers.
    """

    def __init__(self, message: str, shards: list[int]) -> None:
        super().__init__(message)
        self.shards = list(shards)

    def __reduce__(self):  # crosses process boundaries through Ray
        return (type(self), (str(self), self.shards))

    @classmethod
    def of(cls, number: int, path: str | os.PathLike[str], what: str) -> ShardError:
        """Shard `number`, whose file is `path`, failed: `what` says how."""
        return cls(f"shard {number} ({os.fspath(path)}): {what}", [number])

    @classmethod
    def combine(cls, errors: list[ShardError]) -> ShardError:
        """One error naming every failing shard, in shard order."""
        errors = sorted(errors, key=lambda e: e.shards)
        return cls("; ".join(str(e) for e in errors), [s for e in errors for s in e.shards])
