"""Type stubs for the zorvikdb extension module."""

from typing import TypedDict, final

import numpy as np
import numpy.typing as npt

__all__ = ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]

_Vector = npt.NDArray[np.float32]
_Matrix = npt.NDArray[np.float32]
_Count = int | np.integer

class _ExactArrays(TypedDict):
    indices: npt.NDArray[np.uint64]
    scores: npt.NDArray[np.float32]
    query_time_ms: float
    method_used: str
    index_hash: str
    metric: str
    normalized: bool
    dims: int
    rows: int
    index_path: str

class _BatchArrays(TypedDict):
    indices: npt.NDArray[np.uint64]
    scores: npt.NDArray[np.float32]
    query_time_ms: npt.NDArray[np.float64]
    method_used: list[str]
    metric: str
    normalized: bool
    dims: int
    rows: int
    index_path: str

# The class of the hits in PyQueryResult.results. Its run-time name is PyQueryItem, but
# it is not an attribute of the module: it is reached only through result objects.
@final
class _PyQueryItem:
    """One hit: a row number of the index and its score."""

    @property
    def idx(self) -> int: ...
    @property
    def score(self) -> float: ...

@final
class PyQueryResult:
    """The answer to one query: hits best first, timing and strategy name.

    The optional fields are set only by the detailed query methods.
    """

    @property
    def results(self) -> list[_PyQueryItem]: ...
    @property
    def query_time_ms(self) -> float: ...
    @property
    def method_used(self) -> str: ...
    @property
    def index_hash(self) -> str | None: ...
    @property
    def query_hash(self) -> str | None: ...
    @property
    def engine_version(self) -> str | None: ...
    @property
    def metric(self) -> str | None: ...
    @property
    def normalized(self) -> bool | None: ...
    @property
    def dims(self) -> int | None: ...
    @property
    def rows(self) -> int | None: ...
    @property
    def index_path(self) -> str | None: ...

@final
class PySearchEngine:
    """An opened, memory-mapped index file, searched in place."""

    def __new__(cls, bin_path: str, ann: bool) -> PySearchEngine: ...
    def dims(self) -> int: ...
    def rows(self) -> int: ...
    def query_exact(self, query: _Vector, k: _Count) -> PyQueryResult: ...
    def query_exact_arrays(self, query: _Vector, k: _Count) -> _ExactArrays: ...
    def query_exact_detailed(self, query: _Vector, k: _Count) -> PyQueryResult: ...
    def query_batch(self, queries: _Matrix, k: _Count) -> list[PyQueryResult]: ...
    def query_batch_arrays(self, queries: _Matrix, k: _Count) -> _BatchArrays: ...
    def query_batch_detailed(self, queries: _Matrix, k: _Count) -> list[PyQueryResult]: ...

def py_prepare_bin_from_embeddings(
    embeddings: _Matrix,
    dims: _Count,
    rows: _Count,
    base_name: str,
    level: str,
    normalize: bool = False,
    ann: bool = False,
    seed: _Count = 0,
    metric: str = "cosine",
    output_dir: str | None = None,
) -> str: ...
