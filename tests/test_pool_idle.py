"""The worker pool sleeps between calls: it never takes cores from other thread pools."""

import numpy as np

from conftest import index_bytes


def test_pool_uses_no_cpu_between_calls(tmp_path, fresh_python):
    path = tmp_path / "x.bin"
    X = np.random.default_rng(3).standard_normal((20000, 64)).astype(np.float32)
    path.write_bytes(index_bytes(X, "cosine"))
    code = f"""
        import os, resource, time, numpy as np, zorvikdb

        def cpu():
            u = resource.getrusage(resource.RUSAGE_SELF)
            return u.ru_utime + u.ru_stime

        engine = zorvikdb.PySearchEngine({str(path)!r}, False)
        q = np.ones(64, dtype=np.float32)
        for mode in ["rayon", "matrix_parallel", "blocked"]:
            os.environ["ZORVIK_SINGLE_MODE"] = mode
            engine.query_exact(q, 5)
        before = cpu()
        time.sleep(1.0)
        print(cpu() - before)
    """
    # Two spinning threads would use about two seconds of CPU in that second.
    assert float(fresh_python(code, env={"ZORVIK_THREADS": "2"})) < 0.2
