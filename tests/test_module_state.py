"""Counts whose conversion changes the array under the call, and the module in other interpreters."""

import numpy as np
import pytest

import zorvikdb

F32 = np.float32


class Meddler:  # a count whose __index__ first runs `act`
    def __init__(self, act, value=1):
        self.act, self.value = act, value

    def __index__(self):
        self.act()
        return self.value


def set_attr(a, name, value):
    return lambda: setattr(a, name, value)


# Every callable that takes an array: called with the array and `count` as its last count.
ARRAY_CALLS = {
    **{name: (lambda e, a, count, out, name=name: getattr(e, name)(a, count)) for name in (
        "query_exact", "query_exact_arrays", "query_exact_detailed", "query_batch", "query_batch_arrays",
        "query_batch_detailed")},
    "query_exact_certified": lambda e, a, count, out: e.query_exact_certified(a, 1, count),
    "query_batch_exact_certified": lambda e, a, count, out: e.query_batch_exact_certified(a, 1, count),
    "compare": lambda e, a, count, out: e.compare(a, 0, 0, 1, count),
    "explain": lambda e, a, count, out: e.explain(a, 0, 1, count),
    "py_prepare_bin_from_embeddings": lambda e, a, count, out: zorvikdb.py_prepare_bin_from_embeddings(
        a, 1, 1, "x", "f32", seed=count, output_dir=out),
}
MATRIX_TAKERS = {"query_batch", "query_batch_arrays", "query_batch_detailed", "query_batch_exact_certified",
                 "py_prepare_bin_from_embeddings"}


@pytest.mark.parametrize("change", [("dtype", np.int8), ("shape", ())])  # 4x the bytes; no extents at all
@pytest.mark.parametrize("method", ARRAY_CALLS)
def test_an_array_changed_by_a_count_is_checked_again(write_index, tmp_path, method, change):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 1), F32)), False)
    call = ARRAY_CALLS[method]
    fresh = lambda: np.ones((1, 1) if method in MATRIX_TAKERS else 1, F32)  # noqa: E731
    changed = fresh()
    setattr(changed, *change)
    with pytest.raises(TypeError) as direct:
        call(engine, changed, 1, str(tmp_path))
    array = fresh()
    with pytest.raises(TypeError) as meddled:
        call(engine, array, Meddler(set_attr(array, *change)), str(tmp_path))
    assert meddled.value.args == direct.value.args


def test_an_array_grown_by_a_count_is_read_at_its_new_size(write_index, tmp_path):
    engine = zorvikdb.PySearchEngine(write_index(np.eye(3, 4, dtype=F32)), False)
    queries = np.eye(1, 4, dtype=F32)
    answers = engine.query_batch(queries, Meddler(lambda: queries.resize((3, 4), refcheck=False)))
    assert len(answers) == 3
    embeddings = np.ones((2, 4), F32)
    with pytest.raises(TypeError, match="^argument 'embeddings': type mismatch"):
        zorvikdb.py_prepare_bin_from_embeddings(embeddings, Meddler(set_attr(embeddings, "dtype", np.int8), 4), 2,
                                                "x", "f32", output_dir=str(tmp_path))


def test_a_sub_interpreter_is_refused(fresh_python):
    out = fresh_python("""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        # One sharing the main interpreter's GIL, or its refusal of single-GIL modules comes first.
        for make in (lambda: interpreters.create("legacy"), lambda: interpreters.create(isolated=False),
                     interpreters.create):
            try:
                sub = make()
                break
            except TypeError:
                pass
        try:
            failure = interpreters.run_string(sub, "import zorvikdb")  # 3.13 returns what 3.11 raises
        except Exception as exc:
            failure = exc
        print(getattr(failure, "msg", failure))
    """)
    assert "zorvikdb cannot be imported in a sub-interpreter" in out
