"""A collection under user ids: a model of the live rows after random changes, bad input,
tiers, the writer lock, readers' snapshots, kill -9 at random points, a reader beside a
writer in real processes."""

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import zorvikdb
from collection_ops import DIMS, Model, apply, operation, replay
from zorvikdb_collection import Collection
from zorvikdb_collection.lock import writer_lock
from zorvikdb_collection.merging import WIDTH, merge_start, tier

METRICS = ["cosine", "dot", "euclidean"]
TESTS = os.path.dirname(os.path.abspath(__file__))
# Seconds the reader and the writer run side by side; set it to 60 for the long run.
SOAK_SECONDS = float(os.environ.get("COLLECTION_SOAK_SECONDS", "3"))


def _engine_filters():
    path = zorvikdb.py_prepare_bin_from_embeddings(np.ones((1, 1), np.float32), 1, 1, "probe", "f32",
                                                   output_dir=os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                                           f"zorvik-probe-{os.getpid()}"))
    try:
        zorvikdb.PySearchEngine(path, False).query_exact_arrays(np.ones(1, np.float32), 1, filter=np.ones(1, bool))
        return True
    except TypeError:
        return False
    finally:
        shutil.rmtree(os.path.dirname(path))


# Searching past deleted rows needs the engine's row filter.
FILTERS = _engine_filters()


def files_of(path):
    return {name: open(os.path.join(path, name), "rb").read() for name in sorted(os.listdir(path))}


def committed_files(path):
    return {"manifest.json", "lock", *Collection.open(path).manifest.files()}


