"""The sketch strategies against the fp32 paths and the peers, on the same data in the same run.

    python bench/bench_sketch.py --rows 1000000 --dims 384

Data sets: "gauss" (standard normal rows), "clustered" (256 centres, spreads from 0.03 to 1)
and "hard" (1,000 points, each copied with noise of 1e-4: near ties at place k). Metrics
cosine (rows normalised) and euclidean; k = 10 and 100.

Single query, interleaved medians: zorvikdb automatic strategy (fp32 kernel scan) and
ZORVIK_SINGLE_MODE=sketch, NumPy `X @ q` + argpartition, FAISS IndexFlatIP / IndexFlatL2,
the fp32 read limit (a parallel pass over the rows' bytes) and the sketch read limit (a
parallel pass over a quarter of those bytes). Batch (--batch queries, k = 10): zorvikdb
automatic and ZORVIK_BATCH_MODE=sketch against bare OpenBLAS sgemm of the queries by the
rows (blocked, no selection), NumPy blocked `Q @ X.T` + argpartition and FAISS. All peers
use --threads threads. Build: the first sketch query (which builds the sketch) less a
later one, against the time to open the index; then, with ZORVIK_SKETCH_DIR, the same for an
engine that saves its sketch and for one that reads it back.

Targets: single query on gauss and clustered >= 3 x faster than the automatic strategy;
batch >= 1.5 x the throughput of bare sgemm; hard set never slower than 1.1 x the fp32
path; build <= 1.0 x open. Answers of the sketch strategies are checked against the
automatic strategy's, bit for bit. Also printed: the candidates the single sketch scan
keeps per query (median and 99th percentile, and their share of the rows; on a fallback the
count reached), the sketch's memory, GFLOP/s-equivalents, and the multiply-add rates of
this machine (mac_rate.c, compiled with gcc at the start) that bound the batch: 8-bit
products widened to 32 bits at every step, the batch kernel's own mix (signs taken, two
steps summed in 16 bits, one widening), the mix of query codes up to 31 (no signs), 8-bit
products alone, fp32 FMA.
"""

import argparse
import ctypes
import os
import statistics
import struct
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from bench_data import HEADER, METRIC_IDS

NUMPY_BLOCK = 65536


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--sets", default="gauss,clustered,hard")
    p.add_argument("--metrics", default="cosine,euclidean")
    p.add_argument("--ks", default="10,100")
    p.add_argument("--queries", type=int, default=10, help="distinct single queries")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--batch", type=int, default=1000, help="queries per batch (0: no batch runs)")
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--no-faiss", action="store_true")
    p.add_argument("--data-dir", default=str(Path(__file__).resolve().parent / "data"))
    return p.parse_args()


def make_rows(kind, rows, dims, rng):
    if kind == "gauss":
        return rng.standard_normal((rows, dims), dtype=np.float32)
    if kind == "clustered":
        centres = rng.standard_normal((256, dims), dtype=np.float32)
        spreads = np.geomspace(0.03, 1.0, 256).astype(np.float32)
        which = rng.integers(0, 256, rows)
        out = np.empty((rows, dims), np.float32)
        for a in range(0, rows, 65536):
            w = which[a:a + 65536]
            out[a:a + len(w)] = centres[w] + spreads[w, None] * rng.standard_normal((len(w), dims), dtype=np.float32)
        return out
    points = rng.standard_normal((1000, dims), dtype=np.float32)
    out = np.empty((rows, dims), np.float32)
    for a in range(0, rows, 65536):
        n = min(65536, rows - a)
        out[a:a + n] = points[rng.integers(0, 1000, n)] + np.float32(1e-4) * rng.standard_normal((n, dims), np.float32)
    return out


def index_path(args, kind, metric):
    path = Path(args.data_dir) / f"sketch_{kind}_{metric}_{args.rows}x{args.dims}.bin"
    if not (path.exists() and path.stat().st_size == HEADER + 4 * args.rows * args.dims):
        path.parent.mkdir(parents=True, exist_ok=True)
        X = make_rows(kind, args.rows, args.dims, np.random.default_rng(7))
        if metric == "cosine":
            X /= np.linalg.norm(X, axis=1, keepdims=True)
        tmp = path.with_suffix(".tmp")
        with open(tmp, "wb") as f:
            f.write(struct.pack("<III", args.dims, args.rows, METRIC_IDS[metric]) + X.tobytes())
        tmp.rename(path)
    return path


