"""Files that are either whole or absent: written to a temporary file, fsynced, renamed into place.

A kill at any moment leaves the earlier file (or none) at the path, never a part of the new one;
the directory is fsynced, so the rename itself survives a crash of the machine.

A path that is a symbolic link is refused (OSError with errno ELOOP, as ``O_NOFOLLOW`` gives):
renaming over it would silently turn the link into a plain file, and writing through it would
create or replace a file wherever the link points, which in a shared folder is anyone's choice.
The new file keeps an existing file's permission bits but never its set-user-ID, set-group-ID or
sticky bits: those were granted to the old content, not to whatever is written now.
"""

from __future__ import annotations

import errno
import hashlib
import os
import secrets
import stat
import string
from collections.abc import Callable
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


# Random characters in a temporary file's name, and the file's name at most, in bytes (Linux's
# NAME_MAX, where the file system cannot be asked).
_RANDOM_CHARACTERS = 8
_NAME_MAX = 255


def _temporary_name(target: Path) -> str:
    """A temporary file's name, ``.<name>.<random>.tmp``, beside `target`.

    The name is shortened (by whole characters) so that the temporary name fits wherever the
    target's own name does.
    """
    try:
        limit = os.pathconf(target.parent, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = _NAME_MAX
    stem = target.name
    spare = limit - (len(".") + len(".") + _RANDOM_CHARACTERS + len(".tmp"))
    while len(os.fsencode(stem)) > spare and stem:
        stem = stem[:-1]
    random = "".join(
        secrets.choice(string.ascii_lowercase + string.digits) for _ in range(_RANDOM_CHARACTERS)
    )
    return str(target.parent / f".{stem}.{random}.tmp")


def _create_temporary(target: Path) -> tuple[int, str]:
    """Creates and opens a new temporary file beside `target`, returning its descriptor and name.

    The file gets the mode a plain ``open(target, "w")`` would give it: created with 0o666, so
    that the kernel applies the umask (and any default ACL) itself; the process's umask is never
    changed, which would race with files other threads create meanwhile. An existing target's
    permission bits are kept instead, without its set-ID and sticky bits.

    Raises:
        OSError: ELOOP when `target` is a symbolic link (see the module's description).
    """
    try:
        existing = os.lstat(target)
    except FileNotFoundError:
        mode: int | None = None
    else:
        if stat.S_ISLNK(existing.st_mode):
            raise OSError(
                errno.ELOOP,
                "is a symbolic link: a file is replaced atomically only at its own path (give the"
                " link's target instead)",
                str(target),
            )
        mode = stat.S_IMODE(existing.st_mode) & ~(stat.S_ISUID | stat.S_ISGID | stat.S_ISVTX)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    while True:
        temporary = _temporary_name(target)
        try:
            descriptor = os.open(temporary, flags, 0o666)
        except FileExistsError:
            continue
        break
    if mode is not None:
        try:
            os.fchmod(descriptor, mode)
        except BaseException:
            os.close(descriptor)
            Path(temporary).unlink(missing_ok=True)
            raise
    return descriptor, temporary


def replace_atomically(path: Path, write: Callable[[int], None]) -> None:
    """Replaces the file at `path` by what `write` writes to a new file's descriptor, atomically.

    The new file is a temporary one beside `path` (see ``_create_temporary``), fsynced, renamed
    over `path`, and the directory fsynced; on any failure the temporary file is removed and the
    earlier file stays.

    Args:
        path: The file to replace (or create).
        write: Writes the whole content to the open descriptor it is given.

    Raises:
        OSError: The file cannot be created, written, flushed or renamed, or `path` is a
            symbolic link (errno ELOOP).
    """
    descriptor, temporary = _create_temporary(path)
    try:
        try:
            write(descriptor)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    fsync_directory(path.parent)


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
            missing, the disk is full, no permission), or `path` is a symbolic link (errno
            ELOOP).

    Example:
        >>> import tempfile
        >>> folder = Path(tempfile.mkdtemp())
        >>> write_atomically(folder / "a.txt", b"one")
        >>> (folder / "a.txt").read_bytes()
        b'one'
    """
    replace_atomically(path, lambda descriptor: _write_all(descriptor, data))


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
        >>> import tempfile
        >>> folder = Path(tempfile.mkdtemp())
        >>> write_atomically(folder / "a", b"")
        >>> file_digest(folder / "a")[:8]
        'e3b0c442'
    """
    with path.open("rb") as stream:
        return hashlib.file_digest(stream, "sha256").hexdigest()
