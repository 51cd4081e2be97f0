"""Serving from a threaded Python process: zorvikdb with the interpreter lock held (the
default) and let go (ZORVIK_RELEASE_GIL=1), beside NumPy and FAISS on the same data.

    python bench/bench_serving.py --rows 1000000 --dims 384 --metric cosine

(a) Ticker lateness: a ticker thread asks to wake every millisecond while the main thread
    queries back to back; printed: the 99th percentile of how late it woke, per engine.
    Target: <= 2 ms with ZORVIK_RELEASE_GIL=1.
(b) Queries per second from 1, 2 and 4 Python threads sharing one engine, at --rows and
    at --small-rows (where one query cannot fill the pool).
    Target: 4 threads >= 1.5 x the rate of one at --small-rows, with ZORVIK_RELEASE_GIL=1.

Every engine runs at full strength with the same thread count: zorvikdb's pool has
--threads workers, NumPy's BLAS and FAISS's OpenMP get --threads threads.
"""

import argparse
import os
import threading
import time
from pathlib import Path

import numpy as np

from bench_data import HEADER, METRIC_IDS, index_file
from bench_single import numpy_peer
from figures import write_figures

TICK_S = 0.001


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--small-rows", type=int, default=20_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--metric", choices=sorted(METRIC_IDS), default="cosine")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--seconds", type=float, default=3.0, help="length of each measured run")
    p.add_argument("--data-dir", default=str(Path(__file__).resolve().parent / "data"))
    p.add_argument("--no-faiss", action="store_true")
    p.add_argument("--json", metavar="PATH", help="also write the printed figures to PATH as JSON")
    return p.parse_args()


LOCK_HELD = "zorvikdb (lock held)"
LOCK_RELEASED = "zorvikdb ZORVIK_RELEASE_GIL=1"


def cases(engines):
    """(name, query) of each engine, ZORVIK_RELEASE_GIL set as the name says while it runs
    (the setting is read on every call: one engine serves both ways)."""
    for name, query in engines.items():
        if name == LOCK_RELEASED:
            os.environ["ZORVIK_RELEASE_GIL"] = "1"
        yield name, query
        os.environ.pop("ZORVIK_RELEASE_GIL", None)


def engines_for(args, rows):
    """{name: query(q)} over one index of `rows` rows, every engine on the same matrix."""
    import zorvikdb

    path = index_file(args.data_dir, "single", rows, args.dims, args.metric)
    engine = zorvikdb.PySearchEngine(str(path), False)
    X = np.array(np.memmap(path, dtype=np.float32, mode="r", offset=HEADER, shape=(rows, args.dims)))
    k = min(args.k, rows)
    numpy_query = numpy_peer(X, args.metric, k)

    def zorvik(q):
        return engine.query_exact_arrays(q, k)

    engines = {LOCK_HELD: zorvik, LOCK_RELEASED: zorvik, "numpy": numpy_query}
    if not args.no_faiss:
        import faiss

        faiss.omp_set_num_threads(args.threads)
        index = faiss.IndexFlatL2(args.dims) if args.metric == "euclidean" else faiss.IndexFlatIP(args.dims)
        index.add(X)
        engines["faiss"] = lambda q: index.search(q.reshape(1, -1), k)
    return engines


def ticker_p99_ms(query, queries, seconds):
    """99th percentile lateness (ms) of a 1 ms ticker while `query` runs back to back."""
    stop = threading.Event()
    late = []

    def tick():
        due = time.perf_counter()
        while not stop.is_set():
            due += TICK_S
            time.sleep(max(0.0, due - time.perf_counter()))
            now = time.perf_counter()
            late.append(now - due)
            due = max(due, now)  # a late tick does not make the next ones late

    ticker = threading.Thread(target=tick)
    ticker.start()
    end = time.perf_counter() + seconds
    i = 0
    while time.perf_counter() < end:
        query(queries[i % len(queries)])
        i += 1
    stop.set()
    ticker.join()
    return float(np.percentile(late, 99)) * 1000.0


def rate(query, queries, threads, seconds):
    """Queries per second from `threads` Python threads calling `query` back to back."""
    done = [0] * threads
    start = threading.Barrier(threads + 1)
    end = [0.0]

    def work(t):
        start.wait()
        i = t
        while time.perf_counter() < end[0]:
            query(queries[i % len(queries)])
            done[t] += 1
            i += threads

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    t0 = time.perf_counter()
    end[0] = t0 + seconds
    start.wait()
    for w in workers:
        w.join()
    return sum(done) / (time.perf_counter() - t0)


def main():
    args = parse_args()
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    os.environ.pop("ZORVIK_SINGLE_MODE", None)
    from threadpoolctl import threadpool_limits

    rng = np.random.default_rng(99)
    queries = [rng.standard_normal(args.dims, dtype=np.float32) for _ in range(16)]
    figures = {"bench": "serving", "dims": args.dims, "metric": args.metric, "k": args.k, "threads": args.threads,
               "ticker_p99_ms": {}, "qps": {}}
    with threadpool_limits(limits=args.threads):
        engines = engines_for(args, args.rows)
        print(f"(a) {args.rows} x {args.dims} {args.metric}, k {args.k}, {args.threads} threads: "
              f"p99 lateness of a {TICK_S * 1000:g} ms ticker while queries run back to back")
        floor = ticker_p99_ms(lambda q: time.sleep(TICK_S), queries, args.seconds)
        figures["ticker_p99_ms"]["nothing (main thread asleep)"] = floor
        print(f"{'nothing (main thread asleep)':>32}: {floor:7.2f} ms")
        for name, query in cases(engines):
            query(queries[0])
            p99 = ticker_p99_ms(query, queries, args.seconds)
            figures["ticker_p99_ms"][name] = p99
            print(f"{name:>32}: {p99:7.2f} ms")
        print("    target: <= 2 ms with ZORVIK_RELEASE_GIL=1")

        print("(b) queries per second from 1, 2 and 4 Python threads on one engine")
        for rows in (args.rows, args.small_rows):
            engines = engines_for(args, rows)
            figures["qps"][rows] = {}
            print(f"  {rows} x {args.dims}:")
            for name, query in cases(engines):
                query(queries[0])
                qps = [rate(query, queries, t, args.seconds) for t in (1, 2, 4)]
                figures["qps"][rows][name] = qps
                print(f"{name:>32}: {qps[0]:9.1f} {qps[1]:9.1f} {qps[2]:9.1f}   4 threads / 1 = {qps[2] / qps[0]:.2f}")
        print(f"    target: 4 threads / 1 >= 1.5 at {args.small_rows} rows with ZORVIK_RELEASE_GIL=1")
    write_figures(args.json, figures)


if __name__ == "__main__":
    main()