def queries_for(kind, X, n, rng):
    if kind == "gauss":
        return rng.standard_normal((n, X.shape[1]), dtype=np.float32)
    picks = X[rng.integers(0, len(X), n)]
    return (picks + np.float32(0.05 if kind == "clustered" else 1e-4) * rng.standard_normal(picks.shape, np.float32))


def interleaved(calls, rounds):
    times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            t = time.perf_counter()
            call()
            times[name].append((time.perf_counter() - t) * 1000.0)
    return {name: statistics.median(v) for name, v in times.items()}


def with_env(name, value, call):
    def run():
        old = os.environ.get(name)
        os.environ[name] = value
        try:
            return call()
        finally:
            if old is None:
                os.environ.pop(name)
            else:
                os.environ[name] = old
    return run


def openblas():
    import scipy_openblas32

    lib = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
    lib.scipy_openblas_set_num_threads.argtypes = [ctypes.c_int]
    return lib


def peak_rss_mb():
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def rss_mb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS")) / 1024


def mac_rates(threads, pool):
    """Multiply-adds per second of the whole machine (`threads` threads) for each loop of
    mac_rate.c, compiled here: the limits the sketch and sgemm kernels are held to."""
    import subprocess
    import tempfile

    source = Path(__file__).resolve().parent / "mac_rate.c"
    with tempfile.TemporaryDirectory() as tmp:
        lib_path = os.path.join(tmp, "mac_rate.so")
        subprocess.run(["gcc", "-O3", "-mavx2", "-mfma", "-shared", "-fPIC", str(source), "-o", lib_path], check=True)
        lib = ctypes.CDLL(lib_path)
    rates = {}
    for name in ("int8_madd", "int8_batch_mix", "int8_narrow_mix", "int8_maddubs", "fp32_fma"):
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = ctypes.c_longlong, [ctypes.c_longlong]
        fn(1_000_000)
        best = 0.0
        for _ in range(3):
            t = time.perf_counter()
            done = sum(pool.map(lambda _: fn(20_000_000), range(threads)))
            best = max(best, done / (time.perf_counter() - t))
        rates[name] = best
    return rates


def numpy_batch(X, B, k, euclid, x_sq):
    """Blocked `B @ X.T` with a running top k per query (argpartition), as NumPy users write it."""
    best_s = np.full((len(B), k), -np.inf if not euclid else np.inf, np.float32)
    best_i = np.zeros((len(B), k), np.int64)
    for a in range(0, len(X), NUMPY_BLOCK):
        s = B @ X[a:a + NUMPY_BLOCK].T
        if euclid:
            s = x_sq[a:a + NUMPY_BLOCK] - 2.0 * s
        s = np.concatenate([best_s, s], axis=1)
        i = np.concatenate([best_i, np.broadcast_to(np.arange(a, a + s.shape[1] - k), (len(B), s.shape[1] - k))], axis=1)
        part = np.argpartition(s if euclid else -s, k - 1, axis=1)[:, :k]
        best_s, best_i = np.take_along_axis(s, part, 1), np.take_along_axis(i, part, 1)
    return best_i


def saved_sketch_line(path, q, build_ms):
    """The first sketch query of an engine that saves its sketch, and of one that reads it back."""
    import tempfile

    import zorvikdb

    def first_query_ms():
        engine = zorvikdb.PySearchEngine(str(path), False)
        t = time.perf_counter()
        engine.query_exact_arrays(q, 10)
        first = time.perf_counter() - t
        t = time.perf_counter()
        engine.query_exact_arrays(q, 10)
        return (first - (time.perf_counter() - t)) * 1000.0

    with tempfile.TemporaryDirectory(dir=Path(path).parent) as saved:
        call = with_env("ZORVIK_SKETCH_DIR", saved, lambda: with_env("ZORVIK_SINGLE_MODE", "sketch", first_query_ms)())
        save_ms, read_ms = call(), call()
    return (f"build and save {save_ms:.0f} ms (saving adds {save_ms - build_ms:.0f} ms, once), read back "
            f"{read_ms:.0f} ms ({read_ms / build_ms:.2f} x the build)")


