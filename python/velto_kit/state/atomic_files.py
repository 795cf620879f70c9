"""Files that are either whole or absent: written to a temporary file, fsynced, renamed into place.

A kill at any moment leaves the earlier file (or none) at the path, never a part of the new one;
the directory is fsynced, so the rename itself survives a crash of the machine.
"""

from __future__ import annotations

import hashlib
import os
import tempfile
from pathlib import Path


def fsync_directory(directory: Path) -> None:
    """Makes the directory's entries (a rename, a new file) durable.

    Args:
        directory: The directory whose entries are flushed to disk.

    Raises:
        OSError: `directory` cannot be opened (missing, not a directory) or flushed.
    """
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_atomically(path: Path, data: bytes) -> None:
    """Writes `data` to `path` whole or not at all.

    The bytes go to a temporary file beside `path`, which is flushed and renamed over it; the
    directory is flushed after the rename. On any failure the temporary file is removed and the
    earlier file at `path` (if any) is left as it was.

    Args:
        path: Where the file ends up; its directory must exist.
        data: The file's whole content.

    Raises:
        OSError: The file cannot be created, written, flushed or renamed (its directory is
            missing, the disk is full, no permission).

    Example:
        >>> folder = Path(tempfile.mkdtemp())
        >>> write_atomically(folder / "a.txt", b"one")
        >>> (folder / "a.txt").read_bytes()
        b'one'
    """
    descriptor, temporary = tempfile.mkstemp(
        prefix=f".{path.name}.", suffix=".tmp", dir=path.parent
    )
    try:
        try:
            _write_all(descriptor, data)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    fsync_directory(path.parent)


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view) :]


def file_digest(path: Path) -> str:
    """The SHA-256 of the file at `path`, in hexadecimal.

    Args:
        path: The file to read.

    Returns:
        The 64 hexadecimal digits of the file's SHA-256 digest.

    Raises:
        OSError: The file cannot be opened or read (``FileNotFoundError`` when it is missing).

    Example:
        >>> folder = Path(tempfile.mkdtemp())
        >>> write_atomically(folder / "a", b"")
        >>> file_digest(folder / "a")[:8]
        'e3b0c442'
    """
    with path.open("rb") as stream:
        return hashlib.file_digest(stream, "sha256").hexdigest()
