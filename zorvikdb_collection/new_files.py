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


class NewFiles:
    """The files written so far for commit `generation` in `directory`, kept open until
    `sync` has flushed them."""

    def __init__(self, directory: str, generation: int) -> None:
        self.directory = directory
        self.generation = generation
        self._open: list[int] = []

    def path(self, name: str) -> str:
        return os.path.join(self.directory, name)

    def write(self, name: str, data: bytes) -> None:
        fd = os.open(self.path(name), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        self._open.append(fd)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]

    def sync(self) -> None:
        """Flushes every file's data, one file after the other: flushes from several
        threads wait on each other's journal commits and were slower."""
        while self._open:
            fd = self._open.pop()
            try:
                os.fdatasync(fd)
            finally:
                os.close(fd)

    def close(self) -> None:
        """Closes what `sync` did not (a change that failed)."""
        while self._open:
            os.close(self._open.pop())
