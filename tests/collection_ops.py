"""A reproducible stream of changes to a collection and a NumPy model of its live rows,
shared by the model test and the child processes of the crash and concurrency tests."""

import numpy as np

from conftest import METRIC_IDS, model_ranking, model_scores, normalized_model

DIMS = 8
KINDS = ("add", "delete", "upsert", "compact")
IDS_PER_STEP = 8


def operation(seed, step):
    """Change number `step` of stream `seed`: (kind, vectors, ids). Whatever happened
    before, it is valid: adds take fresh ids; deletes and upserts pick ids of earlier
    steps, some of them live and some not. Rows repeat a few base rows: ties."""
    rng = np.random.default_rng([seed, step])
    kind = KINDS[rng.choice(4, p=[0.4, 0.25, 0.25, 0.1])]
    n = int(rng.integers(1, 7))
    base = np.random.default_rng(seed).standard_normal((4, DIMS), dtype=np.float32)
    rows = rng.standard_normal((n, DIMS), dtype=np.float32)
    planted = rng.random(n) < 0.5
    rows[planted] = base[rng.integers(0, 4, planted.sum())]
    if kind == "add":
        ids = step * IDS_PER_STEP + np.arange(n, dtype=np.uint64)
    else:
        ids = rng.choice((step + 1) * IDS_PER_STEP, size=n, replace=False).astype(np.uint64)
    return kind, rows, ids


def apply(collection, change):
    kind, rows, ids = change
    if kind == "compact":
        return collection.compact()
    if kind == "delete":
        return collection.delete(ids)
    return getattr(collection, kind)(rows, ids)


class Model:
    """The live rows in insertion order: ids and the rows as the collection stores them."""

    def __init__(self, metric):
        self.metric = METRIC_IDS[metric]
        self.ids = np.empty(0, np.uint64)
        self.rows = np.empty((0, DIMS), np.float32)

    def copy(self):
        other = Model.__new__(Model)
        other.metric, other.ids, other.rows = self.metric, self.ids, self.rows
        return other

    def apply(self, change):
        kind, rows, ids = change
        if kind == "compact":
            return
        keep = ~np.isin(self.ids, ids)
        self.ids, self.rows = self.ids[keep], self.rows[keep]
        if kind != "delete":
            stored = np.frombuffer(normalized_model(rows), np.float32).reshape(rows.shape) \
                if self.metric == 0 else rows
            self.ids = np.concatenate([self.ids, ids])
            self.rows = np.concatenate([self.rows, stored])

    def search(self, query, k, allowed=None):
        """Ids and scores of the k best rows, ties to the row added first."""
        rows = np.flatnonzero(np.isin(self.ids, allowed) if allowed is not None
                              else np.ones(len(self.ids), bool))
        best, scores = model_ranking(model_scores(self.rows[rows], query, self.metric),
                                     self.metric, k)
        return self.ids[rows[best.astype(np.intp)]], scores


def replay(seed, metric, steps):
    """models[i]: the collection after the first i changes of stream `seed`."""
    model, models = Model(metric), []
    for step in range(steps + 1):
        models.append(model.copy())
        model.apply(operation(seed, step))
    return models
