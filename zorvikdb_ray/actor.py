"""The shard server: the body of the Ray actor that holds one shard's opened engine.

Its whole state is the shard file, so Ray may restart it at any time: a restart opens
the file again and checks it against the manifest again before answering. The file
must lie inside the shard directory, symbolic links resolved, on the node that opens it.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

import numpy as np

import zorvikdb
from zorvikdb_collection.files import read_deletions
from zorvikdb_collection.manifest import Segment

from .errors import ShardError
from .manifest import ShardInfo, check_inside


class ShardServer:
    """Answers queries from one shard with global row numbers (local row + first_row)."""

    def __init__(self, number: int, shard: ShardInfo, directory: str, dims: int, metric: str,
                 entry: str, segment: Segment | None = None) -> None:
        """Shard `number`, the manifest's `entry` (its name in messages), whose file is
        under the absolute `directory`, of a collection of `dims` and `metric`; for a
        segment of a `zorvikdb_collection.Collection`, its deleted rows are never searched."""
        self._number = number
        self._directory = directory
        self._path = shard.path_in(directory)
        self._entry = entry
        self._first_row = np.uint64(shard.first_row)
        self._expected = (dims, shard.rows, metric, shard.blake3)
        self._segment = segment
        self._engine: zorvikdb.PySearchEngine | None = None
        self._facts: Mapping[str, Any] = {}
        self._filter: dict[str, np.ndarray] = {}
        try:
            self._ready_engine()
        except (ShardError, ValueError):
            pass  # reported by every call until the file is right

    def _open(self) -> tuple[zorvikdb.PySearchEngine, Mapping[str, Any]]:
        """Opens the shard file and checks it against the manifest: the engine's own
        hash of the bytes it mapped, and the header's shape and metric. Returns the
        engine and its answer to a query for no rows, which carries the index facts."""
        dims, rows, metric, expected_hash = self._expected
        check_inside(self._directory, self._path, self._entry)
        try:
            engine = zorvikdb.PySearchEngine(self._path, False)
        except ValueError as err:
            raise ShardError.of(self._number, self._path, str(err)) from None
        facts = engine.query_exact_arrays(np.zeros(engine.dims(), dtype=np.float32), 0)
        found = (facts["dims"], facts["rows"], facts["metric"], facts["index_hash"])
        if found[3] != expected_hash:
            raise ShardError.of(self._number, self._path,
                                f"BLAKE3 {found[3]} does not match the manifest's {expected_hash}")
        if found != self._expected:
            raise ShardError.of(self._number, self._path,
                                f"holds {found[1]} rows of {found[0]} dims ({found[2]}), "
                                f"the manifest says {rows} rows of {dims} dims ({metric})")
        return engine, facts

    def _ready_engine(self) -> zorvikdb.PySearchEngine:
        if self._engine is None:
            engine, self._facts = self._open()
            deleted = None if self._segment is None else read_deletions(self._directory, self._segment)
            if deleted is not None:
                self._filter = {"filter": ~deleted}
            self._engine = engine
        return self._engine

    def ready(self) -> dict:
        """Where this shard is served: process id, ZORVIK_THREADS, node id."""
        import ray

        self._ready_engine()
        return {"pid": os.getpid(), "threads": os.environ.get("ZORVIK_THREADS"),
                "node_id": ray.get_runtime_context().get_node_id()}

    def empty_answer(self) -> Mapping[str, Any]:
        """The engine's own `query_exact_arrays` answer for k = 0: the form of a single
        query's answer, with the index facts as the engine reports them."""
        self._ready_engine()
        return self._facts

    def query(self, query: np.ndarray | bytes, k: int) -> tuple[bytes, bytes, float, str]:
        """One query (a float32 vector, or its raw bytes: the cheaper form to send)."""
        if isinstance(query, bytes):
            query = np.frombuffer(query, dtype=np.float32)
        found = self._ready_engine().query_exact_arrays(query, k, **self._filter)
        rows = found["indices"] + self._first_row
        return (rows.tobytes(), found["scores"].tobytes(), found["query_time_ms"],
                found["method_used"])

    def query_batch(self, queries: np.ndarray, k: int) -> Mapping[str, Any]:
        found = self._ready_engine().query_batch_arrays(queries, k, **self._filter)
        found["indices"] += self._first_row
        return found

    def query_certified(self, query: np.ndarray, k: int, block_size: int,
                        enable_pruning: bool) -> Mapping[str, Any]:
        found = self._ready_engine().query_exact_certified(query, k, block_size, enable_pruning,
                                                              **self._filter)
        for hit in found["results"]:
            hit["idx"] += int(self._first_row)
        return found
