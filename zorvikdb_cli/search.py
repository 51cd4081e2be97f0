"""`zorvikdb search`: the k best rows of an index or a collection for every query of a
matrix. An index answers with row numbers ("indices"), a collection with its user ids
("ids")."""

import json
import os
import sys
import tempfile

import numpy as np

from zorvikdb_cli.arrays import load_matrix
from zorvikdb_cli.options import add_matrix_options, count
from zorvikdb_cli.progress import bar

# Queries per batch call: large enough that every piece goes through the blocked batch
# scan (from four queries), small enough that the bar moves on a large index.
PIECE = 256
SMALLEST_PIECE = 4


def add_parser(commands, common):
    p = commands.add_parser("search", parents=[common], help="batch search, writing indices and scores",
                            description="Search an index file or a collection directory for every row of a "
                                        "float32 query matrix; write .npz (arrays 'indices', or 'ids' for a "
                                        "collection, and 'scores') with --out, else JSON or CSV on stdout.")
    p.add_argument("index", help="index file, or collection directory")
    p.add_argument("--queries", required=True, help="2-D float32 .npy, .npz, .parquet or .arrow file")
    p.add_argument("-k", type=count, required=True, help="hits per query")
    add_matrix_options(p)
    where = p.add_mutually_exclusive_group()
    where.add_argument("--out", metavar="RESULTS.npz", help="write the arrays 'indices' and 'scores' there")
    where.add_argument("--format", choices=("json", "csv"), default="json", help="stdout format (default json)")
    p.set_defaults(run=run)


def pieces(n):
    """[start, stop) ranges of at most PIECE queries; a short tail joins the piece before."""
    bounds = list(range(0, n, PIECE)) + [n]
    if len(bounds) > 2 and bounds[-1] - bounds[-2] < SMALLEST_PIECE:
        del bounds[-2]
    return zip(bounds[:-1], bounds[1:])


def opened(path):
    """The batch search of the index file or collection directory at `path`, and the key
    of its answers that holds the rows found."""
    import zorvikdb

    if os.path.isdir(path):
        return zorvikdb.Collection.open(path).search_batch, "ids"
    return zorvikdb.PySearchEngine(path, False).query_batch_arrays, "indices"


def search(batch, found, queries, k, quiet):
    n = queries.shape[0]
    indices, scores = [], []
    with bar(n, "searching", quiet, unit="query") as progress:
        for a, b in pieces(n):
            res = batch(queries[a:b], k)
            indices.append(res[found])
            scores.append(res["scores"])
            progress.update(b - a)
    if not indices:
        return np.empty((0, 0), np.uint64), np.empty((0, 0), np.float32)
    return np.concatenate(indices), np.concatenate(scores)


def short(scores):
    """Each float32 score as the shortest decimal that reads back to the same float32."""
    return [[float(str(s)) for s in row] for row in scores]


def write_npz(path, arrays):
    """Written beside `path` and renamed over it, so an interrupted write leaves nothing."""
    fd, temp = tempfile.mkstemp(prefix=".zorvikdb-results-", suffix=".tmp", dir=os.path.dirname(path) or ".")
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(f, **arrays)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def run(args):
    queries = load_matrix(args.queries, key=args.key, column=args.column)
    batch, found = opened(args.index)
    indices, scores = search(batch, found, queries, args.k, args.quiet)
    if args.out:
        write_npz(args.out, {found: indices, "scores": scores})
    elif args.format == "json":
        json.dump({found: indices.tolist(), "scores": short(scores)}, sys.stdout)
        print()
    else:
        print(f"query,rank,{'id' if found == 'ids' else 'index'},score")
        for q, (row_i, row_s) in enumerate(zip(indices, short(scores))):
            for rank, (i, s) in enumerate(zip(row_i, row_s)):
                print(f"{q},{rank},{i},{s!r}")
    return 0
