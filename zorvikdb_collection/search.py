"""Exact search over the segments of one snapshot, merged into one answer.

Each segment answers with its own best k live rows (the engine's filter leaves deleted
rows and rows outside the allow-list unscored). A row's insertion position is its row
in its segment plus the stored rows of the segments before it: segments and the rows in
them are kept in insertion order. Sorting the union by score in the metric's direction
(totalOrder), then by insertion position, and keeping k gives the answer one index of
the live rows in insertion order would give: ties go to the row added first.
"""

from __future__ import annotations

from collections import OrderedDict
from collections.abc import Sequence

import blake3
import numpy as np

from zorvikdb_ray.merge import merge_top_k

from .checks import check_ids
from .segment import OpenSegment

# With fewer allowed rows than this share of a segment, the filter is a row list.
ROW_LIST_SHARE = 8
KEPT_FILTERS = 4
Filters = list[tuple[int, "np.ndarray | None"]]


class Snapshot:
    """The open segments of one manifest, with every row's id by insertion position."""

    def __init__(self, segments: Sequence[OpenSegment], metric: str, digest: str) -> None:
        self.segments = list(segments)
        self.metric = metric
        self.digest = digest
        self.offsets = np.cumsum([0] + [s.entry.rows for s in self.segments])
        self.ids_by_position = (np.concatenate([s.ids for s in self.segments])
                                if self.segments else np.empty(0, np.uint64))
        # The filters of the allow-lists searched last, by the hash of their bytes: an
        # allow-list of most rows costs more to translate than to search.
        self._filters: OrderedDict[str, Filters] = OrderedDict()

    def filters(self, ids: object) -> Filters:
        """(segment number, engine filter) of every segment with rows to search: its
        live rows, or those of them whose ids are in the allow-list `ids` (if not None)."""
        if ids is None:
            return [(i, s.live_mask) for i, s in enumerate(self.segments)]
        given = np.asarray(ids)
        if given.dtype.kind not in "iu":
            given = check_ids(given, unique=False)  # refuses all but an empty list
        hasher = blake3.blake3(f"{given.dtype.str}{given.shape}".encode())
        key = hasher.update(np.ascontiguousarray(given).reshape(-1).view(np.uint8).data).hexdigest()
        if key not in self._filters:
            self._filters[key] = self._translate(check_ids(given, unique=False))
            if len(self._filters) > KEPT_FILTERS:
                self._filters.popitem(last=False)
        self._filters.move_to_end(key)
        return self._filters[key]

    def _translate(self, allowed: np.ndarray) -> Filters:
        found: Filters = []
        for i, s in enumerate(self.segments):
            rows = np.sort(s.live_rows(allowed)[1])
            if rows.size == s.entry.rows:
                found.append((i, None))
            elif rows.size * ROW_LIST_SHARE >= s.entry.rows:
                mask = np.zeros(s.entry.rows, dtype=bool)
                mask[rows] = True
                found.append((i, mask))
            elif rows.size:
                found.append((i, rows.astype(np.uint64)))
        return found

    def search(self, queries: np.ndarray, k: int, allowed: object,
               batch: bool) -> tuple[np.ndarray, np.ndarray]:
        """Ids and scores, best first: 1-D for one query, (m, w) for a batch."""
        positions, scores = [], []
        m = queries.shape[0] if batch else 1
        chosen = self.filters(allowed)
        if k > 0 and m > 0:
            for i, mask in chosen:
                kw = {} if mask is None else {"filter": mask}
                engine = self.segments[i].engine
                found = (engine.query_batch_arrays(queries, k, **kw) if batch
                         else engine.query_exact_arrays(queries, k, **kw))
                positions.append(np.atleast_2d(found["indices"]) + np.uint64(self.offsets[i]))
                scores.append(np.atleast_2d(found["scores"]))
        if not positions:
            positions, scores = [np.empty((m, 0), np.uint64)], [np.empty((m, 0), np.float32)]
        merged, best = merge_top_k(positions, scores, k, self.metric)
        ids = self.ids_by_position[merged.astype(np.intp)]
        return (ids, best) if batch else (ids[0], best[0])
