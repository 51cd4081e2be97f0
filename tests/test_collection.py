"""A collection under user ids: a model of the live rows after random changes, bad input,
tiers, the writer lock, readers' snapshots, kill -9 at random points, a reader beside a
writer in real processes."""

import json
import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import zorvikdb
from collection_ops import DIMS, apply, operation
from conftest import METRIC_IDS, model_ranking, model_scores, normalized_model
from zorvikdb_collection.files import stored_vectors
from zorvikdb_collection.lock import writer_lock
from zorvikdb_collection.merging import WIDTH, merge_start, tier

Collection = zorvikdb.Collection  # the module finds it in the pure-Python package on first use

METRICS = ["cosine", "dot", "euclidean"]
TESTS = os.path.dirname(os.path.abspath(__file__))
# Seconds the reader and the writer run side by side; set it to 60 for the long run.
SOAK_SECONDS = float(os.environ.get("COLLECTION_SOAK_SECONDS", "3"))


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
            stored = np.frombuffer(normalized_model(rows), np.float32).reshape(rows.shape) if self.metric == 0 else rows
            self.ids = np.concatenate([self.ids, ids])
            self.rows = np.concatenate([self.rows, stored])

    def search(self, query, k, allowed=None):
        """Ids and scores of the k best rows, ties to the row added first."""
        rows = np.flatnonzero(np.isin(self.ids, allowed) if allowed is not None else np.ones(len(self.ids), bool))
        best, scores = model_ranking(model_scores(self.rows[rows], query, self.metric), self.metric, k)
        return self.ids[rows[best.astype(np.intp)]], scores


def replay(seed, metric, steps):
    """models[i]: the collection after the first i changes of stream `seed`."""
    model, models = Model(metric), []
    for step in range(steps + 1):
        models.append(model.copy())
        model.apply(operation(seed, step))
    return models


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


def test_the_merge_writer_copies_rows_as_stored_and_refuses_what_it_cannot(tmp_path):
    rng = np.random.default_rng(3)
    a, b = rng.standard_normal((300, DIMS), dtype=np.float32), rng.standard_normal((9000, DIMS), dtype=np.float32)
    fa, fb = (zorvikdb.py_prepare_bin_from_embeddings(x, DIMS, len(x), name, "f32", metric="dot", output_dir=str(tmp_path))
              for x, name in ((a, "a"), (b, "b")))
    picked = np.flatnonzero(rng.random(len(a)) < 0.6)
    merged = zorvikdb._prepare_bin_from_index_rows([(fa, picked), (fb, None), (fa, picked[:1])], "m", "f32",
                                                   str(tmp_path))
    want = np.concatenate([a[picked], b, a[picked[:1]]])
    with open(merged, "rb") as f:
        assert f.read(12) == np.array([DIMS, len(want), 1], "<u4").tobytes()
    np.testing.assert_array_equal(np.fromfile(merged, np.float32, offset=12).reshape(-1, DIMS), want)
    narrow = zorvikdb.py_prepare_bin_from_embeddings(a[:, :2].copy(), 2, len(a), "n", "f32", metric="dot",
                                                     output_dir=str(tmp_path))
    before = files_of(str(tmp_path))
    for parts, error, part in [([(fa, np.array([300]))], ValueError, "Row 300 is out of range"),
                               ([(fa, np.array([-1]))], ValueError, "negative"),
                               ([(fa, np.array([0.5]))], TypeError, "cast"),
                               ([(fa, None), (narrow, None)], ValueError, "differs in dims or metric"),
                               ([(str(tmp_path / "none"), None)], ValueError, "Failed to open"),
                               ([(os.path.join(TESTS, "conftest.py"), None)], ValueError, "Not an index file"),
                               ([(fa, np.array([], np.int64))], ValueError, "Invalid rows: 0"),
                               ("ab", TypeError, "sequence of")]:
        with pytest.raises(error, match=part):
            zorvikdb._prepare_bin_from_index_rows(parts, "bad", "f32", str(tmp_path))
    assert files_of(str(tmp_path)) == before


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


def writer(*args, **popen):
    return subprocess.Popen([sys.executable, os.path.join(TESTS, "collection_ops.py"), *map(str, args)],
                            stdout=subprocess.PIPE, **popen)


def stored_rows(coll):
    live = []
    for s in coll._snapshot.segments:
        rows, stored = s.live_row_numbers(), stored_vectors(s.file.path, s.entry.rows, DIMS)
        live.append(stored if rows is None else stored[rows])
    return np.concatenate(live) if live else np.empty((0, DIMS), np.float32)


