"""Index preparation against numpy.save + fsync of the same array to the same disk.

1,000,000 x 384 float32 (1.43 GiB) by default. Target: metrics "dot" and "cosine" each
<= 0.9 x numpy.save followed by fsync, since preparation too ends with its data on the
disk (a synchronous flush, then an atomic rename); numpy.save alone, which leaves the
data in the page cache, is shown for reference. Every run is a fresh interpreter that
loads the array and imports both modules before its clock starts; its peak resident
size (ru_maxrss) is reported in total and above that starting point. Runs alternate
between the peers, the order turning by one each round, and each peer's median is
compared. --baseline DIR adds "dot" and "cosine" runs of the module built in DIR (an
A/B comparison of two builds in the same rounds).

On virtual machines, memory the guest has not touched for a while can cost far more to
touch than the copy itself, and which run meets such memory depends on the run before
it. --warm N touches N GiB in a separate process before every run, so that every peer
starts from memory that is cheap to touch and the comparison shows the work itself.

Usage: python bench/bench_prepare.py [--rows 1000000] [--dims 384] [--repeat 3] [--dir DIR] [--warm GIB]
                                     [--baseline DIR]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

CHILD = r"""
import json, os, resource, sys, time
import numpy as np
import zorvikdb
kind, src, out_dir = sys.argv[1:4]
emb = np.load(src)
rows, dims = emb.shape
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
if kind in ("dot", "cosine"):
    zorvikdb.py_prepare_bin_from_embeddings(emb, dims, rows, "bench", "f32", metric=kind, output_dir=out_dir)
else:
    path = os.path.join(out_dir, "bench.npy")
    np.save(path, emb)
    if kind == "numpy.save+fsync":
        fd = os.open(path, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
seconds = time.perf_counter() - t
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "peak_kib": peak, "base_kib": base}))
"""

PEERS = ["numpy.save", "numpy.save+fsync", "dot", "cosine"]
BASELINE = " (baseline)"
TARGET = 0.9  # of numpy.save+fsync


def clear(out_dir):
    for name in os.listdir(out_dir):
        os.unlink(os.path.join(out_dir, name))
    os.sync()
    time.sleep(1.0)  # let the freed blocks settle before the next timed write


def warm(gib):
    if gib > 0:
        code = f"import numpy as np; np.ones({int(gib * 2**28)}, np.float32)"
        subprocess.run([sys.executable, "-c", code], check=True)


def run(kind, src, out_dir, baseline):
    env = dict(os.environ)
    if kind.endswith(BASELINE):
        kind = kind.removesuffix(BASELINE)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (baseline, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", CHILD, kind, src, out_dir], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.exit(f"{kind} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dims", type=int, default=384)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default=None, help="where the array and the outputs go (one disk)")
    ap.add_argument("--warm", type=float, default=0.0, help="GiB of memory to touch before every run")
    ap.add_argument("--baseline", default=None, help="directory of another build to run as well")
    args = ap.parse_args()
    kinds = PEERS + ([k + BASELINE for k in ("dot", "cosine")] if args.baseline else [])

    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        src = os.path.join(work, "input.npy")
        out_dir = os.path.join(work, "out")
        os.mkdir(out_dir)
        rng = np.random.default_rng(0)
        np.save(src, rng.standard_normal((args.rows, args.dims), dtype=np.float32))
        gib = args.rows * args.dims * 4 / 2**30
        print(f"array: {args.rows} x {args.dims} float32 ({gib:.2f} GiB), outputs in {out_dir}")

        results = {k: [] for k in kinds}
        for r in range(args.repeat):
            for kind in kinds[r % len(kinds):] + kinds[:r % len(kinds)]:
                clear(out_dir)
                warm(args.warm)
                results[kind].append(run(kind, src, out_dir, args.baseline))
        clear(out_dir)

    median = {k: statistics.median(r["seconds"] for r in v) for k, v in results.items()}
    print(f"{'':20}{'median':>10}{'best':>10}{'peak RSS':>11}{'above start':>13}")
    for kind, runs in results.items():
        peak = max(r["peak_kib"] for r in runs) / 2**20
        extra = max(r["peak_kib"] - r["base_kib"] for r in runs) / 2**20
        best = min(r["seconds"] for r in runs)
        print(f"{kind:20}{median[kind] * 1e3:8.0f}ms{best * 1e3:8.0f}ms{peak:8.2f}GiB{extra:10.2f}GiB")
    for kind in kinds[2:]:
        synced = median[kind] / median["numpy.save+fsync"]
        print(f"{kind:17} / numpy.save+fsync = {synced:.2f} (target <= {TARGET})"
              f";  / numpy.save = {median[kind] / median['numpy.save']:.2f}")


if __name__ == "__main__":
    main()
