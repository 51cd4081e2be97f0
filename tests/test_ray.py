"""Sharded search on a local Ray equals one index of the whole collection; manifests; faults of actors and shards."""

import json
import os
import re
import signal
import site
import threading
import time

import numpy as np
import pytest

import zorvikdb
import zorvikdb_ray
from zorvikdb_ray import ShardError, read_manifest, shard_collection
from zorvikdb_ray.merge import ranking_key

METRICS = ["cosine", "dot", "euclidean"]


@pytest.fixture(scope="session")
def ray_cluster():
    """One local Ray whose workers import zorvikdb and zorvikdb_ray from where this process does."""
    if os.environ.get("ZORVIK_SANITIZED") == "1":
        # The sanitizer run preloads ASan into every child process, Ray's own included.
        pytest.skip("Ray's processes do not run under the sanitizer preload")
    ray = pytest.importorskip("ray")
    homes = {os.path.dirname(zorvikdb.__file__), os.path.dirname(os.path.dirname(zorvikdb_ray.__file__))}
    homes -= set(site.getsitepackages())  # an installed wheel is found there anyway
    path = os.pathsep.join([*homes, *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))])
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=128 * 1024 * 1024,
             log_to_driver=False, runtime_env={"env_vars": {"PYTHONPATH": path}})
    yield
    ray.shutdown()


@pytest.fixture
def single_mode(monkeypatch):
    # The reference and the actors (which take the caller's ZORVIK_ switches) score alike, bit for bit.
    monkeypatch.setenv("ZORVIK_SINGLE_MODE", "rayon")
    monkeypatch.setenv("ZORVIK_BATCH_MODE", "rayon")


def sharded(manifest, **options):
    # Calls fail instead of hanging when something is wrong.
    return zorvikdb_ray.ShardedSearchEngine(manifest, timeout=120, **options)


def planted(rows, dims, seed=0):
    """Random rows where rows 0, 7, 13 and the last two repeat row 3: ties across shard boundaries."""
    X = np.random.default_rng(seed).standard_normal((rows, dims), dtype=np.float32)
    X[[r for r in (0, 7, 13, rows - 2, rows - 1) if r < rows]] = X[3]
    return X


def whole_index(X, metric, directory):
    path = zorvikdb.py_prepare_bin_from_embeddings(X, X.shape[1], X.shape[0], "whole", "f32",
                                                   metric=metric, output_dir=str(directory))
    return zorvikdb.PySearchEngine(path, False)


def small_shards(directory, shards=2):
    return shard_collection(planted(40, 8), directory, shards=shards, metric="dot")


def expect_same(got, want, scores=True):
    np.testing.assert_array_equal(got["indices"], want["indices"])
    assert got["indices"].dtype == np.uint64 and got["scores"].dtype == np.float32
    if scores:
        np.testing.assert_array_equal(got["scores"].view(np.uint32), want["scores"].view(np.uint32))


@pytest.fixture(scope="module")
def collections(tmp_path_factory):
    """300 planted rows of 24 and, per metric, the whole index and uneven shards (two of one row)."""
    X, tmp = planted(300, 24, seed=5), tmp_path_factory.mktemp("collections")
    return X, {metric: (whole_index(X, metric, tmp / metric),
                        shard_collection(X, tmp / metric / "s", shard_rows=[1, 13, 1, 100, 185], metric=metric))
               for metric in METRICS}


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """20,000 planted rows of 64 (enough for the chunked strategies), the whole index and two shards."""
    X, tmp = planted(20000, 64, seed=3), tmp_path_factory.mktemp("large")
    return X, whole_index(X, "cosine", tmp), shard_collection(X, tmp / "s", shards=2)


# -----------------------------------------------------------------------------------------
# Merge order (no Ray needed)


def test_ranking_key_orders_scores_as_total_order_both_directions():
    s = np.array([np.inf, 1.0, 0.0, -0.0, -1.0, -np.inf], dtype=np.float32)
    assert list(np.argsort(ranking_key(s, "dot"), kind="stable")) == [0, 1, 2, 3, 4, 5]
    assert list(np.argsort(ranking_key(s, "euclidean"), kind="stable")) == [5, 4, 3, 2, 1, 0]


# -----------------------------------------------------------------------------------------
# Sharding and the manifest


