"""A reproducible stream of changes to a collection, and the writer processes of the
crash and concurrency tests that apply it:

    python collection_ops.py write PATH SEED SECONDS   applies changes 0, 1, ... for SECONDS
    python collection_ops.py serve PATH SEED           for each "START CRASH" line read,
        forks a writer from change START (its pid on a "pid" line, its end on an "exit"
        line); CRASH "before" or "after" kills it with SIGKILL at the manifest's rename.

Writers print "STEP MANIFEST_HASH" after each change. Every line goes out in one write(),
so a kill never leaves half a line (print() makes several writes when Python runs
unbuffered). The server imports everything once, so a writer starts in a few
milliseconds; it opens no engine itself, so forking is safe.
"""

import os
import sys
import time
import traceback

import numpy as np

DIMS = 8
KINDS = ("add", "delete", "upsert", "compact")
IDS_PER_STEP = 8


def operation(seed, step):
    """Change number `step` of stream `seed`: (kind, vectors, ids). Whatever happened
    before, it is valid: adds take fresh ids; deletes and upserts pick ids of earlier
    steps, some of them live and some not. Rows repeat a few base rows: ties."""
    rng = np.random.default_rng([seed, step])
    kind = KINDS[rng.choice(4, p=[0.4, 0.25, 0.25, 0.1])]
    n = int(rng.integers(1, 7))
    base = np.random.default_rng(seed).standard_normal((4, DIMS), dtype=np.float32)
    rows = rng.standard_normal((n, DIMS), dtype=np.float32)
    planted = rng.random(n) < 0.5
    rows[planted] = base[rng.integers(0, 4, planted.sum())]
    if kind == "add":
        ids = step * IDS_PER_STEP + np.arange(n, dtype=np.uint64)
    else:
        ids = rng.choice((step + 1) * IDS_PER_STEP, size=n, replace=False).astype(np.uint64)
    return kind, rows, ids


def apply(collection, change):
    kind, rows, ids = change
    if kind == "compact":
        return collection.compact()
    if kind == "delete":
        return collection.delete(ids)
    return getattr(collection, kind)(rows, ids)


def say(*words):
    os.write(1, (" ".join(map(str, words)) + "\n").encode())


def write(path, seed, start, seconds):
    from zorvikdb_collection import Collection

    coll, end = Collection.open(path), time.monotonic() + seconds
    for step in range(start, sys.maxsize):
        if time.monotonic() >= end:
            return
        apply(coll, operation(seed, step))
        say(step, coll.manifest_hash)


def kill_at_manifest_rename(when):
    real = os.replace

    def replace(src, dst):
        at = os.fspath(dst).endswith("manifest.json")
        if at and when == "after":
            real(src, dst)
        if at:
            os.kill(os.getpid(), 9)
        real(src, dst)

    os.replace = replace


def serve(path, seed):
    import zorvikdb_collection  # noqa: F401  (imported once, before forking)

    for line in sys.stdin:
        start, crash = line.split() + [""] * (2 - len(line.split()))
        pid = os.fork()
        if pid == 0:  # the writer never returns into this loop, nor runs the exit handlers
            try:
                if crash:
                    kill_at_manifest_rename(crash)
                write(path, seed, int(start), float("inf"))
            finally:
                traceback.print_exc()
                os._exit(1)
        say("pid", pid)
        say("exit", os.waitpid(pid, 0)[1])


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]), 0, float(sys.argv[4]))
    else:
        serve(sys.argv[2], int(sys.argv[3]))
