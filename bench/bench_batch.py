"""Batch exact search: zorvikdb query_batch_arrays against FAISS, NumPy and bare sgemm.

Every peer answers the same batch of queries over the same float32 matrix with the same
thread count; the script prints throughput (queries/s), the ratios to each peer, GFLOP/s
(2 * queries * rows * dims per batch) and zorvikdb's peak memory above the mapped index.

    python bench/bench_batch.py                       # both shapes, cosine and euclidean
    python bench/bench_batch.py --shapes 1000000x384:1000 --metrics cosine

Peers:
- FAISS IndexFlatIP / IndexFlatL2 `search` on the whole batch (OpenMP threads set).
- NumPy: `Q @ X[block].T` over row blocks (BLAS threads limited with threadpoolctl),
  argpartition per block with the queries split over the same number of Python threads,
  best k merged.
- bare sgemm: the same products through the scipy-openblas32 library zorvikdb links,
  called with ctypes on the same row blocks, nothing else (the compute limit).
zorvikdb runs in the automatic batch mode.
"""

import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from bench_data import HEADER, index_file
from figures import write_figures

NUMPY_BLOCK = 16384  # rows per product for the NumPy and sgemm peers


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--shapes", default="1000000x384:1000,100000x768:10000",
                   help="comma-separated ROWSxDIMS:QUERIES")
    p.add_argument("--metrics", default="cosine,euclidean")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--rounds", type=int, default=3, help="turns of every peer, in rotating order")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--data-dir", default=str(Path(__file__).resolve().parent / "data"))
    p.add_argument("--peers", default="zorvikdb,faiss,numpy,sgemm")
    p.add_argument("--json", metavar="PATH", help="also write the printed figures to PATH as JSON")
    p.add_argument("--memory-probe", nargs=4, metavar=("PATH", "QUERIES", "K", "SEED"), help=argparse.SUPPRESS)
    return p.parse_args()




def batch_queries(n, dims, seed):
    return np.random.default_rng(seed).standard_normal((n, dims), dtype=np.float32)


def openblas():
    import scipy_openblas32

    lib = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
    lib.scipy_openblas_set_num_threads.argtypes = [ctypes.c_int]
    return lib


def vm_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def memory_probe(path, nq, k, seed):
    """Child process: peak resident memory of one batch above the warmed mapping (MB)."""
    import zorvikdb

    engine = zorvikdb.PySearchEngine(path, False)
    Q = batch_queries(nq, engine.dims(), seed)
    engine.query_batch_arrays(Q[:4], k)  # maps in every row, starts the pool
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak count from the current resident size
    base = vm_kib("VmRSS")
    engine.query_batch_arrays(Q, k)
    print((vm_kib("VmHWM") - base) / 1024.0)


def make_peers(args, path, X, Q, k, euclid, chosen):
    peers = {}
    dims = X.shape[1]
    if "zorvikdb" in chosen:
        import zorvikdb

        engine = zorvikdb.PySearchEngine(str(path), False)
        peers["zorvikdb"] = lambda: engine.query_batch_arrays(Q, k)["indices"]
    if "faiss" in chosen:
        import faiss

        faiss.omp_set_num_threads(args.threads)
        index = faiss.IndexFlatL2(dims) if euclid else faiss.IndexFlatIP(dims)
        index.add(X)
        peers["faiss"] = lambda: index.search(Q, k)[1]
    x_sq = np.einsum("ij,ij->i", X, X) if euclid else None
    if "numpy" in chosen:
        from concurrent.futures import ThreadPoolExecutor

        pool = ThreadPoolExecutor(args.threads)
        halves = np.array_split(np.arange(Q.shape[0]), args.threads)

        def select(s, a, rows):
            # The k best of each query's block of scores, on one thread (NumPy lets go of
            # the interpreter lock in both the in-place arithmetic and argpartition).
            part = s[rows[0]:rows[-1] + 1]
            kk = min(k, part.shape[1])
            if euclid:
                part *= -2.0
                part += x_sq[a:a + part.shape[1]]  # |x|^2 - 2 q.x: the order of |x - q|^2
                idx = np.argpartition(part, kk - 1, axis=1)[:, :kk]
            else:
                idx = np.argpartition(part, part.shape[1] - kk, axis=1)[:, part.shape[1] - kk:]
            return np.take_along_axis(part, idx, 1), idx + a

        def numpy_batch():
            best_s, best_i = [], []
            for a in range(0, X.shape[0], NUMPY_BLOCK):
                s = Q @ X[a:a + NUMPY_BLOCK].T
                parts = list(pool.map(lambda rows: select(s, a, rows), halves))
                best_s.append(np.concatenate([p[0] for p in parts]))
                best_i.append(np.concatenate([p[1] for p in parts]))
            s, i = np.concatenate(best_s, 1), np.concatenate(best_i, 1)
            order = np.argsort(s if euclid else -s, axis=1, kind="stable")[:, :k]
            return np.take_along_axis(i, order, 1)
        peers["numpy"] = numpy_batch
    if "sgemm" in chosen:
        lib = openblas()
        fp = ctypes.POINTER(ctypes.c_float)
        out = np.empty((Q.shape[0], NUMPY_BLOCK), np.float32)

        def sgemm_batch():
            lib.scipy_openblas_set_num_threads(args.threads)
            try:
                for a in range(0, X.shape[0], NUMPY_BLOCK):
                    n = min(NUMPY_BLOCK, X.shape[0] - a)
                    lib.scipy_cblas_sgemm(101, 111, 112, Q.shape[0], n, dims, ctypes.c_float(1.0),
                                          Q.ctypes.data_as(fp), dims, X[a:].ctypes.data_as(fp), dims,
                                          ctypes.c_float(0.0), out.ctypes.data_as(fp), n)
            finally:
                lib.scipy_openblas_set_num_threads(1)  # zorvikdb calls the same library single-threaded
        peers["sgemm"] = sgemm_batch
    return peers


