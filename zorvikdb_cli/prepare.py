"""`zorvikdb prepare`: an index file from a matrix of embeddings."""

import glob
import os

from zorvikdb_cli.arrays import load_matrix
from zorvikdb_cli.options import add_matrix_options
from zorvikdb_cli.progress import run_in_thread

LEVEL = "f32"


def add_parser(commands, common):
    p = commands.add_parser("prepare", parents=[common], help="write an index from a float32 embeddings file",
                            description="Write an index from a 2-D float32 matrix (.npy, memory-mapped; .npz; "
                                        "Parquet or Arrow list-of-float column with pyarrow) and print its path.")
    p.add_argument("embeddings", help=".npy, .npz, .parquet or .arrow file")
    p.add_argument("--name", required=True, help="base name of the index file")
    p.add_argument("--metric", required=True, help="cosine, dot or euclidean")
    p.add_argument("--out", metavar="DIR", help="output directory (default: ~/.zorvik/indexes)")
    add_matrix_options(p)
    p.add_argument("--convert", action="store_true", help="copy a matrix of another dtype to float32")
    p.set_defaults(run=run)


def run(args):
    import zorvikdb

    arr = load_matrix(args.embeddings, key=args.key, column=args.column, convert=args.convert)
    rows, dims = arr.shape

    def prepare():
        return zorvikdb.py_prepare_bin_from_embeddings(arr, dims, rows, args.name, LEVEL, metric=args.metric,
                                                       output_dir=args.out)

    def undo(path):
        remove_leftovers(path, args.out)

    print(run_in_thread(prepare, f"preparing {rows} x {dims}", args.quiet, undo))
    return 0


def remove_leftovers(path, out_dir):
    """After an interrupt: the index finished meanwhile, and any temporary file of this
    process ('{stem}_{level}.{host}.{pid}-{n}.tmp') in the index directory."""
    if path is not None:
        os.unlink(path)
    directory = os.path.dirname(path) if path is not None else out_dir
    if directory is not None:
        for temp in glob.glob(os.path.join(glob.escape(directory), f"*.{os.getpid()}-*.tmp")):
            os.unlink(temp)
