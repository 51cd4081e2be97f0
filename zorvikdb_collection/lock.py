"""The writer lock: one writer at a time per collection, across processes."""

from __future__ import annotations

import fcntl
import os
import time
from collections.abc import Iterator
from contextlib import contextmanager

from .files import LOCK

POLL_SECONDS = 0.01


@contextmanager
def writer_lock(directory: str, timeout: float) -> Iterator[None]:
    """Holds an exclusive lock on the collection's lock file for the body, waiting up
    to `timeout` seconds for another writer to finish; TimeoutError after that. The
    kernel drops the lock when its holder dies, so a killed writer never blocks anyone."""
    path = os.path.join(directory, LOCK)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    raise TimeoutError(f"another writer holds {path}; "
                                       f"gave up after {timeout} s") from None
                time.sleep(POLL_SECONDS)
        yield
    finally:
        os.close(fd)  # releases the lock