def run_set(args, kind, metric, pool, faiss):
    import zorvikdb

    euclid = metric == "euclidean"
    path = index_path(args, kind, metric)
    X = np.array(np.memmap(path, dtype=np.float32, mode="r", offset=HEADER, shape=(args.rows, args.dims)))
    codes = np.ones(X.shape, np.int8)  # the sketch's bytes, for its read limit (written: zeros map no memory)
    t = time.perf_counter()
    engine = zorvikdb.PySearchEngine(str(path), False)
    open_ms = (time.perf_counter() - t) * 1000.0
    rng = np.random.default_rng(11)
    Q = queries_for(kind, X, max(args.queries, args.batch), rng)
    single = Q[: args.queries]

    rss_before = rss_mb()
    t = time.perf_counter()
    first = with_env("ZORVIK_SINGLE_MODE", "sketch", lambda: engine.query_exact_arrays(single[0], 10))()
    first_ms = (time.perf_counter() - t) * 1000.0
    t = time.perf_counter()
    with_env("ZORVIK_SINGLE_MODE", "sketch", lambda: engine.query_exact_arrays(single[0], 10))()
    later_ms = (time.perf_counter() - t) * 1000.0
    build_ms = first_ms - later_ms
    print(f"\n== {kind} {metric} {args.rows} x {args.dims}: open {open_ms:.0f} ms, sketch build {build_ms:.0f} ms "
          f"(build / open = {build_ms / open_ms:.2f}), first method {first['method_used']}; the sketch takes "
          f"{rss_mb() - rss_before:.0f} MB (rows x dims + 32 bytes a row: "
          f"{args.rows * (args.dims + 32) / 2**20:.0f} MB); peak RSS of this process {peak_rss_mb():.0f} MB")

    print(f"  saved sketch (ZORVIK_SKETCH_DIR): {saved_sketch_line(path, single[0], build_ms)}")

    x_sq = np.einsum("ij,ij->i", X, X) if euclid else None
    halves = np.array_split(np.arange(args.rows), args.threads)
    index = None
    if faiss is not None:
        index = faiss.IndexFlatL2(args.dims) if euclid else faiss.IndexFlatIP(args.dims)
        index.add(X)

    def read_pass(a):
        return lambda: list(pool.map(lambda h: a[h[0]:h[-1] + 1].max(), halves))

    for k in [int(v) for v in args.ks.split(",")]:
        wrong, candidates = 0, []
        for q in single:
            candidates.append(engine._sketch_candidates(q, k)["candidates"])
            auto = engine.query_exact_arrays(q, k)
            sk = with_env("ZORVIK_SINGLE_MODE", "sketch", lambda: engine.query_exact_arrays(q, k))()
            wrong += not (np.array_equal(auto["indices"], sk["indices"])
                          and np.array_equal(auto["scores"].view(np.uint32), sk["scores"].view(np.uint32)))
        method = with_env("ZORVIK_SINGLE_MODE", "sketch", lambda: engine.query_exact_arrays(single[0], k))()["method_used"]

        def numpy_one(q):
            s = X @ q
            if euclid:
                s = x_sq - 2.0 * s
                i = np.argpartition(s, k - 1)[:k]
            else:
                i = np.argpartition(-s, k - 1)[:k]
            return i[np.argsort(s[i] if euclid else -s[i], kind="stable")]

        calls = {
            "fp32 auto": lambda: [engine.query_exact_arrays(q, k) for q in single],
            "sketch": lambda: [with_env("ZORVIK_SINGLE_MODE", "sketch", lambda: engine.query_exact_arrays(q, k))()
                               for q in single],
            "numpy": lambda: [numpy_one(q) for q in single],
            "fp32 read limit": lambda: [read_pass(X)() for _ in single],
            "sketch read limit": lambda: [read_pass(codes)() for _ in single],
        }
        if index is not None:
            calls["faiss"] = lambda: [index.search(q[None, :], k) for q in single]
        ms = {n: v / len(single) for n, v in interleaved(calls, args.rounds).items()}
        s = ms["sketch"]
        print(f"single k={k} ({method}, {wrong} answers differ): sketch {s:.2f} ms; speed-up over "
              + ", ".join(f"{n} {ms[n] / s:.2f}x" for n in ms if n != "sketch")
              + f"; sketch / sketch read limit {s / ms['sketch read limit']:.2f}; GFLOP/s-equivalent (2 rows dims / time): "
              + f"sketch {2e-6 * args.rows * args.dims / s:.0f}, fp32 auto {2e-6 * args.rows * args.dims / ms['fp32 auto']:.0f}")
        median, p99 = np.percentile(candidates, [50, 99])
        print(f"  candidates per query (median, 99th percentile): {median:.0f}, {p99:.0f} "
              f"({median / args.rows:.3%}, {p99 / args.rows:.3%} of the rows)")

    if args.batch:
        B, k = np.ascontiguousarray(Q[: args.batch]), 10
        lib = openblas()
        fp = ctypes.POINTER(ctypes.c_float)
        out = np.empty((len(B), NUMPY_BLOCK), np.float32)

        def sgemm():
            lib.scipy_openblas_set_num_threads(args.threads)
            try:
                for a in range(0, args.rows, NUMPY_BLOCK):
                    n = min(NUMPY_BLOCK, args.rows - a)
                    lib.scipy_cblas_sgemm(101, 111, 112, len(B), n, args.dims, ctypes.c_float(1.0), B.ctypes.data_as(fp),
                                          args.dims, X[a:].ctypes.data_as(fp), args.dims, ctypes.c_float(0.0),
                                          out.ctypes.data_as(fp), n)
            finally:
                lib.scipy_openblas_set_num_threads(1)

        auto = engine.query_batch_arrays(B, k)
        sk = with_env("ZORVIK_BATCH_MODE", "sketch", lambda: engine.query_batch_arrays(B, k))()
        same = np.array_equal(auto["indices"], sk["indices"]) and np.array_equal(auto["scores"].view(np.uint32),
                                                                                 sk["scores"].view(np.uint32))
        calls = {"fp32 auto": lambda: engine.query_batch_arrays(B, k),
                 "sketch": with_env("ZORVIK_BATCH_MODE", "sketch", lambda: engine.query_batch_arrays(B, k)),
                 "sgemm": sgemm,
                 "numpy": lambda: numpy_batch(X, B, k, euclid, x_sq)}
        if index is not None:
            calls["faiss"] = lambda: index.search(B, k)
        ms = interleaved(calls, max(1, args.rounds - 1))
        s = ms["sketch"]
        print(f"batch of {len(B)} k={k} ({', '.join(sorted(set(sk['method_used'])))}, answers {'identical' if same else 'DIFFER'}): sketch "
              f"{s:.0f} ms; throughput over " + ", ".join(f"{n} {ms[n] / s:.2f}x" for n in ms if n != "sketch"))
        macs = args.rows * args.dims * len(B)
        rates = args.mac_rates
        print(f"  GFLOP/s-equivalent (2 rows dims queries / time): sketch {2e-6 * macs / s:.0f}, sgemm "
              f"{2e-6 * macs / ms['sgemm']:.0f}, fp32 auto {2e-6 * macs / ms['fp32 auto']:.0f}")
        print(f"  limits of this machine (multiply-adds): 8-bit products widened at every step (maddubs + madd) "
              f"{rates['int8_madd'] / 1e9:.0f} G/s, the batch kernel's mix (sign, maddubs, two steps in 16 bits, madd) "
              f"{rates['int8_batch_mix'] / 1e9:.0f} G/s, with query codes up to 31 (no signs) "
              f"{rates['int8_narrow_mix'] / 1e9:.0f} G/s, 8-bit products alone {rates['int8_maddubs'] / 1e9:.0f} G/s, "
              f"fp32 FMA {rates['fp32_fma'] / 1e9:.0f} G/s; so a pass over every code in the kernel's mix can reach "
              f"at most {rates['int8_batch_mix'] / rates['fp32_fma']:.2f}x (maddubs alone "
              f"{rates['int8_maddubs'] / rates['fp32_fma']:.2f}x) of a kernel at the FMA limit; "
              f"sketch at {macs / (s / 1000) / rates['int8_batch_mix']:.2f} of its mix's limit, "
              f"sgemm at {macs / (ms['sgemm'] / 1000) / rates['fp32_fma']:.2f} of its")


def main():
    args = parse_args()
    os.environ.setdefault("ZORVIK_THREADS", str(args.threads))
    from threadpoolctl import threadpool_limits

    faiss = None
    if not args.no_faiss:
        try:
            import faiss

            faiss.omp_set_num_threads(args.threads)
        except ImportError:
            print("faiss not installed: skipped", file=sys.stderr)
    pool = ThreadPoolExecutor(args.threads)
    args.mac_rates = mac_rates(args.threads, pool) if args.batch else None
    with threadpool_limits(limits=args.threads):
        for kind in args.sets.split(","):
            for metric in args.metrics.split(","):
                run_set(args, kind, metric, pool, faiss)


if __name__ == "__main__":
    main()