def test_manifest_records_every_shard_with_the_engines_hash(tmp_path):
    X = planted(50, 8)
    m = shard_collection(X, tmp_path, name="items", shard_rows=[20, 1, 29], metric="dot")
    body = json.loads((tmp_path / "items.manifest.json").read_text())
    assert list(body.items())[1:5] == [("format_version", 1), ("dims", 8), ("metric", "dot"), ("rows", 50)]
    assert list(body) == ["format", "format_version", "dims", "metric", "rows", "shards"] and read_manifest(m.path) == m
    assert [(s["first_row"], s["rows"]) for s in body["shards"]] == [(0, 20), (20, 1), (21, 29)]
    assert not list(tmp_path.glob("*.tmp"))
    for shard in m.shards:
        engine = zorvikdb.PySearchEngine(str(tmp_path / shard.file), False)
        facts = engine.query_exact_arrays(np.zeros(8, np.float32), 0)
        assert (facts["index_hash"], facts["rows"]) == (shard.blake3, shard.rows)


def test_npy_source_larger_than_a_chunk_gives_the_same_shards_as_the_array(tmp_path):
    X = planted(300, 16)
    np.save(tmp_path / "c.npy", X)
    np.save(tmp_path / "f.npy", np.asfortranarray(X))  # read through the chunked copy
    for got in [shard_collection(tmp_path / f"{name}.npy", tmp_path / name, shards=3, chunk_rows=7) for name in "cf"]:
        assert [s.blake3 for s in got.shards] == [s.blake3 for s in shard_collection(X, tmp_path / "a", shards=3).shards]


@pytest.mark.parametrize("kwargs, message", [
    ({"shards": 11}, "cannot split 10 rows into 11"), ({"shard_rows": [5, 4]}, "add up to 9"),
    ({"shard_rows": [10, 0]}, "every shard needs"), ({"shards": 2, "shard_rows": [5, 5]}, "not both"),
    ({"metric": "l2"}, "metric must be"), ({"name": "a.b"}, "name must be")])
def test_bad_split_or_names_are_refused_before_any_file_is_written(tmp_path, kwargs, message):
    with pytest.raises(ValueError, match=message):
        shard_collection(np.ones((10, 4), np.float32), tmp_path / "out", **kwargs)
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


def test_failed_resharding_leaves_no_manifest_naming_replaced_shards(tmp_path):
    shard_collection(np.ones((10, 4), np.float32), tmp_path, shards=2, metric="dot")
    broken = np.ones((10, 4), np.float32)
    broken[5:] = np.nan  # the index writer refuses the second shard
    with pytest.raises(ValueError, match="Too many invalid values"):
        shard_collection(broken, tmp_path, shards=2, metric="dot")
    assert not (tmp_path / "shard.manifest.json").exists()


def with_entry(body, **change):
    return {**body, "shards": [{**body["shards"][0], **change}, *body["shards"][1:]]}


def test_manifests_out_of_form_or_naming_files_outside_their_directory_are_refused(tmp_path):
    m = shard_collection(np.ones((4, 2), np.float32), tmp_path, shards=2, metric="dot")
    body = json.loads(open(m.path).read())
    outside = rf"^manifest .*, shard 0: 'file' must name a file inside {re.escape(str(tmp_path))}$"
    for text, message in [
        (json.dumps({**body, "format_version": 2}), "format_version 2 is not"),
        (json.dumps({**body, "format_version": True}), "format_version True is not"),
        (json.dumps({**body, "shards": body["shards"][1:]}), "starts at row 2, not at row 0"),
        (json.dumps(with_entry(body, file="../" + m.shards[0].file)), outside),
        (json.dumps(with_entry(body, file=str(tmp_path / m.shards[0].file))), outside),
        ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    ]:
        (tmp_path / "bad.json").write_text(text)
        with pytest.raises(ValueError, match=message):
            read_manifest(tmp_path / "bad.json")


def test_sharding_and_manifests_work_without_ray_and_a_fifo_manifest_is_refused_unopened(tmp_path, fresh_python):
    os.mkfifo(tmp_path / "fifo.json")
    out = fresh_python(f"""
        import sys, numpy, zorvikdb_ray as z
        m = z.shard_collection(numpy.ones((4, 2), numpy.float32), {str(tmp_path)!r}, shards=2)
        print(z.read_manifest(m.path) == m and "ray" not in sys.modules)
        attempt(z.read_manifest, {str(tmp_path / "fifo.json")!r})
    """, timeout=60)  # an open that waits for a writer runs into the timeout
    assert out.splitlines()[0] == "True" and re.fullmatch(r"ValueError: .*not a regular file.*", out.splitlines()[1])


