"""Queries from many Python threads with the interpreter lock let go: answers stay right while
other threads change os.environ and drop their engines."""

import contextlib
import os
import random
import threading

import numpy as np

import zorvikdb

ROWS, DIMS, K = 20000, 64, 5
MODES = {"ZORVIK_SINGLE_MODE": [None, "rayon", "matrix_parallel", "blocked", "pruned"],
         "ZORVIK_BATCH_MODE": [None, "rayon", "blocked", "matrix", "chunked"],
         "ZORVIK_RELEASE_GIL": ["1", "1", "0"], "ZORVIK_UNRELATED": ["x" * 100, None]}


def top_rows(engine, queries):
    """Every query method's answer, reduced to the rows each query found, in order."""
    q = queries[0]
    return [
        [r.idx for r in engine.query_exact(q, K).results],
        engine.query_exact_arrays(q, K)["indices"].tolist(),
        [r.idx for r in engine.query_exact_detailed(q, K).results],
        [r["idx"] for r in engine.query_exact_certified(q, K)["results"]],
        [[r.idx for r in res.results] for res in engine.query_batch(queries, K)],
        engine.query_batch_arrays(queries, K)["indices"].tolist(),
        [[r.idx for r in res.results] for res in engine.query_batch_detailed(queries, K)],
        [[r["idx"] for r in res["results"]] for res in engine.query_batch_exact_certified(queries, K)],
    ]


def test_threads_query_while_others_change_the_environment_and_drop_engines(write_index, monkeypatch):
    rng = np.random.default_rng(7)
    path = write_index(rng.standard_normal((ROWS, DIMS), dtype=np.float32), 1)
    queries = rng.standard_normal((3, DIMS), dtype=np.float32)
    monkeypatch.setenv("ZORVIK_RELEASE_GIL", "1")
    expected = top_rows(zorvikdb.PySearchEngine(path, False), queries)
    for name in MODES:
        monkeypatch.setenv(name, os.environ.get(name, ""))  # restored afterwards

    shared = {"engine": zorvikdb.PySearchEngine(path, False)}
    stop = threading.Event()
    failures = []

    def guard(body):
        def run():
            try:
                body()
            except BaseException as e:  # reported by the main thread
                failures.append(e)
        return run

    def query():
        for _ in range(6):
            assert top_rows(shared["engine"], queries) == expected

    def change_environment():
        rnd = random.Random(threading.get_ident())
        while not stop.is_set():
            name = rnd.choice(list(MODES))
            value = rnd.choice(MODES[name])
            if value is None:
                with contextlib.suppress(KeyError):  # the other changer may remove it meanwhile
                    del os.environ[name]
            else:
                os.environ[name] = value

    def drop_engines():
        while not stop.is_set():
            shared["engine"] = zorvikdb.PySearchEngine(path, False)

    bodies = [query] * 5 + [change_environment] * 2 + [drop_engines]
    threads = [threading.Thread(target=guard(b)) for b in bodies]
    for t in threads:
        t.start()
    for t in threads[:5]:
        t.join()
    stop.set()
    for t in threads[5:]:
        t.join()
    assert failures == []
