"""One writer per run folder, and no run silently written over another.

A run that writes run checkpoints holds an exclusive ``fcntl.flock`` lock on the empty file
``.run.lock`` in its folder for as long as it runs. A second run or resume of the same folder
(in this process or another) stops at once with ``RunFolderInUse``, naming the folder and the
process that holds it, instead of both writing the same files: the second would replace the log
the first is still appending to, and the first would go on writing into a file no longer there.
The lock goes with its holder: the system releases it when the process ends, however it ends, so
a killed run leaves nothing to clean up. The lock file itself stays (removing it would let two
runs lock two different files of the same name).

A fresh run into a folder that already holds a run checkpoint stops with ``RunFolderHasRun``
unless told to overwrite; with ``overwrite`` the earlier run's checkpoints are removed first,
so that a later resume cannot continue the earlier run with the new run's log.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
from pathlib import Path

from velto_kit.state.run_state import checkpoint_files, run_checkpoints

LOCK_NAME = ".run.lock"


class RunFolderError(RuntimeError):
    """A run folder that this run may not write: in use, or holding another run."""


class RunFolderInUse(RunFolderError):
    """Another run holds the run folder's lock; the message names the folder and its process."""


class RunFolderHasRun(RunFolderError):
    """A fresh run's folder holds an earlier run's checkpoints and overwriting was not asked."""


class RunFolderLock:
    """The exclusive lock of one run folder, held until ``release`` (or the process ends).

    Attributes:
        directory: The locked folder.

    Example:
        >>> import tempfile
        >>> folder = Path(tempfile.mkdtemp())
        >>> with RunFolderLock(folder):
        ...     RunFolderLock(folder)
        Traceback (most recent call last):
        ...
        velto_kit.state.run_folder.RunFolderInUse: the run folder ... is in use by another run ...
    """

    def __init__(self, directory: Path | str) -> None:
        """Takes the folder's lock, creating the folder and its lock file where missing.

        Args:
            directory: The run folder.

        Raises:
            RunFolderInUse: Another run (of this process or another) holds the lock.
            OSError: The folder or its lock file cannot be created or opened (a symbolic link
                in the lock file's place is not followed).
        """
        self._descriptor: int | None = None
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        path = self.directory / LOCK_NAME
        flags = os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW
        descriptor = os.open(path, flags, 0o666)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = _lock_holder(descriptor)
            os.close(descriptor)
            raise RunFolderInUse(
                f"the run folder {self.directory} is in use by another run"
                f" ({'process ' + str(holder) if holder else 'a process'} holds {path}); wait for"
                " it to end, or give this run another folder"
            ) from None
        except BaseException:
            os.close(descriptor)
            raise
        self._descriptor = descriptor

    def release(self) -> None:
        """Releases the lock; releasing again does nothing."""
        descriptor = getattr(self, "_descriptor", None)
        if descriptor is not None:
            self._descriptor = None
            os.close(descriptor)  # closing the last descriptor releases a flock

    def __enter__(self) -> RunFolderLock:
        """Returns the lock itself."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Releases the lock."""
        self.release()

    def __del__(self) -> None:
        """Releases the lock of a run that was dropped without being finished or closed."""
        self.release()


def _lock_holder(descriptor: int) -> int | None:
    """The process holding a flock on the file open at `descriptor`, from ``/proc/locks``.

    The lock file stays empty (it is the same in every run's folder); the system's own table of
    locks says who holds it. None where the table cannot be read or names no holder.
    """
    info = os.fstat(descriptor)
    own = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"
    with contextlib.suppress(OSError):
        with open("/proc/locks", encoding="ascii", errors="replace") as table:
            for line in table:
                fields = line.split()
                # "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
                if len(fields) >= 6 and fields[1] == "FLOCK" and fields[5] == own:
                    if fields[4].isdigit():
                        return int(fields[4])
    return None