def check_against(coll, model, rng, steps=2):
    """The collection holds the model's live rows and answers as the model does."""
    assert len(coll) == len(model.ids)
    np.testing.assert_array_equal(coll.ids(), model.ids)
    if len(model.ids):
        assert model.ids[rng.integers(len(model.ids))] in coll
    if not FILTERS:
        return
    queries = np.concatenate([model.rows[:2], rng.standard_normal((steps, DIMS), dtype=np.float32)])
    allowed = rng.choice(model.ids, size=len(model.ids) // 2, replace=False) if len(model.ids) else None
    for k in (1, 4, 1000):
        for ids in (None, allowed):
            got = coll.search_batch(queries, k, ids=ids)
            assert got["manifest_hash"] == coll.manifest_hash
            for q, got_ids, got_scores in zip(queries, got["ids"], got["scores"]):
                want_ids, want_scores = model.search(q, k, ids)
                single = coll.search(q, k, ids=ids)
                for found_ids, found_scores in ((got_ids, got_scores), (single["ids"], single["scores"])):
                    np.testing.assert_array_equal(found_ids, want_ids)
                    np.testing.assert_array_equal(found_scores.view(np.uint32), want_scores.view(np.uint32))


@pytest.mark.parametrize("metric", METRICS)
def test_random_changes_match_a_model_of_the_live_rows(tmp_path, metric):
    coll, model, rng = Collection.create(tmp_path / "c", DIMS, metric), Model(metric), np.random.default_rng(1)
    for step in range(60):
        change = operation(7, step)
        unknown = apply(coll, change)
        if change[0] == "delete":
            np.testing.assert_array_equal(unknown, np.sort(change[2][~np.isin(change[2], model.ids)]))
        model.apply(change)
        check_against(coll, model, rng)
    check_against(Collection.open(tmp_path / "c"), model, rng)
    assert set(os.listdir(tmp_path / "c")) == committed_files(tmp_path / "c")


@pytest.mark.parametrize("sizes", [[10] * 2000, [1, 1000] * 300, [5000, 1] * 300, list(range(1, 600))])
def test_tiers_keep_the_segment_count_logarithmic(sizes):
    segments = []
    for n in sizes:
        segments.append(n)
        start = merge_start(segments)
        segments[start:] = [sum(segments[start:])] if start < len(segments) else segments[start:]
        tiers = [tier(s) for s in segments]
        assert tiers == sorted(tiers, reverse=True) and all(tiers.count(t) < WIDTH for t in tiers)
    assert len(segments) < WIDTH * (tier(sum(sizes)) + 1)


BAD_INPUT = [  # (call, error type, message part)
    (lambda c: c.add(np.ones((2, DIMS)), [5, 6]), TypeError, "float32"),
    (lambda c: c.add(np.ones(DIMS, np.float32), [5]), TypeError, "2-D"),
    (lambda c: c.add(np.ones((2, DIMS + 1), np.float32), [5, 6]), ValueError, "dims"),
    (lambda c: c.add(np.ones((2, DIMS), np.float32), [5]), ValueError, "1 ids for 2 rows"),
    (lambda c: c.add(np.ones((2, DIMS), np.float32), [5.0, 6.0]), TypeError, "integers"),
    (lambda c: c.add(np.ones((2, DIMS), np.float32), [5, -6]), ValueError, "negative"),
    (lambda c: c.add(np.ones((2, DIMS), np.float32), [5, 5]), ValueError, "repeat"),
    (lambda c: c.add(np.ones((2, DIMS), np.float32), [5, 1]), ValueError, "already"),
    (lambda c: c.add(np.full((2, DIMS), np.nan, np.float32), [5, 6]), ValueError, "Too many invalid values"),
    (lambda c: c.upsert(np.ones((2, DIMS), np.float32), [1, 1]), ValueError, "repeat"),
    (lambda c: c.upsert(np.full((2, DIMS), np.inf, np.float32), [1, 6]), ValueError, "Too many invalid values"),
    (lambda c: c.delete(np.array([1.5])), TypeError, "integers"),
    (lambda c: c.delete([[1]]), TypeError, "1-D"),
    (lambda c: c.search(np.ones(DIMS + 1, np.float32), 1), ValueError, "dims"),
    (lambda c: c.search(np.ones(DIMS, np.float32), -1), ValueError, "negative"),
    (lambda c: c.search_batch(np.ones((1, DIMS), np.float16), 1), TypeError, "float32"),
    (lambda c: c.search(np.ones(DIMS, np.float32), 1, ids=["a"]), TypeError, "integers"),
    (lambda c: Collection.create(c.path, DIMS, "dot"), ValueError, "not empty"),
    (lambda c: Collection.create(c.path + "x", DIMS, "manhattan"), ValueError, "metric"),
    (lambda c: Collection.create(c.path + "x", 0, "dot"), ValueError, "dims"),
    (lambda c: Collection.open(os.path.dirname(c.path)), ValueError, "not a zorvikdb collection"),
]


@pytest.mark.parametrize("call, error, part", BAD_INPUT)
def test_bad_input_is_refused_and_changes_nothing(tmp_path, call, error, part):
    coll = Collection.create(tmp_path / "c", DIMS, "dot")
    coll.add(np.arange(3 * DIMS, dtype=np.float32).reshape(3, DIMS), [0, 1, 2])
    coll.delete([2])
    before = files_of(coll.path)
    with pytest.raises(error, match=part):
        call(coll)
    assert files_of(coll.path) == before and not os.path.exists(coll.path + "x")
    np.testing.assert_array_equal(Collection.open(coll.path).ids(), [0, 1])


def test_newer_format_and_damaged_manifests_are_refused(tmp_path):
    coll = Collection.create(tmp_path / "c", DIMS, "dot")
    manifest = os.path.join(coll.path, "manifest.json")
    body = json.load(open(manifest))
    for change, part in [({"format_version": 2}, "format_version 2 is not supported"),
                         ({"format": "zorvikdb-shards"}, "not a zorvikdb-collection manifest"),
                         ({"rows": 3}, "0 live rows, the manifest says 3"),
                         ({"segments": [{"file": "../x", "ids": "a.ids", "rows": 1, "blake3": "0" * 64,
                                         "deletions": None, "deleted": 0}]}, "plain names")]:
        with open(manifest, "w") as f:
            json.dump({**body, **change}, f)
        with pytest.raises(ValueError, match=part):
            Collection.open(coll.path)


def test_a_second_writer_waits_then_gives_up(tmp_path):
    coll = Collection.create(tmp_path / "c", DIMS, "dot", timeout=0.2)
    with writer_lock(coll.path, 1.0):
        with pytest.raises(TimeoutError, match="another writer holds"):
            coll.add(np.ones((1, DIMS), np.float32), [1])
    coll.add(np.ones((1, DIMS), np.float32), [1])
    assert len(coll) == 1


def test_readers_keep_their_snapshot_until_refresh_and_retry_when_files_go(tmp_path, monkeypatch):
    writer = Collection.create(tmp_path / "c", DIMS, "dot")
    for i in range(3):
        writer.add(np.full((2, DIMS), i, np.float32), [2 * i, 2 * i + 1])
    reader = Collection.open(writer.path)
    old_hash, old = reader.manifest_hash, reader.search(np.ones(DIMS, np.float32), 10)
    writer.delete([5])
    writer.compact()  # the reader's files are gone now
    assert set(os.listdir(writer.path)) == committed_files(writer.path)
    again = reader.search(np.ones(DIMS, np.float32), 10)
    assert again["manifest_hash"] == old_hash and list(again["ids"]) == list(old["ids"]) == [4, 5, 2, 3, 0, 1]
    # A manifest read just before a compaction names files that are gone: read again.
    import zorvikdb_collection.collection as module
    stale = [Collection.open(writer.path).manifest]
    writer.add(np.ones((1, DIMS), np.float32), [9])
    writer.compact()
    real = module.read_manifest
    monkeypatch.setattr(module, "read_manifest", lambda path: stale.pop() if stale else real(path))
    fresh = Collection.open(writer.path)
    assert fresh.manifest_hash == writer.manifest_hash and list(fresh.ids()) == [0, 1, 2, 3, 4, 9]
    reader.refresh()
    assert reader.manifest_hash == writer.manifest_hash and len(reader) == 6