# -----------------------------------------------------------------------------------------
# Search: the merged answer is the whole index's answer


@pytest.mark.parametrize("metric", METRICS)
def test_every_query_kind_equals_the_whole_index(ray_cluster, collections, single_mode, metric):
    # Planted ties across shard boundaries, k beyond a shard and beyond the collection.
    X, (whole, m) = collections[0], collections[1][metric]
    Q = np.stack([X[3], -X[3], X[40] * 0.5, np.zeros(24, np.float32)])
    with sharded(m) as engine:
        for k in (1, 3, 7, 20, 400):
            for q in Q:
                got = engine.query(q, k)
                expect_same(got, whole.query_exact_arrays(q, k))
                assert got["rows"] == 300 and got["index_hash"] == m.digest
            got = engine.query_batch(Q, k)
            expect_same(got, whole.query_batch_arrays(Q, k))
            assert got["query_time_ms"].shape == (4,) and got["method_used"] == ["rayon-optimized"] * 4
            q = X[3] + np.float32(0.25)
            got, want = engine.query_certified(q, k, block_size=4), whole.query_exact_certified(q, k, 4)
            assert (got["results"], got["query_hash"]) == (want["results"], want["query_hash"])
            assert [c["first_row"] for c in got["certificates"]] == [0, 1, 14, 15, 115]
            assert got["safe"] is True and all(c["certificate"]["safe"] for c in got["certificates"])
            assert sum(c["certificate"]["total_candidates"] for c in got["certificates"]) == 300
        empty = engine.query_batch(Q[:0], 5)
        assert empty["indices"].shape == empty["scores"].shape == (0, 0) and empty["method_used"] == []


def test_default_strategies_give_the_whole_indexs_rows(ray_cluster, large):
    X, whole, m = large
    Q = X[[3, 10, 19999, 12345]] + np.float32(0.01)
    with sharded(m) as engine:
        for q in Q:
            expect_same(engine.query(q, 10), whole.query_exact_arrays(q, 10), scores=False)
        expect_same(engine.query_batch(Q, 10), whole.query_batch_arrays(Q, 10), scores=False)


def test_actors_share_the_cpus_and_bad_arguments_raise_the_engines_errors(ray_cluster, collections):
    X, (_, m) = collections[0], collections[1]["dot"]
    q = X[3]
    with sharded(m) as engine:
        assert engine.cpus_per_shard == 0.4 and [s["threads"] for s in engine.shard_status()] == ["1"] * 5
        for bad, k, error, says in ((q[:3].copy(), 1, ValueError, r"^Query dimension 3 != index dimension 24$"),
                                    (X[:, 0], 1, TypeError, "not contiguous"), (q, -1, OverflowError, None),
                                    (q.astype(np.float64), 1, TypeError, "type mismatch")):
            with pytest.raises(error, match=says):
                engine.query(bad, k)
        assert list(engine.query(q, 1)["indices"]) == [0]  # still answering
        engine.close()
        with pytest.raises(RuntimeError, match="closed"):
            engine.query(q, 1)


# -----------------------------------------------------------------------------------------
# Faults


def test_batch_is_answered_whole_after_an_actor_is_killed_mid_way(ray_cluster, large, single_mode):
    X, whole, m = large
    Q = X[:3000] + np.float32(0.5)  # several hundred milliseconds per shard
    want = whole.query_batch_arrays(Q, 5)
    cpu_ticks = lambda pid: sum(map(int, open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[11:13]))  # noqa: E731
    with sharded(m) as engine:
        victim, answer = engine.shard_status()[1]["pid"], {}
        idle = cpu_ticks(victim)
        call = threading.Thread(target=lambda: answer.update(engine.query_batch(Q, 5)))
        call.start()
        deadline = time.monotonic() + 60
        while cpu_ticks(victim) < idle + 3 and time.monotonic() < deadline:  # at work on the batch
            time.sleep(0.005)
        assert call.is_alive()
        os.kill(victim, signal.SIGKILL)
        call.join()
        expect_same(answer, want)
        assert engine.shard_status()[1]["pid"] != victim


