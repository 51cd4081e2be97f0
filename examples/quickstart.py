"""Prepare an index from embeddings, open it and ask it for nearest neighbours.

    python examples/quickstart.py                      # 100,000 random 128-d embeddings
    python examples/quickstart.py my_embeddings.npy    # a 2-D array saved with numpy.save
    python examples/quickstart.py --out ./indexes --metric dot --k 10

Without --out the index goes to a temporary directory that is removed at the end.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import zorvikdb


def load_or_generate(args):
    if args.embeddings:
        emb = np.load(args.embeddings, mmap_mode="r")
        if emb.ndim != 2:
            sys.exit(f"{args.embeddings}: expected a 2-D array, got shape {emb.shape}")
        return np.ascontiguousarray(emb, dtype=np.float32), args.embeddings
    # Clustered data, so that neighbours are meaningful: 200 centres plus noise.
    rng = np.random.default_rng(args.seed)
    centres = rng.standard_normal((200, args.dims), dtype=np.float32)
    labels = rng.integers(0, len(centres), size=args.rows)
    emb = centres[labels] + np.float32(0.3) * rng.standard_normal((args.rows, args.dims), dtype=np.float32)
    return emb, f"{args.rows} random embeddings around 200 centres"


def timed(fn):
    t = time.perf_counter()
    value = fn()
    return value, (time.perf_counter() - t) * 1e3


def run(args, out_dir):
    emb, origin = load_or_generate(args)
    rows, dims = emb.shape
    print(f"embeddings : {origin}, {rows} x {dims} float32 ({emb.nbytes / 2**20:.1f} MiB)")

    path, ms = timed(lambda: zorvikdb.py_prepare_bin_from_embeddings(
        emb, dims, rows, args.name, "f32", metric=args.metric, output_dir=out_dir))
    print(f"prepared   : {path} ({os.path.getsize(path) / 2**20:.1f} MiB) in {ms:.0f} ms")

    engine, ms = timed(lambda: zorvikdb.PySearchEngine(path, False))
    print(f"opened     : {engine.rows()} rows of {engine.dims()} dimensions in {ms:.0f} ms")

    # The query: a stored row with a little noise, so that row should come first.
    rng = np.random.default_rng(args.seed + 1)
    target = int(rng.integers(rows))
    query = (emb[target] + np.float32(0.01) * rng.standard_normal(dims, dtype=np.float32)).astype(np.float32)
    if args.metric.lower() in ("cosine", "cos", "norm_cosine", "normalized_cosine", "normalized-cosine"):
        # Rows were scaled to unit length; the query is used as given, so scale it too
        # to read scores as cosine similarities.
        query /= np.linalg.norm(query)
    k = min(args.k, rows)
    better = "smaller" if args.metric.lower() in ("euclidean", "euclidian", "l2") else "larger"

    res = engine.query_exact(query, k)
    print(f"\nquery_exact (near row {target}, k={k}, {better} scores are better):")
    print(f"  strategy {res.method_used}, {res.query_time_ms:.2f} ms")
    for rank, hit in enumerate(res.results, 1):
        mark = "  <- the row the query was made from" if hit.idx == target else ""
        print(f"  {rank:2}. row {hit.idx:>8}  score {hit.score: .6f}{mark}")

    arrays = engine.query_exact_arrays(query, k)
    same = arrays["indices"].tolist() == [h.idx for h in res.results]
    print(f"\nquery_exact_arrays: indices {arrays['indices'].dtype}{arrays['indices'].shape}, "
          f"scores {arrays['scores'].dtype}{arrays['scores'].shape}, same ranking: {same}")
    print(f"  metric {arrays['metric']}, normalized {arrays['normalized']}, {arrays['query_time_ms']:.2f} ms")

    detailed = engine.query_exact_detailed(query, k)
    print("\nquery_exact_detailed:")
    print(f"  index_hash     {detailed.index_hash}")
    print(f"  query_hash     {detailed.query_hash}")
    print(f"  engine_version {detailed.engine_version}, metric {detailed.metric}, "
          f"{detailed.rows} x {detailed.dims}")
    print(f"  index_path     {detailed.index_path}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("embeddings", nargs="?", help="a .npy file holding a 2-D array (default: generated)")
    ap.add_argument("--out", help="directory for the index (default: a temporary one)")
    ap.add_argument("--name", default="quickstart", help="base name of the index file")
    ap.add_argument("--metric", default="cosine", help="cosine, dot or euclidean")
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--dims", type=int, default=128)
    ap.add_argument("--k", type=int, default=5)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    try:
        if args.out:
            run(args, args.out)
        else:
            with tempfile.TemporaryDirectory(prefix="zorvik-quickstart-") as d:
                run(args, d)
    except ValueError as e:
        sys.exit(f"error: {e}")


if __name__ == "__main__":
    main()
