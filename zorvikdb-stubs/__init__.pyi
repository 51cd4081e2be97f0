"""Type stubs for the zorvikdb extension module."""

from typing import TypedDict, final

import numpy as np
import numpy.typing as npt
from zorvikdb_collection import Collection as Collection

__all__ = ["PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]

_Vector = npt.NDArray[np.float32]
_Matrix = npt.NDArray[np.float32]
_Count = int | np.integer
# A boolean mask of one flag per row, or row numbers of any integer type.
_Filter = npt.ArrayLike

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

class _Hit(TypedDict):
    idx: int
    score: float

class _Certificate(TypedDict):
    total_candidates: int
    pruned_candidates: int
    full_evaluated: int
    kth_score: float
    bound_rule: str
    safe: bool
    block_size: int
    block_order: list[int]
    threshold_evolution: list[float]
    enable_pruning: bool
    simd_path: str
    compile_flags: str
    pruned_bound_values: list[float]
    bound_kind: str

class _Certified(TypedDict):
    results: list[_Hit]
    query_time_ms: float
    method_used: str
    index_hash: str
    query_hash: str
    engine_version: str
    metric: str
    normalized: bool
    dims: int
    rows: int
    index_path: str
    certificate: _Certificate

class _BlockContribution(TypedDict):
    block_id: int
    start: int
    end: int
    contribution: float

class _Breakdown(TypedDict):
    block_size: int
    top_blocks: int
    num_blocks: int
    dims: int
    blocks: list[_BlockContribution]
    residual: float

class _Explanation(_Breakdown):
    score_total: float  # first key of the dictionary

class _Comparison(_Breakdown):
    score_a: float  # the first three keys of the dictionary
    score_b: float
    delta_score_space: float

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
    def query_exact(self, query: _Vector, k: _Count, *, filter: _Filter | None = None) -> PyQueryResult: ...
    def query_exact_arrays(self, query: _Vector, k: _Count, *, filter: _Filter | None = None) -> _ExactArrays: ...
    def query_exact_detailed(self, query: _Vector, k: _Count, *, filter: _Filter | None = None) -> PyQueryResult: ...
    def query_batch(self, queries: _Matrix, k: _Count, *, filter: _Filter | None = None) -> list[PyQueryResult]: ...
    def query_batch_arrays(self, queries: _Matrix, k: _Count, *, filter: _Filter | None = None) -> _BatchArrays: ...
    def query_batch_detailed(
        self, queries: _Matrix, k: _Count, *, filter: _Filter | None = None
    ) -> list[PyQueryResult]: ...
    def query_exact_certified(
        self,
        query: _Vector,
        k: _Count,
        block_size: _Count = 64,
        enable_pruning: bool = True,
        *,
        filter: _Filter | None = None,
    ) -> _Certified: ...
    def query_batch_exact_certified(
        self,
        queries: _Matrix,
        k: _Count,
        block_size: _Count = 64,
        enable_pruning: bool = True,
        *,
        filter: _Filter | None = None,
    ) -> list[_Certified]: ...
    def compare(
        self, query: _Vector, idx_a: _Count, idx_b: _Count, block_size: _Count, top_blocks: _Count
    ) -> _Comparison: ...
    def explain(self, query: _Vector, idx: _Count, block_size: _Count, top_blocks: _Count) -> _Explanation: ...

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