def claim_run_folder(directory: Path | str, *, fresh: bool, overwrite: bool) -> RunFolderLock:
    """Locks a run's checkpoint folder for the run, and clears it for a fresh run if told to.

    Args:
        directory: The run's checkpoint folder, created if missing.
        fresh: Whether the run starts afresh (no ``resume``).
        overwrite: For a fresh run into a folder holding run checkpoints: remove them (their
            manifests first, oldest first, then the files they name); without it such a run
            stops.

    Returns:
        The folder's lock, held until released.

    Raises:
        RunFolderInUse: Another run holds the folder.
        RunFolderHasRun: `fresh`, the folder holds run checkpoints and `overwrite` is false.
        OSError: The folder, its lock or a file to remove cannot be reached.

    Example:
        >>> import tempfile
        >>> lock = claim_run_folder(tempfile.mkdtemp(), fresh=True, overwrite=False)
        >>> lock.release()
    """
    lock = RunFolderLock(directory)
    try:
        existing = run_checkpoints(directory)
        if fresh and existing:
            if not overwrite:
                raise RunFolderHasRun(
                    f"the run folder {directory} holds another run's checkpoints (the newest"
                    f" {existing[-1].name}): resume it, or pass overwrite=True"
                    " (examples/train.py: --overwrite) to remove them and start afresh"
                )
            remove_run_checkpoints(directory)
    except BaseException:
        lock.release()
        raise
    return lock


def remove_run_checkpoints(directory: Path | str) -> list[Path]:
    """Removes every run checkpoint of `directory`: the manifests, oldest first, then their files.

    A kill part way leaves the newest checkpoints intact (a resume then continues the earlier
    run, as before the removal began). Only regular files in the folder that a manifest names
    are removed, and nothing else.

    Args:
        directory: The run's checkpoint folder.

    Returns:
        The files removed, manifests first.

    Raises:
        OSError: A file cannot be removed.

    Example:
        >>> remove_run_checkpoints("no-such-folder")
        []
    """
    removed = []
    for manifest in run_checkpoints(directory):
        named = checkpoint_files(manifest)
        manifest.unlink()
        removed.append(manifest)
        for path in named:
            if path.is_file() and not path.is_symlink() and not _still_named(path, directory):
                path.unlink()
                removed.append(path)
    return removed


def _still_named(path: Path, directory: Path | str) -> bool:
    return any(path in checkpoint_files(manifest) for manifest in run_checkpoints(directory))


def prune_run_checkpoints(current: Path | str, keep_last: int) -> list[Path]:
    """Removes the run checkpoints older than the last `keep_last`, never `current` itself.

    Called right after the checkpoint whose manifest is `current` was written. Of the folder's
    checkpoints numbered below it, the newest ``keep_last - 1`` are kept with it; the others'
    manifests are removed first, oldest first, then every file they named that no remaining
    manifest names. Checkpoints numbered above `current` (left by a killed run that this one
    resumed before) are left alone: the run writes over them as it reaches them.

    Args:
        current: The manifest just written.
        keep_last: The run checkpoints to keep, `current` included; at least 1.

    Returns:
        The files removed, manifests first.

    Raises:
        ValueError: `keep_last` is below 1.
        OSError: A file cannot be removed.

    Example:
        >>> prune_run_checkpoints("no-such-folder/run-000004.json", 2)
        []
    """
    if keep_last < 1:
        raise ValueError(f"keep_last must be at least 1, not {keep_last}")
    current = Path(current)
    manifests = run_checkpoints(current.parent)
    older = [path for path in manifests if path.name < current.name]
    if current not in manifests:
        return []
    drop = older[: max(len(older) - (keep_last - 1), 0)]
    named = [file for manifest in drop for file in checkpoint_files(manifest)]
    removed = []
    for manifest in drop:
        manifest.unlink()
        removed.append(manifest)
    kept = {
        file for manifest in run_checkpoints(current.parent) for file in checkpoint_files(manifest)
    }
    for file in dict.fromkeys(named):
        if file not in kept and file.is_file() and not file.is_symlink():
            file.unlink()
            removed.append(file)
    return removed
