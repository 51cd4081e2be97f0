"""The files one commit creates, written straight under their final names and made
durable together just before the manifest names them.

A name carries the generation of the commit that writes it, and a writer removes what an
unfinished writer of that generation left before it starts, so each file is created
exclusively and is never seen half-written: no reader opens a file before a manifest
names it, and one that no commit came to name is removed by the next writer. So a new
file needs no temporary name of its own and no rename, only its data on disk before the
manifest's rename.
"""

from __future__ import annotations

import os
from concurrent.futures import Future, wait

from .io_pool import start


class NewFiles:
    """The files written so far for commit `generation` in `directory`. Each file is
    written and flushed on the writer's I/O threads, so the flushes run while the writer
    goes on (writing the next file, preparing, hashing); `sync` waits for them."""

    def __init__(self, directory: str, generation: int) -> None:
        self.directory = directory
        self.generation = generation
        self._writes: list[Future[None]] = []

    def path(self, name: str) -> str:
        return os.path.join(self.directory, name)

    def write(self, name: str, data: bytes) -> None:
        self._writes.append(start(_write_durably, self.path(name), data))

    def sync(self) -> None:
        """Returns when every file written so far has its data on disk; raises the
        first error of their writes."""
        for written in self._writes:
            written.result()

    def __enter__(self) -> NewFiles:
        return self

    def __exit__(self, *exc: object) -> None:
        """Waits for the writes still running (a change that failed): no file appears
        after this. Their errors are `sync`'s to report."""
        wait(self._writes)


def _write_durably(path: str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fdatasync(fd)
    finally:
        os.close(fd)
