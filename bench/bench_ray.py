"""Sharded search on a local Ray against one PySearchEngine on the same data.

The collection (default 1,000,000 x 384 float32, cosine) is written once as a .npy
file, prepared as one whole index and sharded into 1, 2 and 4 shards from that file.
One run measures, for each shard count against the single engine (the two taking
turns, so that load from elsewhere hits both alike):
  - batch throughput: one `query_batch_arrays` / `query_batch` call with 1,000 queries
    (best of --rounds), in queries per second;
  - single-query latency: median of `query_exact_arrays` / `query` over --queries
    queries, and the same with k = 0 (no scan: the cost of the fan-out alone).
Everyone uses the machine's CPUs: the single engine ZORVIK_THREADS = --threads, the
local Ray num_cpus = --threads split evenly over the shards (each actor's
ZORVIK_THREADS is its share, at least 1).

    flock /work/bench.lock python bench/bench_ray.py --data-dir /path/with/space

Targets: sharded batch throughput at 2 shards >= 0.90 x the single engine's, and
added single-query latency (sharded median - single median) <= 5 ms.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

from bench_single import interleaved_medians  # engines take turns query by query


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--batch", type=int, default=1000, help="queries in the batch")
    p.add_argument("--queries", type=int, default=100, help="single queries timed")
    p.add_argument("--rounds", type=int, default=3, help="batch repetitions (best is kept)")
    p.add_argument("--shards", type=int, nargs="+", default=[1, 2, 4])
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--data-dir", default=str(Path(__file__).resolve().parent / "data" / "ray"))
    p.add_argument("--keep", action="store_true", help="keep the data files afterwards")
    return p.parse_args()


def write_npy(path, rows, dims):
    """Seeded random rows written chunk by chunk (never the whole matrix in memory)."""
    if path.exists():
        return
    tmp = path.with_suffix(".tmp.npy")
    out = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.float32, shape=(rows, dims))
    rng = np.random.default_rng(1234)
    step = max(1, 8_000_000 // dims)
    for start in range(0, rows, step):
        out[start:start + step] = rng.standard_normal((min(step, rows - start), dims), dtype=np.float32)
    out.flush()
    del out
    tmp.rename(path)


def best_batch_seconds(engines, Q, k, rounds):
    """Best seconds per engine for the whole batch; the engines take turns every round
    so that load from elsewhere on the machine hits all of them alike."""
    for run in engines.values():
        run(Q[: min(len(Q), 8)], k)  # warm-up: pages in, workers started
    best = {name: float("inf") for name in engines}
    for _ in range(rounds):
        for name, run in engines.items():
            t = time.perf_counter()
            run(Q, k)
            best[name] = min(best[name], time.perf_counter() - t)
    return best


def latency(whole, sharded, queries, k):
    """Median milliseconds of one query on the single engine and on the shards."""
    return interleaved_medians({"single": lambda q: whole.query_exact_arrays(q, k),
                                "sharded": lambda q: sharded.query(q, k)}, queries, 3, 1)


def main():
    args = parse_args()
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    for switch in ("ZORVIK_SINGLE_MODE", "ZORVIK_BATCH_MODE", "ZORVIK_QBLOCK"):
        os.environ.pop(switch, None)

    import ray

    import zorvikdb
    from zorvikdb_ray import ShardedSearchEngine, shard_collection

    data = Path(args.data_dir)
    data.mkdir(parents=True, exist_ok=True)
    npy = data / f"collection_{args.rows}x{args.dims}.npy"
    t = time.perf_counter()
    write_npy(npy, args.rows, args.dims)
    source = np.load(npy, mmap_mode="r")
    whole_path = zorvikdb.py_prepare_bin_from_embeddings(source, args.dims, args.rows, "whole", "f32",
                                                         metric="cosine", output_dir=str(data))
    manifests = {s: shard_collection(npy, data / f"s{s}", name="part", shards=s) for s in args.shards}
    print(f"data: {args.rows} x {args.dims} float32 cosine ({args.rows * args.dims * 4 / 1e9:.2f} GB), "
          f"k {args.k}, threads {args.threads}; written and sharded in {time.perf_counter() - t:.1f} s; "
          f"load average {os.getloadavg()[0]:.2f}")

    rng = np.random.default_rng(99)
    Q = rng.standard_normal((args.batch, args.dims), dtype=np.float32)
    singles = [rng.standard_normal(args.dims, dtype=np.float32) for _ in range(args.queries)]

    whole = zorvikdb.PySearchEngine(whole_path, False)
    want = whole.query_batch_arrays(Q[:50], args.k)["indices"]

    ray.init(num_cpus=args.threads, include_dashboard=False, log_to_driver=False,
             object_store_memory=256 * 1024 * 1024)
    rows = []
    try:
        for s, manifest in manifests.items():
            with ShardedSearchEngine(manifest) as sharded:
                agree = np.array_equal(sharded.query_batch(Q[:50], args.k)["indices"], want)
                batch = best_batch_seconds({"single": whole.query_batch_arrays, "sharded": sharded.query_batch},
                                           Q, args.k, args.rounds)
                lat = latency(whole, sharded, singles, args.k)
                floor = latency(whole, sharded, singles, 0)  # k = 0: no scan, only the call
                rows.append((s, batch, lat))
            print(f"{s} shard(s) x {sharded.cpus_per_shard} CPU: batch {args.batch / batch['sharded']:7.1f} q/s "
                  f"vs {args.batch / batch['single']:7.1f} single = {batch['single'] / batch['sharded']:.3f} x; "
                  f"latency {lat['sharded']:6.2f} ms vs {lat['single']:6.2f} ms single "
                  f"(+{lat['sharded'] - lat['single']:.2f} ms; fan-out alone, k=0: "
                  f"+{floor['sharded'] - floor['single']:.2f} ms); same rows: {'yes' if agree else 'NO'}")
    finally:
        ray.shutdown()
        if not args.keep:
            for path in sorted(data.rglob("*"), reverse=True):
                path.rmdir() if path.is_dir() else path.unlink()

    print(f"load average at the end {os.getloadavg()[0]:.2f}")
    for s, batch, lat in rows:
        if s == 2:
            print(f"targets: 2-shard batch throughput {batch['single'] / batch['sharded']:.3f} x single (>= 0.90); "
                  f"added single-query latency {lat['sharded'] - lat['single']:.2f} ms (<= 5 ms)")


if __name__ == "__main__":
    sys.exit(main())
