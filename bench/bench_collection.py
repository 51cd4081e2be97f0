"""A changing collection against one index of the same rows, and against FAISS
`IndexIDMap2(IndexFlatIP)` doing the same adds, removals and id-selector searches.

Default 1,000,000 x 384 cosine, built by 100 adds of 10,000 rows (merged in tiers as it
goes). One run measures, each ratio with its target:

  search, single query (median) and a 1,000-query batch   <= 1.2 x one index of the rows
  add of 100,000 rows (into an empty collection)          <= 1.2 x preparing those rows
  delete of 10,000 ids (median of the ten that delete 10 %)   <= 50 ms
  search with 10 % deleted                                <= 1.1 x none deleted
  search with 1 % of the rows allowed                     >= 10 x faster than unfiltered
  search with 99 % of the rows allowed                    <= 1.1 x unfiltered
  compact                                                 <= 1.5 x preparing the survivors

Rows, add size and batch scale with --rows (add size rows / 100, the big add rows / 10,
the delete rows / 100), so a small run takes seconds. Peers take turns query by query;
the add and preparing its rows take --rounds turns (median), and the survivors are
prepared twice just before the compaction (mean): writes share the disk with whatever
else runs, so only ratios measured side by side mean anything.
ZORVIK_THREADS and FAISS's OpenMP threads are both --threads.

    python bench/bench_collection.py [--rows 1000000] [--dims 384] [--threads N] [--dir DIR]
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np


def parse_args():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--dims", type=int, default=384)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--batch", type=int, default=1000, help="queries in the batch")
    p.add_argument("--queries", type=int, default=50, help="single queries timed")
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--rounds", type=int, default=3, help="turns of the add and of preparing its rows")
    p.add_argument("--dir", default=None, help="where the files go (default: a temporary directory)")
    return p.parse_args()


def seconds(call, *args):
    t0 = time.perf_counter()
    call(*args)
    return time.perf_counter() - t0


def batch_seconds(call, queries, rounds=3):
    return min(seconds(call, queries) for _ in range(rounds))


def row(name, ours, theirs, target):
    """Times in seconds, shown in ms; the ratio when there is a peer."""
    peer = f"{theirs * 1000:10.2f} {ours / theirs:8.2f}x" if theirs else f"{'-':>10} {'':>9}"
    print(f"{name:<46} {ours * 1000:10.2f} {peer}  target {target}")


def main():
    args = parse_args()
    os.environ["ZORVIK_THREADS"] = str(args.threads)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import faiss

    import zorvikdb
    from bench_single import interleaved_medians
    from zorvikdb_collection import Collection

    faiss.omp_set_num_threads(args.threads)
    work = tempfile.mkdtemp(dir=args.dir)
    rows, dims, k = args.rows, args.dims, args.k
    step, rng = max(rows // 100, 1), np.random.default_rng(0)
    X = rng.standard_normal((rows, dims), dtype=np.float32)
    ids = rng.permutation(rows).astype(np.uint64) + 10**12  # ids are not row numbers
    queries = rng.standard_normal((max(args.batch, args.queries), dims), dtype=np.float32)
    single = list(queries[:args.queries])

    def prepare(vectors, name):
        return zorvikdb.py_prepare_bin_from_embeddings(vectors, dims, len(vectors), name, "f32",
                                                       metric="cosine", output_dir=work)

    print(f"{rows} x {dims} cosine, k {k}, {args.threads} threads, adds of {step} rows; times in ms")
    print(f"{'workload':<44} {'ours':>10} {'peer':>10} {'ratio':>9}")
    coll = Collection.create(os.path.join(work, "c"), dims, "cosine")
    flat = faiss.IndexIDMap2(faiss.IndexFlatIP(dims))
    normalised = X / np.linalg.norm(X, axis=1, keepdims=True)
    ours_add = theirs_add = 0.0
    for start in range(0, rows, step):
        ours_add += seconds(coll.add, X[start:start + step], ids[start:start + step])
        theirs_add += seconds(flat.add_with_ids, normalised[start:start + step], ids[start:start + step].astype(np.int64))
    print(f"  {len(coll.snapshot.segments)} segments after {-(-rows // step)} adds")
    row("100 adds (FAISS add_with_ids)", ours_add, theirs_add, "for information")

    whole = zorvikdb.PySearchEngine(prepare(X, "whole"), False)
    medians = interleaved_medians({"coll": lambda q: coll.search(q, k), "whole": lambda q: whole.query_exact_arrays(q, k),
                                   "faiss": lambda q: flat.search(q[None], k)}, single, 3, 1)
    row("search, single query vs one index", medians["coll"] / 1000, medians["whole"] / 1000, "<= 1.2x")
    row("search, single query vs FAISS", medians["coll"] / 1000, medians["faiss"] / 1000, "for information")
    batch = queries[:args.batch]
    ours_batch = batch_seconds(lambda Q: coll.search_batch(Q, k), batch)
    row("search, batch vs one index", ours_batch, batch_seconds(lambda Q: whole.query_batch_arrays(Q, k), batch), "<= 1.2x")
    row("search, batch vs FAISS", ours_batch, batch_seconds(lambda Q: flat.search(Q, k), batch), "for information")

    # 10 % deleted by ten deletes of rows/100 ids; the median delete is the figure. Before
    # the big add: the files it removes keep the disk busy for a while.
    undeleted = Collection.open(coll.path)  # a reader keeps this snapshot
    doomed = rng.choice(ids, size=10 * max(rows // 100, 1), replace=False).reshape(10, -1)
    ours = statistics.median(seconds(coll.delete, gone) for gone in doomed)
    row("delete of rows/100 ids (median of 10)", ours, None, "<= 50 ms")
    row("delete of rows/100 ids vs FAISS remove_ids", ours, seconds(flat.remove_ids, doomed[0].astype(np.int64)),
        "for information")
    m = interleaved_medians({"deleted": lambda q: coll.search(q, k), "none": lambda q: undeleted.search(q, k)},
                            single, 3, 1)
    row("search with 10 % deleted vs none deleted", m["deleted"] / 1000, m["none"] / 1000, "<= 1.1x")

    big = rng.standard_normal((max(rows // 10, 1), dims), dtype=np.float32)
    adds, preparations = [], []
    for turn in range(args.rounds):  # taking turns, so both see the same load on the disk
        fresh = Collection.create(os.path.join(work, f"fresh{turn}"), dims, "cosine")
        adds.append(seconds(fresh.add, big, np.arange(len(big))))
        # A name of its own each turn, removed untimed like the collection: preparing
        # under an existing name would time the removal of the earlier file too.
        preparations.append(seconds(prepare, big, f"big{turn}"))
        shutil.rmtree(fresh.path)
        os.remove(os.path.join(work, f"big{turn}_f32.bin"))
    row("add of rows/10 vs preparing them (median)", statistics.median(adds), statistics.median(preparations),
        "<= 1.2x")

    live = coll.ids()
    for share, target in ((0.01, "<= 0.1x (10x faster)"), (0.99, "<= 1.1x")):
        allowed = np.sort(rng.choice(live, size=max(int(len(live) * share), 1), replace=False))
        selector = faiss.IDSelectorBatch(allowed.astype(np.int64))
        params = faiss.SearchParameters(sel=selector)
        m = interleaved_medians({"filtered": lambda q: coll.search(q, k, ids=allowed), "all": lambda q: coll.search(q, k),
                                 "faiss": lambda q: flat.search(q[None], k, params=params)}, single, 3, 1)
        row(f"search, {share:.0%} allowed vs unfiltered", m["filtered"] / 1000, m["all"] / 1000, target)
        row(f"search, {share:.0%} allowed vs FAISS IDSelectorBatch", m["filtered"] / 1000, m["faiss"] / 1000,
            "for information")

    kept = X[np.isin(ids, coll.ids())]
    theirs = statistics.mean(seconds(prepare, kept, f"kept{turn}") for turn in range(2))
    row("compact vs preparing the survivors (mean of 2)", seconds(coll.compact), theirs, "<= 1.5x")
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
