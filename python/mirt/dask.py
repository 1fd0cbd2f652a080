"""Reading mirt containers with Dask, one container over many workers.

A container's block i holds plain bytes [i*S, (i+1)*S), and the block
records can be listed without decoding (:func:`mirt.index`). So a file is
split into partitions of whole blocks; each task opens the file itself,
seeks (decoding only the blocks it reads) and returns its range.

With a delimiter (lines), a partition skips to just after the first
delimiter at or after its start (the first one starts at byte 0), and reads
past its end to the end of the delimited record that crosses it: every
record belongs to exactly one partition, however long it is.
"""
from __future__ import annotations

import glob
import io
import os
from typing import Iterable, List, Optional, Sequence, Tuple, Union

import dask
import dask.bag as db
from dask.base import tokenize
from dask.delayed import Delayed

import mirt

__all__ = ["read_bytes", "read_text", "partitions"]

Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

# How far a task reads at a time while looking for a delimiter.
_SCAN = 1 << 16


def _expand(paths: Paths) -> List[str]:
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    found: List[str] = []
    for path in paths:
        path = os.fspath(path)
        matches = sorted(glob.glob(path)) if glob.has_magic(path) else [path]
        found.extend(matches)
    if not found:
        raise FileNotFoundError(f"no files match {paths!r}")
    return found


def partitions(path: Union[str, "os.PathLike[str]"], blocks_per_partition: int) -> List[Tuple[int, int]]:
    """The plain byte ranges [start, end) of the partitions of one file:
    ``blocks_per_partition`` whole blocks each (the last may have fewer)."""
    if blocks_per_partition < 1:
        raise ValueError("blocks_per_partition must be at least 1")
    idx = mirt.index(path)
    count = len(idx)
    ranges = []
    for first in range(0, count, blocks_per_partition):
        start = idx[first].plain_offset
        last = min(first + blocks_per_partition, count) - 1
        end = idx[last].plain_offset + idx[last].plain_length
        ranges.append((start, end))
    return ranges


def _skip_past(f, delimiter: bytes) -> bool:
    """Moves ``f`` to just after the next delimiter; False at the end."""
    tail = b""
    while True:
        chunk = f.read(_SCAN)
        if not chunk:
            return False
        data = tail + chunk
        at = data.find(delimiter)
        if at >= 0:
            f.seek(f.tell() - (len(data) - at - len(delimiter)))
            return True
        tail = data[-(len(delimiter) - 1):] if len(delimiter) > 1 else b""


def _read_to_delimiter(f, delimiter: bytes) -> bytes:
    """Bytes from the current position to the next delimiter, included."""
    parts = []
    tail = b""
    while True:
        chunk = f.read(_SCAN)
        if not chunk:
            return b"".join(parts)
        data = tail + chunk
        at = data.find(delimiter)
        if at >= 0:
            parts.append(chunk[: at + len(delimiter) - len(tail)])
            return b"".join(parts)
        parts.append(chunk)
        tail = data[-(len(delimiter) - 1):] if len(delimiter) > 1 else b""


def read_range(path: str, start: int, end: int, delimiter: Optional[bytes] = None,
               config: Optional[str] = None) -> bytes:
    """The plain bytes of one partition, by the delimiter rule above."""
    with mirt.open(path, "rb", config=config) as f:
        f.seek(start)
        if delimiter is None:
            return f.read(end - start)
        if start > 0 and not _skip_past(f, delimiter):
            return b""
        begin = f.tell()
        if begin > end:
            return b""
        head = f.read(end - begin)
        if len(head) < end - begin:
            return head
        return head + _read_to_delimiter(f, delimiter)


def _ranges(files: List[str], blocks_per_partition: int, delimiter: Optional[bytes],
            config: Optional[str], named: bool) -> List[List[Delayed]]:
    out: List[List[Delayed]] = []
    for path in files:
        ranges = partitions(path, blocks_per_partition)
        token = tokenize(path, os.path.getmtime(path), os.path.getsize(path), delimiter, config)
        out.append([
            dask.delayed(read_range, pure=named,
                         name=f"mirt-read-bytes-{token}-{i}" if named else None)(
                path, start, end, delimiter, config)
            for i, (start, end) in enumerate(ranges)
        ])
    return out


def read_bytes(paths: Paths, blocks_per_partition: int = 16, delimiter: Optional[bytes] = None,
               config: Optional[str] = None, include_path: bool = False):
    """Delayed byte ranges of mirt containers.

    Returns one list of ``dask.delayed`` values per file, each the plain
    bytes of ``blocks_per_partition`` consecutive blocks (with
    ``delimiter``: moved to whole records by the rule above); with
    ``include_path``, the tuple (lists, paths). ``config`` names the
    configuration or preset the tasks load plugins from. The keys are
    named after the file, its size and time, like dask's own read_bytes.
    """
    files = _expand(paths)
    out = _ranges(files, blocks_per_partition, delimiter, config, named=True)
    return (out, files) if include_path else out


def _decode(block: bytes, encoding: str, errors: str, linedelimiter: Optional[str]) -> List[str]:
    """Lines as dask.bag.read_text makes them."""
    text = block.decode(encoding, errors)
    if linedelimiter in (None, "", "\n", "\r", "\r\n"):
        return list(io.StringIO(text, newline=linedelimiter))
    if not text:
        return []
    parts = text.split(linedelimiter)
    return [part + linedelimiter for part in parts[:-1]] + (
        parts[-1:] if not text.endswith(linedelimiter) else [])


def _attach(lines: List[str], path: str) -> List[Tuple[str, str]]:
    return [(line, path) for line in lines]


def read_text(paths: Paths, blocks_per_partition: int = 16, encoding: str = "utf-8",
              errors: str = "strict", linedelimiter: Optional[str] = None,
              config: Optional[str] = None, include_path: bool = False) -> db.Bag:
    """A dask.bag of the lines of mirt containers, partitioned by blocks.

    Lines keep their ending, as with dask.bag.read_text (whose conventions
    for ``encoding``, ``errors`` and ``linedelimiter`` apply). Each
    partition covers ``blocks_per_partition`` blocks of one file; a line
    crossing a partition boundary belongs to the partition it starts in.
    """
    delimiter = (linedelimiter or "\n").encode(encoding)
    files = _expand(paths)
    # Fresh keys each time, as dask.bag.read_text's: a second count reads
    # the files again instead of finding results still held by the cluster.
    ranges = _ranges(files, blocks_per_partition, delimiter, config, named=False)
    parts = []
    for path, file_ranges in zip(files, ranges):
        for block in file_ranges:
            lines = dask.delayed(_decode)(block, encoding, errors, linedelimiter)
            parts.append(dask.delayed(_attach)(lines, path) if include_path else lines)
    return db.from_delayed(parts)
