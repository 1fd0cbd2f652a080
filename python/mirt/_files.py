"""File objects over mirt containers, for paths and for other file objects."""
from __future__ import annotations

import io
import os
import stat
import tempfile
from typing import IO, Optional

from . import _mirt


def _regular_fd(fileobj) -> Optional[int]:
    """The descriptor of a file object that is a regular file, else None."""
    try:
        fd = fileobj.fileno()
        return fd if stat.S_ISREG(os.fstat(fd).st_mode) else None
    except (AttributeError, OSError, io.UnsupportedOperation, ValueError):
        return None


class MirtReader(io.RawIOBase):
    """The plain bytes of containers, read from a path, a descriptor or a
    binary file object. Seekable when the input is (through the block
    index: only the blocks a read needs are decoded)."""

    def __init__(self, source, context: "_mirt.Context", *, closefd: bool = False) -> None:
        super().__init__()
        self._fd: Optional[int] = None
        self._closefd = closefd
        if isinstance(source, int):
            self._fd = source
            self._seekable = stat.S_ISREG(os.fstat(source).st_mode)
            self._native = _mirt.Reader(context, source)
        else:
            fd = _regular_fd(source)
            if fd is not None:
                # The file object's position is where the container starts.
                self._seekable = True
                self._native = _mirt.Reader(context, fd)
            else:
                self._seekable = bool(getattr(source, "seekable", lambda: False)())
                self._native = _mirt.Reader(context, source, self._seekable)
            self._source = source

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self._seekable

    def readinto(self, buffer) -> int:
        self._checkClosed()
        return self._native.readinto(buffer)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()
        return self._native.seek(offset, whence)

    def tell(self) -> int:
        self._checkClosed()
        return self._native.tell()

    @property
    def blocks_decoded(self) -> int:
        """Blocks decoded since the first seek (0 while reading from the start)."""
        return self._native.blocks_decoded

    def close(self) -> None:
        if self.closed:
            return
        try:
            self._native.close()
            if self._closefd and self._fd is not None:
                os.close(self._fd)
        finally:
            super().close()


class MirtWriter(io.RawIOBase):
    """Writes one container to a descriptor or a binary file object. The
    container is complete once :meth:`close` returns; :meth:`abandon`
    leaves it incomplete."""

    def __init__(self, target, context: "_mirt.Context", *, closefd: bool = False,
                 on_close=None) -> None:
        super().__init__()
        self._closefd = closefd
        self._fd = target if isinstance(target, int) else None
        self._on_close = on_close
        if self._fd is None:
            fd = _regular_fd(target)
            if fd is not None:
                target.flush()
                target = fd
        self._native = _mirt.Writer(context, target)

    def writable(self) -> bool:
        return True

    def write(self, data) -> int:
        self._checkClosed()
        return self._native.write(data)

    def abandon(self) -> None:
        """Stops without finishing: the output is not a valid container."""
        if self.closed:
            return
        try:
            self._native.close()
            self._finish_target(False)
        finally:
            super().close()

    def close(self) -> None:
        if self.closed:
            return
        ok = False
        try:
            self._native.finish()
            ok = True
        finally:
            self._native.close()
            try:
                self._finish_target(ok)
            finally:
                super().close()

    def _finish_target(self, ok: bool) -> None:
        if self._closefd and self._fd is not None:
            os.close(self._fd)
        if self._on_close is not None:
            self._on_close(ok)


class _BufferedWriter(io.BufferedWriter):
    """A buffered writer whose ``with`` block abandons the container when
    it ends by an exception, instead of finishing a partial one."""

    def __exit__(self, kind, value, traceback):
        if kind is not None and not self.closed:
            try:
                self.raw.abandon()
            finally:
                try:
                    super().close()
                except (ValueError, OSError):
                    pass
            return None
        return super().__exit__(kind, value, traceback)


def _open_path_for_writing(path, context):
    """A writer to a temporary name beside ``path``, renamed over it when
    the container is complete and removed when it is not."""
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    prefix = "." + os.path.basename(os.fsdecode(path)) + "."
    fd, temporary = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=os.fsdecode(folder))

    def on_close(ok: bool) -> None:
        if ok:
            os.chmod(temporary, 0o666 & ~_umask())
            os.replace(temporary, path)
        else:
            os.unlink(temporary)

    try:
        return MirtWriter(fd, context, closefd=True, on_close=on_close)
    except BaseException:
        os.close(fd)
        os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def open(file, mode: str = "rb", *, preset: Optional[str] = None, threads: Optional[int] = None,
         block_size: Optional[int] = None, config: Optional[str] = None,
         memory_limit: Optional[int] = None, checksums: bool = True,
         installed_config: bool = True, encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None,
         buffer_size: int = 128 * 1024) -> IO:
    """Opens a mirt container as a file object.

    ``file`` is a path, a descriptor (left open) or a binary file object.
    ``mode`` is "rb" (the default), "wb", or "rt"/"wt" for text through
    io.TextIOWrapper (with ``encoding``, ``errors``, ``newline``). In read
    mode the object is seekable when the input is, through the container's
    block index. A path written is complete under its name only once the
    file is closed; a ``with`` block left by an exception leaves no file.
    """
    from . import _context
    if mode in ("r", "w"):
        mode += "b"
    if mode not in ("rb", "wb", "rt", "wt"):
        raise ValueError(f"invalid mode: {mode!r}")
    if "b" in mode and (encoding or errors or newline):
        raise ValueError("binary mode takes no encoding, errors or newline")
    context = _context(config if config is not None else preset, threads, block_size,
                       memory_limit, checksums, installed_config)
    is_path = isinstance(file, (str, bytes, os.PathLike))
    if mode[0] == "r":
        if is_path:
            fd = os.open(file, os.O_RDONLY | os.O_CLOEXEC)
            try:
                raw = MirtReader(fd, context, closefd=True)
            except BaseException:
                os.close(fd)
                raise
        else:
            raw = MirtReader(file, context)
        binary = io.BufferedReader(raw, buffer_size)
    else:
        raw = _open_path_for_writing(file, context) if is_path else MirtWriter(file, context)
        binary = _BufferedWriter(raw, buffer_size)
    if "t" in mode:
        return io.TextIOWrapper(binary, encoding=encoding, errors=errors, newline=newline)
    return binary