def test_killed_actor_is_restarted_and_rechecks_its_file(ray_cluster, tmp_path):
    m, X = small_shards(tmp_path), planted(40, 8)
    with sharded(m) as engine:
        want = engine.query(X[3], 4)
        os.kill(engine.shard_status()[0]["pid"], signal.SIGKILL)
        expect_same(engine.query(X[3], 4), want)
        # The file changes while the actor is down: the new actor refuses it.
        shard_collection(X[:20] * 2, tmp_path / "other", shards=1, metric="dot")
        os.replace(tmp_path / "other" / "shard-00000_f32.bin", tmp_path / m.shards[0].file)
        os.kill(engine.shard_status()[0]["pid"], signal.SIGKILL)
        with pytest.raises(ShardError, match=r"^shard 0 \(.*shard-00000_f32\.bin\): BLAKE3 ") as err:
            engine.query(X[3], 4)
        assert err.value.shards == [0]


def test_tampered_and_missing_shards_fail_naming_each_shard(ray_cluster, tmp_path):
    m = small_shards(tmp_path, shards=4)
    with open(tmp_path / m.shards[1].file, "r+b") as f:  # one byte of one vector
        f.seek(12 + 4 * 8 * 3)
        f.write(b"\x01")
    os.unlink(tmp_path / m.shards[3].file)
    with pytest.raises(ShardError) as err:
        sharded(m)
    assert err.value.shards == [1, 3]
    tampered, missing = str(err.value).split("; ")
    assert re.fullmatch(r"shard 1 \(.*/shard-00001_f32\.bin\): BLAKE3 [0-9a-f]{64} does not match "
                        r"the manifest's [0-9a-f]{64}", tampered)
    assert missing.startswith("shard 3 (") and "No such file or directory" in missing


def test_shard_dir_points_actors_at_copies_elsewhere_and_links_leading_outside_are_refused_unread(
        ray_cluster, tmp_path, monkeypatch):
    m = small_shards(tmp_path / "made")
    os.rename(tmp_path / "made", tmp_path / "s")
    monkeypatch.chdir(tmp_path)  # a relative shard_dir is this process's, not the actors'
    with sharded(m, shard_dir="s") as engine:
        assert list(engine.query(planted(40, 8)[3], 1)["indices"]) == [0]
    # Shard 0 links to its own file moved out (the hash would match), shard 1 to another index.
    whole_index(planted(10, 8), "dot", tmp_path)
    os.rename(tmp_path / "s" / m.shards[0].file, tmp_path / "moved.bin")
    os.symlink(tmp_path / "moved.bin", tmp_path / "s" / m.shards[0].file)
    os.unlink(tmp_path / "s" / m.shards[1].file)
    os.symlink(tmp_path / "whole_f32.bin", tmp_path / "s" / m.shards[1].file)
    inside = re.escape(str(tmp_path / "s"))
    with pytest.raises(ValueError, match=rf"^manifest .*, shard 0: 'file' must name a file inside {inside}$"):
        sharded(m, shard_dir="s")  # and nothing of the file


def test_a_collection_is_served_with_its_deletions_and_user_ids(ray_cluster, tmp_path, single_mode):
    from zorvikdb_collection import Collection

    coll = Collection.create(tmp_path / "c", 8, "cosine")
    X = planted(60, 8, seed=9)
    for start in range(0, 60, 12):  # several segments, ties among them
        coll.add(X[start:start + 12], 1000 + np.arange(start, start + 12)[::-1])
    deleted = [1003, 1040, 1059]
    coll.delete(deleted)
    with sharded(coll) as engine:
        assert engine.rows() == len(coll) == 60 - len(deleted) and len(engine.actors) == len(coll.snapshot.segments) > 1
        for k in (1, 7, 100):
            want = coll.search_batch(X[:5], k)
            got = engine.query_batch(X[:5], k)
            assert list(got)[0] == "ids"
            np.testing.assert_array_equal(got["ids"], want["ids"])
            np.testing.assert_array_equal(got["scores"].view(np.uint32), want["scores"].view(np.uint32))
            one = engine.query(X[3], k)
            assert one["index_hash"] == coll.manifest_hash and one["rows"] == len(coll)
            np.testing.assert_array_equal(one["ids"], want["ids"][3])
            certified = engine.query_certified(X[3], k)
            assert [h["id"] for h in certified["results"]] == list(want["ids"][3])
