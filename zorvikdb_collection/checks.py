"""Checks of the arguments of a collection's methods, all made before anything is
written: a refused call changes nothing on disk."""

from __future__ import annotations

import operator

import numpy as np

from zorvikdb_ray.manifest import METRICS
from zorvikdb_ray.sharding import MAX_SHARD_ROWS

MAX_DIMS = 10_000  # the index writer's limit


def check_dims(dims: object) -> int:
    value = operator.index(dims)  # type: ignore[arg-type]
    if not 1 <= value <= MAX_DIMS:
        raise ValueError(f"dims must be 1 to {MAX_DIMS}, not {value}")
    return value


def check_metric(metric: object) -> str:
    if metric not in METRICS:
        raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
    return str(metric)


def check_k(k: object) -> int:
    value = operator.index(k)  # type: ignore[arg-type]
    if value < 0:
        raise ValueError(f"k must not be negative, not {value}")
    return value


def check_vectors(array: object, dims: int, ndim: int, name: str) -> np.ndarray:
    """A float32 NumPy array of `ndim` dimensions whose rows have `dims` values, in a
    memory order the engine reads (a strided view is copied)."""
    if not isinstance(array, np.ndarray) or array.dtype != np.float32 or array.ndim != ndim:
        what = (f"{array.ndim}-D {array.dtype} array" if isinstance(array, np.ndarray)
                else type(array).__name__)
        raise TypeError(f"{name} must be a {ndim}-D float32 NumPy array, not a {what}")
    if array.shape[-1] != dims:
        raise ValueError(f"{name} has {array.shape[-1]} values per row; "
                         f"the collection has {dims} dims")
    if ndim == 2 and array.shape[0] > MAX_SHARD_ROWS:
        raise ValueError(f"{name} has {array.shape[0]} rows; one call takes at most "
                         f"{MAX_SHARD_ROWS}")
    if array.flags.c_contiguous or array.flags.f_contiguous:
        return array
    return np.ascontiguousarray(array)


def check_ids(ids: object, rows: int | None = None, *, unique: bool) -> np.ndarray:
    """User ids as uint64: a 1-D array (or sequence) of non-negative integers, `rows`
    of them when given, without repeats when `unique`; else sorted without repeats."""
    array = np.asarray(ids)
    if array.shape == (0,):  # an empty list has no integer dtype, and needs none
        array = array.astype(np.uint64)
    if array.dtype.kind not in "iu" or array.ndim != 1:
        raise TypeError(f"ids must be a 1-D array of integers, not a {array.ndim}-D "
                        f"{array.dtype} array")
    if rows is not None and array.shape[0] != rows:
        raise ValueError(f"{array.shape[0]} ids for {rows} rows")
    if array.dtype.kind == "i" and array.size and array.min() < 0:
        raise ValueError(f"ids must not be negative, found {array.min()}")
    array = array.astype(np.uint64, copy=False)
    if not unique:
        return np.unique(array)
    ordered = np.sort(array)
    repeated = ordered[1:][ordered[1:] == ordered[:-1]]
    if repeated.size:
        raise ValueError(f"ids must not repeat, found {repeated[0]} more than once")
    return array