def line_starting(word, server, lines, seconds=60.0):
    """The server's next line starting with `word`; the writer's lines before it go to
    `lines`. A server silent for `seconds` fails the test instead of hanging it."""
    while True:
        ready, _, _ = select.select([server.stdout], [], [], seconds)
        if not ready:
            server.kill()
            pytest.fail(f"no {word!r} line from the server in {seconds} s; lines so far: {lines}")
        line = server.stdout.readline().decode()  # unbuffered: select sees every byte
        assert line, f"the server ended before its {word!r} line"
        if line.startswith(word):
            return line
        lines.append(line)


@pytest.mark.parametrize("metric, seed", [("cosine", 11), ("dot", 12), ("euclidean", 13)])
def test_kill_9_at_random_points_leaves_the_last_commit(tmp_path, metric, seed):
    """18 kills per metric, every third at the manifest's rename: the collection opens to
    the state after the changes the child reported or after one more, and answers as it."""
    path, rng, done = tmp_path / "c", np.random.default_rng(seed), 0
    Collection.create(path, DIMS, metric)
    models = replay(seed, metric, 400)
    server = writer("serve", path, seed, stdin=subprocess.PIPE, bufsize=0)
    for run in range(18):
        crash = ("", "", "before", "", "", "after")[run % 6]
        server.stdin.write(f"{done} {crash}\n".encode())
        lines = []
        line = line_starting("pid", server, lines)
        if not crash:
            time.sleep(rng.uniform(0.0, 0.12))
            os.kill(int(line.split()[1]), signal.SIGKILL)
        line = line_starting("exit", server, lines)
        assert os.WIFSIGNALED(int(line.split()[1])) and os.WTERMSIG(int(line.split()[1])) == signal.SIGKILL
        done += len(lines)
        coll = Collection.open(path)
        states = [i for i in (done, done + 1)
                  if np.array_equal(coll.ids(), models[i].ids) and np.array_equal(stored_rows(coll), models[i].rows)]
        assert states, f"run {run}: the collection holds no committed state"
        done = states[-1]
        check_against(coll, models[done], rng, steps=1)
        # The next write leaves only the files the manifest names.
        before = coll.manifest_hash
        apply(coll, operation(seed, done))
        done += 1
        if coll.manifest_hash != before:
            assert set(os.listdir(path)) == committed_files(path)
    server.stdin.close()
    assert server.wait() == 0


def test_a_reader_beside_a_writer_sees_only_committed_snapshots(tmp_path):
    path, seed = tmp_path / "c", 21
    empty = Collection.create(path, DIMS, "dot").manifest_hash
    reader_code = textwrap.dedent(f"""
        import json, sys, time
        import numpy as np
        from zorvikdb_collection import Collection
        coll = Collection.open({str(path)!r})
        q = np.random.default_rng(0).standard_normal({DIMS}, dtype=np.float32)
        print("ready", flush=True)
        end = time.monotonic() + {SOAK_SECONDS}
        while time.monotonic() < end:
            coll.refresh()
            for allowed in (None, list(range(0, 4000, 3))):
                r = coll.search(q, 5, ids=allowed)
                print(json.dumps([r["manifest_hash"], allowed is None, r["ids"].tolist(),
                                  r["scores"].view(np.uint32).tolist()]), flush=True)
    """)
    reader = subprocess.Popen([sys.executable, "-c", reader_code], stdout=subprocess.PIPE, text=True)
    assert reader.stdout.readline() == "ready\n"
    answers = []  # drained while the writer runs: a full pipe would stall the reader
    drain = threading.Thread(target=lambda: answers.extend(reader.stdout.read().split("\n")[:-1]))
    drain.start()
    changes = writer("write", path, seed, SOAK_SECONDS, text=True)
    written = changes.stdout.read().split("\n")[:-1]
    assert changes.wait() == 0 and reader.wait() == 0
    drain.join()
    models = replay(seed, "dot", len(written))
    by_hash = {empty: models[0]}
    by_hash.update((line.split()[1], models[int(line.split()[0]) + 1]) for line in written)
    q = np.random.default_rng(0).standard_normal(DIMS, dtype=np.float32)
    assert written and answers
    for line in answers:
        digest, unfiltered, ids, bits = json.loads(line)
        assert digest in by_hash, "an answer from no committed snapshot"
        want_ids, want_scores = by_hash[digest].search(q, 5, None if unfiltered else np.arange(0, 4000, 3))
        assert ids == want_ids.tolist() and bits == want_scores.view(np.uint32).tolist()
