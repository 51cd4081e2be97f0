"""Embedding matrices from .npy (memory-mapped), .npz, Parquet and Arrow IPC files.

Parquet and Arrow files hold one vector per row in a list-of-float column; pyarrow is
imported only for them."""

from pathlib import Path

import numpy as np

from zorvikdb_cli.errors import CliError

PARQUET_MAGIC = b"PAR1"
ARROW_MAGIC = b"ARROW1"


def load_matrix(path, *, key=None, column=None, convert=False):
    """The 2-D float32 matrix stored in `path`. Other dtypes are refused unless `convert`
    asks for a float32 copy."""
    with open(path, "rb") as f:
        magic = f.read(len(ARROW_MAGIC))
    if magic.startswith(PARQUET_MAGIC) or magic == ARROW_MAGIC:
        arr = from_table(read_table(path, magic == ARROW_MAGIC), column, path)
    else:
        arr = from_numpy_file(path, key)
    if arr.ndim != 2:
        raise CliError(f"{path}: expected a 2-D array (rows x dims), got shape {arr.shape}")
    if arr.dtype != np.float32:
        if not convert:
            raise CliError(f"{path}: expected float32 values, got {arr.dtype} (pass --convert to copy them to float32)")
        arr = np.asarray(arr, dtype=np.float32, order="C")
    return arr


def from_numpy_file(path, key):
    try:
        loaded = np.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError as e:
        raise CliError(f"{path}: not a .npy, .npz, Parquet or Arrow file ({e})") from None
    if not isinstance(loaded, np.lib.npyio.NpzFile):
        return loaded
    with loaded:
        return loaded[choose(loaded.files, key, path, "array", "--key")]


def choose(names, wanted, path, what, option):
    """`wanted`, or the only name when none is wanted; a CliError when that is not one of `names`."""
    if wanted is None and len(names) != 1:
        raise CliError(f"{path} holds the {what}s {names}: choose one with {option}")
    wanted = names[0] if wanted is None else wanted
    if wanted not in names:
        raise CliError(f"{path} has no {what} {wanted!r} (it holds {names})")
    return wanted


def read_table(path, arrow):
    try:
        import pyarrow.feather
        import pyarrow.parquet
    except ImportError:
        raise CliError(f"{path}: reading Parquet and Arrow files needs pyarrow (pip install pyarrow)") from None
    return pyarrow.feather.read_table(path) if arrow else pyarrow.parquet.read_table(path)


def from_table(table, column, path):
    """The list-of-float column `column` (or the only column) as a rows x dims array."""
    import pyarrow as pa
    import pyarrow.compute as pc

    column = choose(table.column_names, column, path, "column", "--column")
    col = table.column(column).combine_chunks()
    if not (pa.types.is_list(col.type) or pa.types.is_large_list(col.type) or pa.types.is_fixed_size_list(col.type)):
        raise CliError(f"{path}: column {column!r} is {col.type}, not a list of floats")
    if len(col) == 0:
        return np.empty((0, 0), np.float32)  # the engine reports the empty input
    lengths = pc.list_value_length(col)
    bounds = pc.min_max(lengths)
    if col.null_count or bounds["min"] != bounds["max"]:
        raise CliError(f"{path}: column {column!r} holds missing vectors or vectors of different lengths")
    values = col.flatten()
    if values.null_count:
        raise CliError(f"{path}: column {column!r} holds missing values")
    return values.to_numpy(zero_copy_only=False).reshape(len(col), bounds["min"].as_py())
