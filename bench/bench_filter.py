"""Filtered exact search: zorvikdb with a row filter against its own unfiltered run and NumPy.

For each share of allowed rows (rows removed at random), the script times the single-query
method and the batch method with `filter=` a boolean mask, next to the same call without a
filter and to NumPy answering over the allowed rows only (`X[allowed] @ q` + argpartition
+ sort of the k best, the same thread count). Every engine takes its turn on every query
(interleaved), so that load from elsewhere on the machine hits all of them alike.

    python bench/bench_filter.py --rows 1000000 --dims 384 --metric cosine

It also prints what building the filter costs: a call with k = 0 builds the filter and
scores nothing, so its time less that of the same call without a filter is the cost of
taking the argument and building the allowed runs, for a mask and for a row list.
Targets: 90 % and 99 % allowed <= 1.1 x unfiltered; 1 % allowed >= 10 x faster than
unfiltered (single query and batch); a mask of 1M rows costs a few ms at most.
"""

import argparse
import os
import sys
from pathlib import Path

import numpy as np

from bench_data import HEADER, METRIC_IDS, index_file
from bench_single import interleaved_medians
from figures import write_figures


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--metric", choices=sorted(METRIC_IDS), default="cosine")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--shares", default="0.9,0.99,0.01", help="allowed shares of the rows, comma-separated")
    p.add_argument("--queries", type=int, default=20, help="distinct single queries")
    p.add_argument("--rounds", type=int, default=2, help="passes over the single queries")
    p.add_argument("--batch", type=int, default=1000, help="queries per batch (0: no batch figures)")
    p.add_argument("--batch-rounds", type=int, default=3)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--data-dir", default=str(Path(__file__).resolve().parent / "data"))
    p.add_argument("--json", metavar="PATH", help="also write the printed figures to PATH as JSON")
    return p.parse_args()


def numpy_best(X, allowed, euclid, x_sq, k, query_block=64):
    """NumPy's answer over the allowed rows: for one query (1-D) or a batch (2-D, in blocks
    of queries so that the score matrix stays a few hundred MB)."""

    def best(s):  # s: rows x m scores, better = larger
        kk = min(k, s.shape[0])
        part = np.argpartition(-s, kk - 1, axis=0)[:kk]
        order = np.argsort(-np.take_along_axis(s, part, axis=0), axis=0, kind="stable")
        return allowed[np.take_along_axis(part, order, axis=0)]

    def run(Q):
        Xa = X[allowed]
        sq = x_sq[allowed] if euclid else None
        Q2 = Q.reshape(-1, Q.shape[-1])
        out = []
        for b in range(0, Q2.shape[0], query_block):
            s = Xa @ Q2[b:b + query_block].T
            out.append(best(2.0 * s - sq[:, None] if euclid else s))
        return np.concatenate(out, axis=1).T

    return run


def main():
    args = parse_args()
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    for name in ("ZORVIK_SINGLE_MODE", "ZORVIK_BATCH_MODE", "ZORVIK_QBLOCK"):
        os.environ.pop(name, None)

    import zorvikdb
    from threadpoolctl import threadpool_limits

    path = index_file(args.data_dir, "single", args.rows, args.dims, args.metric)
    engine = zorvikdb.PySearchEngine(str(path), False)
    X = np.array(np.memmap(path, dtype=np.float32, mode="r", offset=HEADER, shape=(args.rows, args.dims)))
    euclid = args.metric == "euclidean"
    x_sq = np.einsum("ij,ij->i", X, X) if euclid else None
    rng = np.random.default_rng(99)
    queries = [rng.standard_normal(args.dims, dtype=np.float32) for _ in range(args.queries)]
    batches = [rng.standard_normal((args.batch, args.dims), dtype=np.float32)] if args.batch else []
    k = max(1, min(args.k, args.rows))
    shares = [float(s) for s in args.shares.split(",")]
    masks = {s: rng.random(args.rows) < s for s in shares}
    print(f"data: {args.rows} x {args.dims} float32, metric {args.metric}, k {k}, threads {args.threads}, "
          f"{args.queries} single queries x {args.rounds} rounds, batch of {args.batch} x {args.batch_rounds} rounds")

    figures = {"bench": "filter", "rows": args.rows, "dims": args.dims, "metric": args.metric, "k": k,
               "threads": args.threads, "shares": shares}
    with threadpool_limits(limits=args.threads):
        # Agreement of the filtered answers with NumPy's (random data: scores well separated).
        for s, m in masks.items():
            ours = engine.query_exact_arrays(queries[0], k, filter=m)["indices"]
            theirs = numpy_best(X, np.flatnonzero(m), euclid, x_sq, k)(queries[0])[0]
            if ours.tolist() != theirs.tolist():
                print(f"share {s}: top-{k} DISAGREES with numpy: {ours.tolist()} vs {theirs.tolist()}")

        cases = [("single", queries, args.rounds, engine.query_exact_arrays)]
        if batches:
            cases.append(("batch", batches, args.batch_rounds, engine.query_batch_arrays))
        for label, inputs, rounds, method in cases:
            engines = {"unfiltered": lambda x, method=method: method(x, k)}
            for s, m in masks.items():
                allowed = np.flatnonzero(m)
                engines[f"zorvikdb {s:g}"] = lambda x, m=m, method=method: method(x, k, filter=m)
                engines[f"numpy {s:g}"] = numpy_best(X, allowed, euclid, x_sq, k)
            med = interleaved_medians(engines, inputs, 1, rounds)
            base = med["unfiltered"]
            print(f"\n{label} ({method.__name__}): unfiltered {base:9.2f} ms median")
            print(f"{'allowed':>8} {'zorvikdb ms':>12} {'/ unfiltered':>13} {'numpy ms':>10} {'zorvikdb / numpy':>17}")
            for s in shares:
                z, n = med[f"zorvikdb {s:g}"], med[f"numpy {s:g}"]
                print(f"{s:8.2%} {z:12.2f} {z / base:13.3f} {n:10.2f} {z / n:17.3f}")
            figures[label] = med

        # Building the filter: k = 0 scores nothing but still takes and checks the filter.
        q = queries[0]
        build = {"no filter": lambda f: engine.query_exact_arrays(q, 0)}
        for s, m in masks.items():
            rows_sorted = np.flatnonzero(m)
            build[f"mask {s:g}"] = lambda f, m=m: engine.query_exact_arrays(q, 0, filter=m)
            build[f"rows {s:g}"] = lambda f, r=rows_sorted: engine.query_exact_arrays(q, 0, filter=r)
            shuffled = rng.permutation(rows_sorted)
            build[f"shuffled rows {s:g}"] = lambda f, r=shuffled: engine.query_exact_arrays(q, 0, filter=r)
        med = interleaved_medians(build, [None] * 20, 1, 1)
        none = med.pop("no filter")
        print(f"\nfilter argument and build (call with k = 0, less {none:.3f} ms without a filter):")
        for name, t in med.items():
            print(f"{name:>22}: {t - none:8.3f} ms")
        figures["build_ms"] = {name: t - none for name, t in med.items()}
    print("\ntargets: 90 % and 99 % allowed <= 1.1 x unfiltered; 1 % allowed >= 10 x faster; mask build a few ms")
    write_figures(args.json, figures)


if __name__ == "__main__":
    sys.exit(main())
