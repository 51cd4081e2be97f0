"""Opening a ~1 GiB index against one sequential read plus BLAKE3 of the same bytes.

Target: open <= 1.5 x (read + hash). The file is written first, so every peer reads
from the page cache. Usage: python bench/bench_open.py [--gib 1.0] [--repeat 3]
"""

import argparse
import os
import struct
import tempfile
import time

import blake3
import numpy as np

import zorvikdb


def write_index(path, rows, dims):
    rng = np.random.default_rng(0)
    with open(path, "wb") as f:
        f.write(struct.pack("<III", dims, rows, 0))
        step = 65536
        for start in range(0, rows, step):
            n = min(step, rows - start)
            f.write(rng.standard_normal((n, dims), dtype=np.float32).tobytes())


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gib", type=float, default=1.0)
    ap.add_argument("--dims", type=int, default=384)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    rows = int(args.gib * 2**30 / (4 * args.dims))

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "bench_open.bin")
        write_index(path, rows, args.dims)
        size = os.path.getsize(path)

        buf = bytearray(size)  # allocated and touched once, outside the timings

        def read_all():
            with open(path, "rb", buffering=0) as f:
                f.readinto(buf)

        read_all()  # warm the page cache
        t_read = best_of(read_all, args.repeat)
        t_hash = best_of(lambda: blake3.blake3(buf).digest(), args.repeat)
        t_open = best_of(lambda: zorvikdb.PySearchEngine(path, False), args.repeat)

        print(f"index: {rows} x {args.dims} float32 ({size / 2**30:.2f} GiB), cosine")
        print(f"sequential read : {t_read * 1e3:9.1f} ms")
        print(f"blake3 of bytes : {t_hash * 1e3:9.1f} ms")
        print(f"PySearchEngine  : {t_open * 1e3:9.1f} ms")
        ratio = t_open / (t_read + t_hash)
        print(f"open / (read + hash) = {ratio:.2f}  (target <= 1.50)")


if __name__ == "__main__":
    main()
