"""Memory of one large batch: peak RSS during `query_batch_arrays` and what stays resident
after it, above the opened index, against the target 1.5 x (queries + results) + 64 MB.

    python bench/bench_batch_memory.py                      # 200,000 x 64 queries, 100,000 rows, k = 10
    python bench/bench_batch_memory.py --rows 1000000 --queries 20000 --dims 384
"""

import argparse
import tempfile

import numpy as np

import zorvikdb


def status(key):
    return int(next(line for line in open("/proc/self/status") if line.startswith(key)).split()[1]) / 1024


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=100_000)
    p.add_argument("--queries", type=int, default=200_000)
    p.add_argument("--dims", type=int, default=64)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--metric", default="cosine")
    a = p.parse_args()
    rng = np.random.default_rng(11)
    X = rng.standard_normal((a.rows, a.dims), dtype=np.float32)
    Q = rng.standard_normal((a.queries, a.dims), dtype=np.float32)
    with tempfile.TemporaryDirectory() as out:
        path = zorvikdb.py_prepare_bin_from_embeddings(X, a.dims, a.rows, "mem", "f32", metric=a.metric, output_dir=out)
        del X
        engine = zorvikdb.PySearchEngine(path, False)
        engine.query_batch_arrays(Q[:8], a.k)  # the pool and the tables are up
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # VmHWM from here on
        before = status("VmRSS:")
        r = engine.query_batch_arrays(Q, a.k)
        peak, kept = status("VmHWM:") - before, status("VmRSS:") - before
    results, queries = (r["indices"].nbytes + r["scores"].nbytes) / 2**20, Q.nbytes / 2**20
    target = 1.5 * (queries + results) + 64
    print(f"{a.queries} queries x {a.dims} against {a.rows} rows, k = {a.k}, {r['method_used'][0]}")
    print(f"queries {queries:.0f} MB, results {results:.0f} MB; target peak {target:.0f} MB")
    print(f"peak during the call {peak:.0f} MB = {peak / target:.2f} of the target; resident after it {kept:.0f} MB "
          f"(the results included)")


if __name__ == "__main__":
    main()
