"""Single-query exact search: zorvikdb query_exact_arrays against NumPy, FAISS and the read limit.

Every engine answers the same queries over the same float32 matrix with the same thread
count; the script prints median latencies, the ratios to each peer and the effective
bandwidth (matrix bytes / median latency) against the read limit: a parallel pass over
the same bytes from the same mapping (slices reduced with max on `threads` threads).

    python bench/bench_single.py --rows 1000000 --dims 384 --metric cosine

Peers: NumPy `X @ q` + argpartition + sort of the k best (BLAS threads limited with
threadpoolctl), and FAISS IndexFlatIP / IndexFlatL2, one query per call.
Targets: zorvikdb <= 0.90 x NumPy and >= 0.90 of the read limit's bandwidth.

Beside other thread pools (--neighbours, on by default): the same query timed alone and
right after a NumPy matrix-vector product (NumPy's OpenBLAS threads keep spinning for a
while after their call and take cores from the query), then with the settings that stop
that: OPENBLAS_THREAD_TIMEOUT=4, or a threadpoolctl limit of one BLAS thread around the
NumPy call; and, when torch is installed, right after a torch product (OpenMP threads),
with and without OMP_WAIT_POLICY=PASSIVE. Each case runs in a fresh interpreter because
those variables are read when the libraries load.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from bench_data import HEADER, METRIC_IDS, index_file
from figures import write_figures



def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--metric", choices=sorted(METRIC_IDS), default="cosine")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--queries", type=int, default=20, help="distinct queries")
    p.add_argument("--rounds", type=int, default=2, help="passes over the queries")
    p.add_argument("--warmup", type=int, default=3)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--data-dir", default=str(Path(__file__).resolve().parent / "data"))
    p.add_argument("--mode", default=None, help="ZORVIK_SINGLE_MODE for zorvikdb (default: automatic)")
    p.add_argument("--no-faiss", action="store_true")
    p.add_argument("--no-neighbours", action="store_true", help="skip the runs beside other thread pools")
    p.add_argument("--neighbour", help=argparse.SUPPRESS)  # internal: one case, printed as JSON
    p.add_argument("--json", metavar="PATH", help="also write the printed figures to PATH as JSON")
    return p.parse_args()




def numpy_peer(X, metric, k):
    """NumPy's answer to one query: X @ q, argpartition, then a sort of the k best."""
    x_sq = np.einsum("ij,ij->i", X, X) if metric == "euclidean" else None

    def query(q):
        s = X @ q
        s = x_sq - 2.0 * s if x_sq is not None else -s  # + |q|^2 does not change the order
        part = np.argpartition(s, k - 1)[:k]
        return part[np.argsort(s[part], kind="stable")]

    return query


def interleaved_medians(engines, queries, warmup, rounds):
    """Median latency (ms) per engine. Engines take turns on every query, in a rotating
    order, so that load from elsewhere on the machine hits all of them alike."""
    names = list(engines)
    for q in queries[:warmup]:
        for name in names:
            engines[name](q)
    times = {name: [] for name in names}
    for r in range(rounds):
        for i, q in enumerate(queries):
            shift = (r * len(queries) + i) % len(names)
            for name in names[shift:] + names[:shift]:
                t0 = time.perf_counter()
                engines[name](q)
                times[name].append((time.perf_counter() - t0) * 1000.0)
    return {name: statistics.median(t) for name, t in times.items()}


def plain_reader(view, executor, threads):
    """A parallel read of every byte of `view`: contiguous slices reduced with max."""
    flat = view.reshape(-1)
    bounds = np.linspace(0, flat.size, threads * 4 + 1).astype(np.int64)
    pieces = [flat[a:b] for a, b in zip(bounds[:-1], bounds[1:]) if b > a]
    return lambda _q: list(executor.map(np.max, pieces))


