"""Arguments whose conversion changes the array under the call, and the module in other
interpreters."""

import numpy as np
import pytest

import zorvikdb

F32 = np.float32


class Meddler:
    """A count whose __index__ first runs `act`."""

    def __init__(self, act, value=1):
        self.act, self.value = act, value

    def __index__(self):
        self.act()
        return self.value


def set_attr(a, name, value):
    return lambda: setattr(a, name, value)


@pytest.mark.parametrize("method, array, change, message", [
    ("query_exact", np.ones(4, F32), ("dtype", np.int8), "argument 'query': type mismatch:\n from=int8, to=float32"),
    ("query_exact", np.ones(4, F32), ("shape", (2, 2)), "argument 'query': dimensionality mismatch:\n from=2, to=1"),
    ("query_batch", np.ones((1, 4), F32), ("shape", (4,)),
     "argument 'queries': dimensionality mismatch:\n from=1, to=2"),
    ("explain", np.ones(4, F32), ("dtype", np.int8), "argument 'query': type mismatch:\n from=int8, to=float32"),
])
def test_an_array_changed_by_a_count_is_checked_again(write_index, method, array, change, message):
    engine = zorvikdb.PySearchEngine(write_index(np.ones((3, 4), F32)), False)
    extra = (Meddler(lambda: None, 4),) * (2 if method == "explain" else 0)
    with pytest.raises(TypeError) as caught:
        getattr(engine, method)(array, Meddler(set_attr(array, *change), 0), *extra)
    assert caught.value.args[0] == message


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
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                raise SystemExit(print("none"))
        # An interpreter sharing the main one's GIL: the interpreter's own refusal of
        # single-GIL modules would otherwise come first.
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
        finally:
            interpreters.destroy(sub)
        print(getattr(failure, "msg", failure))
    """)
    if out.strip() == "none":
        pytest.skip("this Python has no sub-interpreter module")
    assert "zorvikdb cannot be imported in a sub-interpreter" in out
