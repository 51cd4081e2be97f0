"""Module contents, class metadata and text signatures."""

import inspect

import pytest

import zorvikdb

# In the public order of the method table.
F = ", *, filter=None"  # the keyword-only row filter of every query method
ENGINE_METHODS = [
    "dims($self)", "rows($self)", f"query_exact($self, query, k{F})", f"query_exact_arrays($self, query, k{F})",
    f"query_batch($self, queries, k{F})", f"query_batch_arrays($self, queries, k{F})",
    f"query_exact_detailed($self, query, k{F})",
    f"query_exact_certified($self, query, k, block_size=64, enable_pruning=True{F})",
    f"query_batch_exact_certified($self, queries, k, block_size=64, enable_pruning=True{F})",
    f"query_batch_detailed($self, queries, k{F})", "compare($self, query, idx_a, idx_b, block_size, top_blocks)",
    "explain($self, query, idx, block_size, top_blocks)",
]


def test_module_contents_and_all_order():
    assert zorvikdb.__all__ == [n for n in vars(zorvikdb) if not n.startswith("__")] == [
        "PySearchEngine", "PyQueryResult", "py_prepare_bin_from_embeddings"]
    assert zorvikdb.__doc__ == ""
    with pytest.raises(AttributeError):
        zorvikdb.PyQueryItem


def test_text_signatures_and_method_order():
    assert str(inspect.signature(zorvikdb.PySearchEngine)) == zorvikdb.PySearchEngine.__text_signature__ == "(bin_path, ann)"
    assert [n for n in vars(zorvikdb.PySearchEngine) if not n.startswith("_")] == [s.split("(")[0] for s in ENGINE_METHODS]
    for sig in ENGINE_METHODS:
        name, _, rest = sig.partition("(")
        method = getattr(zorvikdb.PySearchEngine, name)
        assert method.__doc__ in (None, "") and method.__text_signature__ == "(" + rest
    params = inspect.signature(zorvikdb.py_prepare_bin_from_embeddings).parameters
    assert list(params) == ["embeddings", "dims", "rows", "base_name", "level", "normalize", "ann", "seed", "metric",
                            "output_dir"]
    assert {n: p.default for n, p in params.items() if p.default is not inspect.Parameter.empty} == {
        "normalize": False, "ann": False, "seed": 0, "metric": "cosine", "output_dir": None}
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())


def test_sub_interpreters_and_a_second_initialisation_are_refused(fresh_python):
    out = fresh_python("""
        import sys
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
        import zorvikdb
        del sys.modules["zorvikdb"]
        attempt(__import__, "zorvikdb")
    """)
    assert "zorvikdb cannot be imported in a sub-interpreter" in out and "\nImportError: " in out
