"""Opening sound files safely: only regular files, never a FIFO or a device.

Reading a FIFO waits for a writer that may never come, and a device may never
end; a folder is no sound file either. `open_regular` tells a path's kind
before opening it, opens a regular file without waiting (so that a FIFO put
there meanwhile cannot block) and checks the kind again on the open file.
Sound-file readers such as soundfile read the open file object, so a path that
is not valid UTF-8 is no obstacle.
"""

from __future__ import annotations

import os
import stat
from typing import BinaryIO

_KINDS = {
    stat.S_IFDIR: "a directory",
    stat.S_IFIFO: "a FIFO",
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFSOCK: "a socket",
}


class NotRegularFile(OSError):
    """The path names something other than a regular file; `kind` says what
    ("a directory", "a FIFO", "a character device", "a block device", "a socket"
    or "a special file")."""

    def __init__(self, path: str | os.PathLike[str], kind: str) -> None:
        super().__init__(f"{os.fspath(path)} is {kind}, not a regular file")
        self.path = path
        self.kind = kind


def file_kind(mode: int) -> str:
    """The kind of file an `st_mode` stands for, as `NotRegularFile.kind` says it."""
    if stat.S_ISREG(mode):
        return "a regular file"
    return _KINDS.get(stat.S_IFMT(mode), "a special file")


def open_regular(path: str | os.PathLike[str], writing: bool = False) -> BinaryIO:
    """The regular file at `path` (or behind a link to one), opened in binary.

    For reading it must exist; for writing it is created when missing and not
    truncated (truncate it once the output is ready). Raises `NotRegularFile`
    for a folder, a FIFO, a device or a socket, and the `OSError` of the system
    otherwise (`FileNotFoundError`, `PermissionError`, a link loop, ...).
    """
    flags = getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    flags |= os.O_WRONLY | os.O_CREAT if writing else os.O_RDONLY
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        if not writing:
            raise
        mode = stat.S_IFREG  # to be created
    if not stat.S_ISREG(mode):
        raise NotRegularFile(path, file_kind(mode))
    fd = os.open(path, flags, 0o666)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotRegularFile(path, file_kind(mode))
        return os.fdopen(fd, "wb" if writing else "rb")
    except BaseException:
        os.close(fd)
        raise


def shown(name: str) -> str:
    """A name as it can be printed on one line, whatever its characters (an
    undecodable byte of a file name shows as its escape)."""
    return name if name.isprintable() else ascii(name)
