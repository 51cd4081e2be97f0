"""The manifest of a sharded collection: a small JSON file next to the shard index files.

    {"format": "zorvikdb-shards", "format_version": 1, "dims": 384, "metric": "cosine",
     "rows": 1000000,
     "shards": [{"file": "items-00000_f32.bin", "first_row": 0, "rows": 500000,
                 "blake3": "<64 hex digits>"}, ...]}

Shard files are named relative to the manifest's directory and must stay inside it,
symbolic links included: a manifest never opens a file that is not part of its
collection, nor shows anything of one in a message. `blake3` is the BLAKE3 hash
of the whole shard file, the same text an opened engine reports as its index hash. The
shards cover the global rows 0 .. rows-1 in order without gaps.
"""

from __future__ import annotations

import json
import os
import re
import secrets
import stat
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any, TypeGuard

import blake3

FORMAT = "zorvikdb-shards"
FORMAT_VERSION = 1
METRICS = ("cosine", "dot", "euclidean")
HASH_TEXT = re.compile(r"[0-9a-f]{64}")


@dataclass(frozen=True)
class ShardInfo:
    """One shard: its file (relative to the manifest), its first global row, its row
    count and the BLAKE3 hash text of the file."""

    file: str
    first_row: int
    rows: int
    blake3: str

    def path_in(self, directory: str) -> str:
        return os.path.join(directory, self.file)


@dataclass(frozen=True)
class Manifest:
    """A sharded collection as read from (or just written to) its manifest file.

    `digest` is the BLAKE3 hash text of the manifest file's bytes; it identifies the
    whole collection (every shard hash is inside it).
    """

    path: str
    dims: int
    metric: str
    rows: int
    shards: tuple[ShardInfo, ...]
    digest: str

    @property
    def directory(self) -> str:
        return _directory_of(self.path)

    def shard_directory(self, shard_dir: str | os.PathLike[str] | None = None) -> str:
        """The absolute directory of the shard files: `shard_dir` if given (a relative one
        is taken from this process's working directory, not from that of whichever
        process opens the files), else the manifest's."""
        return self.directory if shard_dir is None else os.path.abspath(shard_dir)

    def shard_path(self, number: int, shard_dir: str | os.PathLike[str] | None = None) -> str:
        """Where shard `number`'s file is: under `shard_dir` if given, else next to the
        manifest."""
        return self.shards[number].path_in(self.shard_directory(shard_dir))


def manifest_name(path: str) -> str:
    """How messages name the manifest at `path`, and shard `number`'s entry in it."""
    return f"manifest {path}"


def entry_name(path: str, number: int) -> str:
    return f"{manifest_name(path)}, shard {number}"


def outside_error(entry: str, directory: str) -> ValueError:
    """The refusal of a shard entry whose file is not inside `directory`: it names the
    entry and shows nothing of the file."""
    return ValueError(f"{entry}: 'file' must name a file inside {directory}")


def check_inside(directory: str, path: str, entry: str) -> None:
    """Refuses shard file `path` unless it lies inside `directory` once every symbolic
    link is resolved. (The manifest itself already refuses names that climb out.)"""
    root = os.path.realpath(directory)
    real = os.path.realpath(path)
    if real == root or os.path.commonpath([root, real]) != root:
        raise outside_error(entry, directory)


def _directory_of(path: str) -> str:
    return os.path.dirname(os.path.abspath(path))


def stays_below(file: str) -> bool:
    """Whether a shard file name leads below its directory by name alone: relative, no
    '..' step, something after the directory, no NUL byte."""
    name = PurePosixPath(file)
    return not name.is_absolute() and bool(name.parts) and ".." not in name.parts \
        and "\0" not in file


def file_hash(path: str | os.PathLike[str]) -> str:
    """BLAKE3 hash text of a whole file, read through a memory map (the file may be
    larger than memory)."""
    hasher = blake3.blake3(max_threads=blake3.blake3.AUTO)
    if os.path.getsize(path) > 0:
        hasher.update_mmap(os.fspath(path))
    return hasher.hexdigest()


def parts_hash(parts: Iterable[Any]) -> str:
    """BLAKE3 hash text of the bytes of `parts` (buffers) one after another: the
    `file_hash` of a file holding them."""
    hasher = blake3.blake3(max_threads=blake3.blake3.AUTO)
    for part in parts:
        hasher.update(memoryview(part).cast("B"))  # its bytes, whatever the item type
    return hasher.hexdigest()


def manifest_bytes(dims: int, metric: str, shards: list[ShardInfo]) -> bytes:
    body = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "dims": dims,
        "metric": metric,
        "rows": sum(s.rows for s in shards),
        "shards": [
            {"file": s.file, "first_row": s.first_row, "rows": s.rows, "blake3": s.blake3}
            for s in shards
        ],
    }
    return (json.dumps(body, indent=1) + "\n").encode("utf-8")


