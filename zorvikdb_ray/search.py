"""Exact search over a sharded collection: one Ray actor per shard, fan-out, exact merge."""

from __future__ import annotations

import math
import operator
import os
import time
from collections.abc import Mapping
from typing import Any

import numpy as np
import ray
from ray.exceptions import GetTimeoutError, RayError, RayTaskError

from zorvikdb_collection import Collection
from zorvikdb_collection.shards import as_shards

from .actor import ShardServer
from .errors import ShardError
from .manifest import Manifest, entry_name, read_manifest
from .merge import merge_top_k, merged_method_name

_RemoteShard = ray.remote(ShardServer)


class ShardedSearchEngine:
    """A sharded collection opened on a Ray cluster: one actor per shard, each holding
    that shard's `zorvikdb.PySearchEngine`.

    `manifest` is a `Manifest` or the path of a manifest file. Shard files are looked
    up under `shard_dir` (default: the manifest's directory; a relative one is taken from
    this process's working directory) on whichever node runs the shard's actor, so that
    path must hold the files on every node. A shard file that, symbolic links resolved,
    lies outside that directory is refused with `ValueError`.

    Each actor is given `cpus_per_shard` CPUs (default: the cluster's CPUs divided by the
    number of shards) and runs with `ZORVIK_THREADS` set to that count (at least 1), so
    actors sharing a node do not oversubscribe it; actors are spread over the nodes
    (`scheduling_strategy`: one Ray scheduling strategy for all actors, or a list with
    one per shard, for example to pin shards to the nodes that hold their files). The
    caller's other `ZORVIK_` variables (strategy switches) are passed to every actor; `env`
    adds or overrides variables.

    An actor that dies is restarted by Ray (up to `max_restarts` times, by default without
    limit: its whole state is a file) and the calls in flight are retried (up to
    `max_task_retries` times); a restarted actor checks its file again. A shard whose file
    is missing, unreadable or does not match the manifest makes the call (and the
    constructor) raise `ShardError` naming the shard; `timeout` (seconds, default none)
    bounds how long a call waits for the shards. There are no partial answers.

    A `zorvikdb_collection.Collection` is served as it is in that snapshot: its segments
    are the shards, deleted rows are never searched, and answers carry user ids ("ids"
    in place of "indices", "id" in place of "idx") ranked as `Collection.search` ranks
    them.

    Starts Ray with `ray.init()` if the process has not connected yet.
    """

    def __init__(
        self,
        manifest: Manifest | Collection | str | os.PathLike[str],
        *,
        shard_dir: str | os.PathLike[str] | None = None,
        cpus_per_shard: float | None = None,
        env: Mapping[str, str] | None = None,
        max_restarts: int = -1,
        max_task_retries: int = 3,
        timeout: float | None = None,
        scheduling_strategy: Any = "SPREAD",
    ) -> None:
        self._ids: np.ndarray | None = None  # a Collection's user ids by global row
        if isinstance(manifest, Collection):
            rows = len(manifest)
            self.manifest, segments, self._ids = as_shards(manifest)
        else:
            self.manifest = manifest if isinstance(manifest, Manifest) else read_manifest(manifest)
            rows, segments = self.manifest.rows, [None] * len(self.manifest.shards)
        self._rows = rows
        self.timeout = timeout
        directory = self.manifest.shard_directory(shard_dir)
        self._paths = [s.path_in(directory) for s in self.manifest.shards]
        # The collection's own facts, in place of one shard's in every answer.
        self._own = {"index_hash": self.manifest.digest, "rows": rows,
                     "index_path": os.path.abspath(self.manifest.path)}
        if not ray.is_initialized():
            ray.init()
        if cpus_per_shard is None:
            # Ray accounts CPUs to four decimals; round down so that all shards fit.
            total = ray.cluster_resources().get("CPU", 1.0)
            cpus_per_shard = max(math.floor(total / len(self._paths) * 10000) / 10000, 0.0001)
        self.cpus_per_shard = cpus_per_shard
        actor_env = {k: v for k, v in os.environ.items() if k.startswith("ZORVIK_")}
        actor_env["ZORVIK_THREADS"] = str(max(int(cpus_per_shard), 1))
        actor_env.update(env or {})
        strategies = (list(scheduling_strategy) if isinstance(scheduling_strategy, (list, tuple))
                      else [scheduling_strategy] * len(self._paths))
        if len(strategies) != len(self._paths):
            raise ValueError(f"{len(strategies)} scheduling strategies "
                             f"for {len(self._paths)} shards")
        m = self.manifest
        self.actors: list[Any] = [
            _RemoteShard.options(
                num_cpus=cpus_per_shard,
                max_restarts=max_restarts,
                max_task_retries=max_task_retries,
                scheduling_strategy=strategy,
                runtime_env={"env_vars": actor_env},
            ).remote(i, s, directory, m.dims, m.metric, entry_name(m.path, i), segments[i])
            for i, (s, strategy) in enumerate(zip(m.shards, strategies))
        ]
        try:
            # Every actor opens and checks its file; shard 0's empty answer gives the
            # form of a single query's answer and the index facts the engine reports.
            self._single_form = self._gather([a.empty_answer.remote() for a in self.actors])[0]
        except BaseException:
            self.close()
            raise

    # -- facts ------------------------------------------------------------------------

    def dims(self) -> int:
        return self.manifest.dims

    def rows(self) -> int:
        return self._rows

    def shard_status(self) -> list[dict]:
        """For every shard, once its actor has opened and checked its file: the actor's
        process id, its ZORVIK_THREADS and its node id."""
        return self._gather([a.ready.remote() for a in self.actors])

    def close(self) -> None:
        """Ends the shard actors (they also end when the last handle goes)."""
        for actor in self.actors:
            ray.kill(actor, no_restart=True)
        self.actors = []

    def __enter__(self) -> ShardedSearchEngine:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- queries ----------------------------------------------------------------------

    def query(self, query: np.ndarray, k: int) -> dict:
        """Top k over every shard for one query, shaped like
        `PySearchEngine.query_exact_arrays`: "indices" are global rows, "query_time_ms"
        is the whole fan-out and merge, "index_hash" and "index_path" are the
        manifest's."""
        _check_contiguous(query)
        start = time.perf_counter()
        # A well-formed query travels as raw bytes (cheaper to send and to read than a
        # pickled array); anything else goes as it is, for the engine to refuse.
        sent = query.tobytes() if _is_vector(query) else query
        parts = self._gather([a.query.remote(sent, k) for a in self.actors])
        indices, scores = self._merge([np.frombuffer(p[0], dtype=np.uint64) for p in parts],
                                      [np.frombuffer(p[1], dtype=np.float32) for p in parts], k)
        return self._answer(self._single_form, indices=indices[0], scores=scores[0],
                            query_time_ms=(time.perf_counter() - start) * 1000.0,
                            method_used=merged_method_name([p[3] for p in parts]))

    def query_batch(self, queries: np.ndarray, k: int) -> dict:
        """Top k over every shard for each row of `queries` (put once into the object
        store), shaped like `PySearchEngine.query_batch_arrays`; a query's time is that
        of its slowest shard."""
        _check_contiguous(queries)
        shared = ray.put(queries)
        parts = self._gather([a.query_batch.remote(shared, k) for a in self.actors])
        answered = {p["indices"].shape[0] for p in parts}
        if len(answered) != 1:
            raise ShardError(f"the shards answered {sorted(answered)} queries for one batch",
                             list(range(len(parts))))
        indices, scores = self._merge([p["indices"] for p in parts],
                                      [p["scores"] for p in parts], k)
        m = answered.pop()
        times = np.max([p["query_time_ms"] for p in parts], axis=0) if m else np.empty(0)
        methods = [merged_method_name([p["method_used"][j] for p in parts]) for j in range(m)]
        return self._answer(parts[0], indices=indices, scores=scores, query_time_ms=times,
                            method_used=methods)

    def query_certified(self, query: np.ndarray, k: int, block_size: int = 64,
                        enable_pruning: bool = True) -> dict:
        """Certified top k over every shard, shaped like
        `PySearchEngine.query_exact_certified` but with "safe" (true only when every
        shard's certificate is safe) and "certificates" (one entry per shard with its
        first row, row count, index hash and path, time and certificate) in place of
        the single "certificate"."""
        _check_contiguous(query)
        start = time.perf_counter()
        parts = self._gather([a.query_certified.remote(query, k, block_size, enable_pruning)
                              for a in self.actors])
        hits = [p["results"] for p in parts]
        indices, scores = self._merge([np.array([h["idx"] for h in r], np.uint64) for r in hits],
                                      [np.array([h["score"] for h in r], np.float32) for r in hits],
                                      k)
        form = {key: value for key, value in parts[0].items() if key != "certificate"}
        return self._answer(
            form,
            results=[{"idx": int(i), "score": float(s)} for i, s in zip(indices[0], scores[0])],
            query_time_ms=(time.perf_counter() - start) * 1000.0,
            method_used=merged_method_name([p["method_used"] for p in parts]),
            safe=all(p["certificate"]["safe"] for p in parts),
            certificates=[
                {"shard": i, "first_row": s.first_row, "rows": s.rows,
                 "index_hash": p["index_hash"], "index_path": p["index_path"],
                 "query_time_ms": p["query_time_ms"], "certificate": p["certificate"]}
                for i, (s, p) in enumerate(zip(self.manifest.shards, parts))
            ])

    # -- plumbing ---------------------------------------------------------------------

    def _merge(self, indices: list[np.ndarray], scores: list[np.ndarray],
               k: int) -> tuple[np.ndarray, np.ndarray]:
        """Merges the shards' answers: 1-D arrays for one query, 2-D for a batch."""
        return merge_top_k([np.atleast_2d(a) for a in indices],
                           [np.atleast_2d(a) for a in scores],
                           operator.index(k), self.manifest.metric)

    def _answer(self, shard_answer: Mapping[str, Any], **merged: Any) -> dict:
        """A shard engine's answer, keys in the engine's order and index facts as the
        engine reports them, holding the `merged` values and the collection's own rows,
        path and hash (where the form has them) in place of the shard's."""
        answer = {**shard_answer, **merged}
        answer.update((key, value) for key, value in self._own.items() if key in answer)
        if self._ids is None:
            return answer
        # A collection's answer: user ids where the global rows were.
        ids = self._ids
        if "results" in answer:
            answer["results"] = [{"id": int(ids[h["idx"]]), "score": h["score"]}
                                 for h in answer["results"]]
            return answer
        rows = answer.pop("indices")
        return {"ids": ids[rows.astype(np.intp)], **answer}

    def _gather(self, refs: list) -> list:
        """Every shard's answer, in shard order, or an exception: shard faults first
        (all of them in one ShardError), else the engine's own error for the arguments
        (every shard raises the same one), re-raised as it is."""
        if not refs:
            raise RuntimeError("this sharded engine is closed")
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        try:
            return ray.get(refs, timeout=self.timeout)
        except RayError:
            pass  # find out which shards failed, and how
        answers, faults, refused = [], [], None
        for number, ref in enumerate(refs):
            left = None if deadline is None else max(deadline - time.monotonic(), 0.0)
            try:
                answers.append(ray.get(ref, timeout=left))
            except RayTaskError as err:
                cause = err.cause
                if isinstance(cause, ShardError):
                    faults.append(cause)
                elif isinstance(cause, Exception):
                    refused = cause if refused is None else refused
                else:
                    faults.append(self._fault(number, str(err)))
            except GetTimeoutError:
                faults.append(self._fault(number, f"no answer within {self.timeout} s"))
            except RayError as err:  # the actor died and could not be brought back
                first_line = str(err).splitlines()[0]
                faults.append(self._fault(number, f"{type(err).__name__}: {first_line}"))
        if faults:
            raise ShardError.combine(faults)
        if refused is not None:
            raise refused
        return answers

    def _fault(self, number: int, what: str) -> ShardError:
        return ShardError.of(number, self._paths[number], what)


def _is_vector(array: object) -> bool:
    return (type(array) is np.ndarray and array.dtype == np.float32 and array.ndim == 1
            and array.flags.c_contiguous)


def _check_contiguous(array: object) -> None:
    # Ray would send a strided view as a contiguous copy; refuse it as the engine does.
    flags = array.flags if isinstance(array, np.ndarray) else None
    if flags is not None and not (flags.c_contiguous or flags.f_contiguous):
        raise TypeError("The given array is not contiguous")