def main():
    args = parse_args()
    if args.neighbour:
        return neighbour_case(args)
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    if args.mode:
        os.environ["ZORVIK_SINGLE_MODE"] = args.mode
    else:
        os.environ.pop("ZORVIK_SINGLE_MODE", None)

    import zorvikdb
    from threadpoolctl import threadpool_limits

    path = index_file(args.data_dir, "single", args.rows, args.dims, args.metric)
    engine = zorvikdb.PySearchEngine(str(path), False)
    mapped = np.memmap(path, dtype=np.float32, mode="r", offset=HEADER, shape=(args.rows, args.dims))
    X = np.array(mapped)  # peers get their own in-memory copy
    nbytes = X.nbytes
    rng = np.random.default_rng(99)
    queries = [rng.standard_normal(args.dims, dtype=np.float32) for _ in range(args.queries)]
    k = max(1, min(args.k, args.rows))
    euclid = args.metric == "euclidean"
    numpy_query = numpy_peer(X, args.metric, k)

    def zorvik_query(q):
        return engine.query_exact_arrays(q, k)

    print(f"data: {args.rows} x {args.dims} float32 ({nbytes / 1e9:.2f} GB), metric {args.metric}, k {k}, "
          f"threads {args.threads}, {args.queries} queries")
    engines = {"zorvikdb": zorvik_query, "numpy": numpy_query}
    executor = ThreadPoolExecutor(args.threads)
    with threadpool_limits(limits=args.threads):
        method = zorvik_query(queries[0])["method_used"]
        if not args.no_faiss:
            import faiss

            faiss.omp_set_num_threads(args.threads)
            index = faiss.IndexFlatL2(args.dims) if euclid else faiss.IndexFlatIP(args.dims)
            index.add(X)
            engines["faiss"] = lambda q: index.search(q.reshape(1, -1), k)
        engines["plain read"] = plain_reader(mapped, executor, args.threads)
        results = interleaved_medians(engines, queries, args.warmup, args.rounds)
    executor.shutdown()
    read_ms = results.pop("plain read")

    # Agreement on the first query (scores are well separated for random data).
    ours = [int(i) for i in zorvik_query(queries[0])["indices"]]
    theirs = [int(i) for i in numpy_query(queries[0])]
    agree = "yes" if ours == theirs else f"NO ({ours} vs {theirs})"

    z = results["zorvikdb"]
    print(f"zorvikdb query_exact_arrays ({method}): {z:8.2f} ms median")
    for peer in ("numpy", "faiss"):
        if peer in results:
            print(f"{peer:>8}: {results[peer]:8.2f} ms median   zorvikdb / {peer} = {z / results[peer]:.3f}")
    bw_ours = nbytes / (z / 1000.0) / 1e9
    bw_read = nbytes / (read_ms / 1000.0) / 1e9
    print(f"read limit (parallel pass over the mapped bytes): {read_ms:8.2f} ms ({bw_read:.1f} GB/s)")
    print(f"effective bandwidth: {bw_ours:.1f} GB/s = {bw_ours / bw_read:.3f} of the read limit")
    print(f"top-{k} agrees with numpy: {agree}")
    print("targets: zorvikdb/numpy <= 0.90, bandwidth >= 0.90 of the read limit")
    figures = {"bench": "single", "rows": args.rows, "dims": args.dims, "metric": args.metric, "k": k,
               "threads": args.threads, "queries": args.queries, "method": method, "median_ms": results,
               "read_limit_ms": read_ms, "bandwidth_gbs": bw_ours, "read_limit_gbs": bw_read, "agrees": ours == theirs}
    if not args.no_neighbours:
        figures["neighbours"] = neighbour_report(args)
    write_figures(args.json, figures)


# Cases beside other thread pools: (name, peer call, extra environment).
NEIGHBOUR_CASES = [
    ("numpy", "numpy", {}),
    ("numpy, OPENBLAS_THREAD_TIMEOUT=4", "numpy", {"OPENBLAS_THREAD_TIMEOUT": "4"}),
    ("numpy under threadpool_limits(1)", "numpy-limited", {}),
    ("torch", "torch", {}),
    ("torch, OMP_WAIT_POLICY=PASSIVE", "torch", {"OMP_WAIT_POLICY": "PASSIVE"}),
]


def neighbour_report(args):
    try:
        import torch  # noqa: F401

        have_torch = True
    except ImportError:
        have_torch = False
    print("\nbeside other thread pools (query_exact_arrays medians; 'after' = right after the peer's call):")
    print(f"{'case':>36} {'alone':>9} {'after':>9} {'after/alone':>11}")
    figures = {}
    for name, peer, env in NEIGHBOUR_CASES:
        if peer == "torch" and not have_torch:
            print(f"{name:>36}   (torch not installed)")
            continue
        cmd = [sys.executable, __file__, "--neighbour", peer, "--rows", str(args.rows), "--dims", str(args.dims),
               "--metric", args.metric, "--k", str(args.k), "--queries", str(args.queries), "--rounds",
               str(args.rounds), "--threads", str(args.threads), "--data-dir", args.data_dir]
        out = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, **env})
        if out.returncode != 0:
            print(out.stderr)
            continue
        m = json.loads(out.stdout)
        figures[name] = m
        print(f"{name:>36} {m['alone']:7.2f}ms {m['after']:7.2f}ms {m['after'] / m['alone']:11.2f}")
    return figures


def neighbour_case(args):
    """Runs in its own interpreter: median query latency alone and right after the peer."""
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    os.environ.pop("ZORVIK_SINGLE_MODE", None)
    import zorvikdb
    from threadpoolctl import threadpool_limits

    path = index_file(args.data_dir, "single", args.rows, args.dims, args.metric)
    engine = zorvikdb.PySearchEngine(str(path), False)
    X = np.array(np.memmap(path, dtype=np.float32, mode="r", offset=HEADER, shape=(args.rows, args.dims)))
    rng = np.random.default_rng(99)
    queries = [rng.standard_normal(args.dims, dtype=np.float32) for _ in range(args.queries)]
    if args.neighbour == "torch":
        import torch

        torch.set_num_threads(args.threads)
        tx = torch.from_numpy(X)
        peer = lambda q: tx @ torch.from_numpy(q)  # noqa: E731
    elif args.neighbour == "numpy-limited":
        def peer(q):
            with threadpool_limits(limits=1, user_api="blas"):
                return X @ q
    else:
        peer = lambda q: X @ q  # noqa: E731

    def timed(q):
        t0 = time.perf_counter()
        engine.query_exact_arrays(q, args.k)
        return (time.perf_counter() - t0) * 1000.0

    for q in queries[: args.warmup]:
        peer(q)
        timed(q)
    # Alone and after take turns on every query, so that load from elsewhere hits both
    # alike. Before an 'alone' sample the peer's threads get time to go to sleep, then a
    # single-threaded pass over the peer's matrix warms the core and flushes the caches as
    # the peer's call does.
    alone, after = [], []
    for _ in range(args.rounds):
        for q in queries:
            time.sleep(0.4)
            X.max()
            alone.append(timed(q))
            peer(q)
            after.append(timed(q))
    print(json.dumps({"alone": statistics.median(alone), "after": statistics.median(after)}))

if __name__ == "__main__":
    sys.exit(main())
