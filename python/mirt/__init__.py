"""mirt: compress and read mirt containers from Python.

One-shot calls (:func:`compress`, :func:`decompress`), file objects
(:func:`open`), the block index of a container (:func:`index`), and, in
:mod:`mirt.dask`, readers that split one container over many workers.

Settings come from the installed mirt configuration (the plugins it loads,
its block size rules), optionally followed by a preset ("fast", "max") or a
configuration file. The codec runs without holding the GIL.
"""
from __future__ import annotations

import io
import os
import threading
from typing import IO, NamedTuple, Optional, Union

from . import _mirt
from ._mirt import (
    ChecksumError,
    ConfigError,
    CorruptError,
    Error,
    FormatError,
    MemoryLimitError,
    OutOfMemoryError,
    StreamError,
    UnavailableError,
    UnsupportedError,
    UsageError,
)
import _mirt_fsspec_hook  # noqa: F401  (registers with fsspec)

__all__ = [
    "compress", "decompress", "open", "index", "Index", "BlockInfo", "MirtReader", "MirtWriter",
    "Error", "ChecksumError", "ConfigError", "CorruptError", "FormatError", "MemoryLimitError",
    "OutOfMemoryError", "StreamError", "UnavailableError", "UnsupportedError", "UsageError",
    "__version__",
]

__version__ = _mirt.version()

PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_contexts: dict = {}
_contexts_lock = threading.Lock()


def _context(config: Optional[str] = None, threads: Optional[int] = None,
             block_size: Optional[int] = None, memory_limit: Optional[int] = None,
             checksums: bool = True, installed_config: bool = True) -> "_mirt.Context":
    """The library context for these settings, made once per process."""
    key = (config, threads, block_size, memory_limit, checksums, installed_config)
    with _contexts_lock:
        context = _contexts.get(key)
        if context is None:
            context = _mirt.Context(config=config, threads=threads, block_size=block_size,
                                    memory_limit=memory_limit, checksums=checksums,
                                    installed_config=installed_config)
            _contexts[key] = context
        return context


def compress(data, preset: Optional[str] = None, threads: Optional[int] = None, *,
             block_size: Optional[int] = None, config: Optional[str] = None,
             checksums: bool = True, installed_config: bool = True) -> bytes:
    """Compresses a bytes-like object into one container.

    ``preset`` names an installed preset ("fast", "max"); ``config`` a
    configuration file instead. ``threads`` defaults to the configuration's,
    else one per processor; the result never depends on it.
    """
    return _context(config if config is not None else preset, threads, block_size, None,
                    checksums, installed_config).compress(data)


def decompress(data, *, config: Optional[str] = None, memory_limit: Optional[int] = None,
               checksums: bool = True, installed_config: bool = True) -> bytes:
    """Expands one container (or several one after another) to bytes.

    Gzip and bzip2 data are expanded as well. Damaged input raises a
    :class:`CorruptError` (or :class:`ChecksumError`), anything else that
    is not a container a :class:`FormatError`.
    """
    return _context(config, None, None, memory_limit, checksums,
                    installed_config).decompress(data)


class BlockInfo(NamedTuple):
    """One block of a container, as its record describes it."""
    plain_offset: int
    plain_length: int
    offset: int
    stored_length: int
    algorithm: int
    container: int
    block_size: int


class Index:
    """The blocks of the containers in a file, found without decoding."""

    def __init__(self, native: "_mirt.Index") -> None:
        self._native = native
        self.size: int = native.size
        self.block_size: int = native.block_size
        self.container_count: int = native.container_count

    def __len__(self) -> int:
        return self._native.block_count

    def __getitem__(self, number: int) -> BlockInfo:
        if number < 0:
            number += len(self)
        if not 0 <= number < len(self):
            raise IndexError("block number out of range")
        return BlockInfo(*self._native.block(number))

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    @property
    def blocks(self) -> list:
        return list(self)

    def find(self, offset: int) -> int:
        """The number of the block holding plain byte ``offset`` (len(self) beyond the end)."""
        return self._native.find(offset)

    def __repr__(self) -> str:
        return (f"<mirt.Index size={self.size} blocks={len(self)} "
                f"block_size={self.block_size} containers={self.container_count}>")


def index(path: PathType) -> Index:
    """Reads the block index of the file at ``path``."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        return Index(_mirt.Index(fd))
    finally:
        os.close(fd)


from ._files import MirtReader, MirtWriter, open  # noqa: E402  (needs _context above)