def write_manifest(
    path: str | os.PathLike[str], dims: int, metric: str, shards: list[ShardInfo]
) -> Manifest:
    """Writes the manifest atomically: a temporary file of its own in the same directory
    (so writers of the same name never share one), flushed to disk, then renamed over
    the final name (and the directory entry flushed), so the name always holds a
    complete manifest. The temporary file is removed if anything fails."""
    path = Path(path)
    data = manifest_bytes(dims, metric, shards)
    write_atomically(path, data)
    sync_directory(path.parent)
    return parse_manifest(data, str(path))


def write_atomically(path: Path, data: bytes) -> None:
    """Puts `data` under `path` whole or not at all: a temporary file of its own, flushed
    to disk, renamed over `path`. The rename is durable once the directory is synced."""
    fd, tmp = _create_unique(path.parent, path.name)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def _create_unique(directory: Path, name: str) -> tuple[int, Path]:
    """A new file `{name}.<random>.tmp` in `directory`, opened for writing, with the
    permissions an ordinary new file gets (the umask applies, unlike a mkstemp file)."""
    while True:
        tmp = directory / f"{name}.{secrets.token_hex(8)}.tmp"
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), tmp
        except FileExistsError:
            continue


def sync_directory(directory: Path | str) -> None:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read_manifest(path: str | os.PathLike[str]) -> Manifest:
    """Reads and checks a manifest file; ValueError says what is wrong with it. Anything
    but a regular file (a pipe, a device, a directory) is refused at once: opening does
    not wait for a pipe's writer."""
    path = os.fspath(path)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{manifest_name(path)}: not a regular file")
        os.set_blocking(fd, True)
        data = f.read()
    return parse_manifest(data, path)


def manifest_body(data: bytes, where: str, form: str, version: int) -> tuple[dict, int, str]:
    """The JSON object of a manifest of format `form` at `version`, with its dims and
    metric; ValueError names `where` and what is wrong."""
    try:
        body = json.loads(data)
    except (UnicodeDecodeError, json.JSONDecodeError) as err:
        raise ValueError(f"{where}: not JSON ({err})") from None
    except RecursionError:
        raise ValueError(f"{where}: nested too deeply") from None
    if not isinstance(body, dict) or body.get("format") != form:
        raise ValueError(f"{where}: not a {form} manifest")
    found = body.get("format_version")
    if not is_integer(found) or found != version:
        raise ValueError(f"{where}: format_version {found!r} is not supported "
                         f"(this reader knows {version})")
    dims = count_field(body, "dims", where)
    metric = body.get("metric")
    if metric not in METRICS:
        raise ValueError(f"{where}: unknown metric {metric!r}")
    return body, dims, metric


def parse_manifest(data: bytes, path: str) -> Manifest:
    where = manifest_name(path)
    body, dims, metric = manifest_body(data, where, FORMAT, FORMAT_VERSION)
    rows = count_field(body, "rows", where)
    entries = body.get("shards")
    if not isinstance(entries, list) or not entries:
        raise ValueError(f"{where}: 'shards' must be a non-empty list")
    shards = []
    next_row = 0
    for number, entry in enumerate(entries):
        at = entry_name(path, number)
        if not isinstance(entry, dict):
            raise ValueError(f"{at}: not an object")
        file = entry.get("file")
        digest = entry.get("blake3")
        if not isinstance(file, str) or not file:
            raise ValueError(f"{at}: 'file' must be a non-empty string")
        if not stays_below(file):
            raise outside_error(at, _directory_of(path))
        if not isinstance(digest, str) or not HASH_TEXT.fullmatch(digest):
            raise ValueError(f"{at}: 'blake3' must be 64 lowercase hexadecimal digits")
        first_row = count_field(entry, "first_row", at)
        shard_rows = count_field(entry, "rows", at)
        if shard_rows == 0:
            raise ValueError(f"{at}: holds no rows")
        if first_row != next_row:
            raise ValueError(f"{at}: starts at row {first_row}, not at row {next_row}")
        next_row += shard_rows
        shards.append(ShardInfo(file, first_row, shard_rows, digest))
    if next_row != rows:
        raise ValueError(f"{where}: the shards hold {next_row} rows, the manifest says {rows}")
    return Manifest(path, dims, metric, rows, tuple(shards), blake3.blake3(data).hexdigest())


def is_integer(value: object) -> TypeGuard[int]:
    return isinstance(value, int) and not isinstance(value, bool)


def count_field(body: dict, key: str, where: str) -> int:
    value = body.get(key)
    if not is_integer(value) or value < 0:
        raise ValueError(f"{where}: {key!r} must be a non-negative integer")
    return value
