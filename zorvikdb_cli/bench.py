"""`zorvikdb bench`: a quick self-check of single-query latency against NumPy on the
same vectors, read from the index file."""

import statistics
import time

import numpy as np

from zorvikdb_cli.info import index_facts
from zorvikdb_cli.options import count
from zorvikdb_collection.files import HEADER_BYTES

WARMUP = 2


def add_parser(commands, common):
    p = commands.add_parser("bench", parents=[common], help="median single-query latency against NumPy",
                            description="Median latency of single queries (seeded random vectors), ours and "
                                        "NumPy's X @ q + argpartition on the same vectors, side by side.")
    p.add_argument("index")
    p.add_argument("-k", type=count, default=10, help="hits per query (default 10)")
    p.add_argument("--queries", type=count, default=20, help="timed queries (default 20)")
    p.set_defaults(run=run)


def numpy_search(X, k, euclidean):
    k = min(k, X.shape[0])
    x_sq = np.einsum("ij,ij->i", X, X) if euclidean else None

    def query(q):
        s = X @ q
        s = x_sq - 2.0 * s if euclidean else -s  # smaller is better: |x|^2 - 2 x.q orders |x - q|^2
        if k == 0:
            return s[:0].astype(np.int64)
        part = np.argpartition(s, k - 1)[:k]
        return part[np.argsort(s[part], kind="stable")]

    return query


def medians(searches, queries):
    """Median milliseconds per search; the searches take turns on every query."""
    for q in queries[:WARMUP]:
        for run in searches.values():
            run(q)
    times = {name: [] for name in searches}
    for q in queries:
        for name, run in searches.items():
            t0 = time.perf_counter()
            run(q)
            times[name].append((time.perf_counter() - t0) * 1000.0)
    return {name: statistics.median(t) for name, t in times.items()}


def run(args):
    import zorvikdb

    engine = zorvikdb.PySearchEngine(args.index, False)
    facts = index_facts(engine)
    rows, dims, metric = facts["rows"], facts["dims"], facts["metric"]
    X = np.memmap(facts["index_path"], dtype="<f4", mode="r", offset=HEADER_BYTES, shape=(rows, dims))
    rng = np.random.default_rng(0)
    queries = [rng.standard_normal(dims, dtype=np.float32) for _ in range(max(args.queries, 1))]
    ours = lambda q: engine.query_exact_arrays(q, args.k)  # noqa: E731
    theirs = numpy_search(X, args.k, metric == "euclidean")
    times = medians({"zorvikdb": ours, "numpy": theirs}, queries)
    agree = sum(np.array_equal(ours(q)["indices"].astype(np.int64), theirs(q)) for q in queries)

    method = ours(queries[0])["method_used"]
    print(f"index: {rows} x {dims} {metric}, k {args.k}, {len(queries)} queries; median latency:")
    print(f"{'zorvikdb (' + method + ')':>28}  {'numpy (X @ q + argpartition)':>28}  {'ratio':>6}")
    print(f"{times['zorvikdb']:>25.3f} ms  {times['numpy']:>25.3f} ms  {times['zorvikdb'] / times['numpy']:>6.2f}")
    print(f"same top-{args.k} rows: {agree} of {len(queries)} queries")
    return 0