def run_case(args, rows, dims, nq, metric, chosen):
    from threadpoolctl import threadpool_limits

    path = index_file(args.data_dir, "batch", rows, dims, metric, seed=1234)
    X = np.array(np.memmap(path, dtype=np.float32, mode="r", offset=HEADER, shape=(rows, dims)))
    Q = batch_queries(nq, dims, 99)
    k, euclid = args.k, metric == "euclidean"
    with threadpool_limits(limits=args.threads):
        peers = make_peers(args, path, X, Q, k, euclid, chosen)
        names = list(peers)
        answers = {name: peers[name]() for name in names}  # warm-up, and the answers compared
        times = {name: [] for name in names}
        for r in range(args.rounds):
            shift = r % len(names)
            for name in names[shift:] + names[:shift]:
                t0 = time.perf_counter()
                peers[name]()
                times[name].append(time.perf_counter() - t0)
    best = {name: min(t) for name, t in times.items()}
    qps = {name: nq / best[name] for name in names}
    gflop = 2.0 * nq * rows * dims / 1e9

    case = {"rows": rows, "dims": dims, "metric": metric, "queries": nq, "k": k, "threads": args.threads,
            "rounds": args.rounds, "queries_per_s": qps, "gflops": {name: gflop / best[name] for name in names},
            "best_s": best, "median_s": {name: statistics.median(times[name]) for name in names}}
    print(f"\n{rows} x {dims} {metric}, {nq} queries, k {k}, {args.threads} threads "
          f"(best of {args.rounds}; median spread shown)")
    for name in names:
        med = statistics.median(times[name])
        print(f"  {name:>9}: {qps[name]:8.1f} queries/s  {gflop / best[name]:7.1f} GFLOP/s"
              f"  (best {best[name]:.2f} s, median {med:.2f} s)")
    if "zorvikdb" in qps:
        z = qps["zorvikdb"]
        for peer, target in (("faiss", 1.5), ("numpy", 1.4), ("sgemm", 0.85)):
            if peer in qps:
                print(f"  zorvikdb / {peer:<6} = {z / qps[peer]:.3f}   (target >= {target})")
        ref = answers.get("numpy", answers.get("faiss"))
        if ref is not None:
            agree = np.mean(np.asarray(answers["zorvikdb"]) == np.asarray(ref))
            case["agreeing_positions"] = float(agree)
            print(f"  top-{k} positions agreeing with {'numpy' if 'numpy' in answers else 'faiss'}: {agree:.4f}")
        env = dict(os.environ, ZORVIK_THREADS=str(args.threads))
        probe = subprocess.run([sys.executable, __file__, "--memory-probe", str(path), str(nq), str(k), "99"],
                               env=env, capture_output=True, text=True, check=True)
        print(f"  zorvikdb peak memory above the mapped index: {float(probe.stdout):.1f} MB (target <= 256)")
        case["peak_memory_mb"] = float(probe.stdout)
    return case


def main():
    args = parse_args()
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    os.environ.pop("ZORVIK_BATCH_MODE", None)
    os.environ.pop("ZORVIK_QBLOCK", None)
    if args.memory_probe:
        path, nq, k, seed = args.memory_probe
        memory_probe(path, int(nq), int(k), int(seed))
        return 0
    chosen = set(args.peers.split(","))
    cases = []
    for shape in args.shapes.split(","):
        size, nq = shape.split(":")
        rows, dims = (int(v) for v in size.split("x"))
        for metric in args.metrics.split(","):
            cases.append(run_case(args, rows, dims, int(nq), metric, chosen))
    write_figures(args.json, {"bench": "batch", "cases": cases})
    return 0


if __name__ == "__main__":
    sys.exit(main())
