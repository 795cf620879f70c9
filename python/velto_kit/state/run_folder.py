"""One writer per run folder, and no run silently written over another.

A run that writes run checkpoints holds an exclusive POSIX record lock (``fcntl.lockf``, the
system's ``F_SETLK``) on the empty file ``.run.lock`` in its folder for as long as it runs. A
second run or resume of the same folder (in this process or another) stops at once with
``RunFolderInUse``, naming the folder and the process that holds it, instead of both writing the
same files: the second would replace the log the first is still appending to, and the first
would go on writing into a file no longer there.

The lock belongs to the process that took it, not to its open file: a child forked by the run
(``multiprocessing``'s default start on Linux) does not hold it, so when the run ends, however it
ends, the lock is gone and a killed run leaves nothing to clean up even while its children live.
Record locks do not exclude one another within one process, so this module keeps its own table
of the folders the process holds and refuses a second claim from it. And closing any descriptor
of a locked file drops the process's lock on it, so the lock file is opened once per claim and
no descriptor of it is closed while the lock is held. The lock file itself stays (removing it
would let two runs lock two different files of the same name).

A fresh run into a folder that already holds a run checkpoint stops with ``RunFolderHasRun``
unless told to overwrite; with ``overwrite`` the earlier run's checkpoints are removed first,
so that a later resume cannot continue the earlier run with the new run's log.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import stat
import sys
import threading
import weakref
from pathlib import Path

from velto_kit.state.run_state import LOCK_NAME, checkpoint_files, run_checkpoints


class RunFolderError(RuntimeError):
    """A run folder that this run may not write: in use, or holding another run."""


class RunFolderInUse(RunFolderError):
    """Another run holds the run folder's lock; the message names the folder and its process."""


class RunFolderHasRun(RunFolderError):
    """A fresh run's folder holds an earlier run's checkpoints and overwriting was not asked."""


# The run folders this process holds, by their lock file's device and inode, and the mutex
# that makes taking one and entering it here one step for the process's threads.
_held: weakref.WeakValueDictionary[tuple[int, int], RunFolderLock] = weakref.WeakValueDictionary()
_held_mutex = threading.RLock()  # reentrant: a dropped lock's __del__ may run within a claim


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
            RunFolderError: The lock file is a symbolic link (it is not followed).
            OSError: The folder or its lock file cannot be created or opened.
        """
        self._descriptor: int | None = None
        self._identity = (0, 0)
        # Descriptors of this lock file opened by refused claims of this process: closing one
        # would drop the lock, so they are closed with it.
        self._refused: list[int] = []
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        path = self.directory / LOCK_NAME
        flags = os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW
        with _held_mutex:
            try:
                descriptor = os.open(path, flags, 0o666)
            except OSError as error:
                if error.errno == errno.ELOOP:
                    raise RunFolderError(
                        f"the run folder's lock file {path} is a symbolic link, which is not"
                        " followed: remove it, or give this run another folder"
                    ) from None
                raise
            info = os.fstat(descriptor)
            identity = (info.st_dev, info.st_ino)
            holder = _held.get(identity)
            if holder is not None:
                holder._refused.append(descriptor)  # noqa: SLF001 - closed with its lock
                raise self._in_use(path, os.getpid())
            try:
                fcntl.lockf(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                os.close(descriptor)  # this process holds no lock on the file to drop
                if error.errno not in (errno.EACCES, errno.EAGAIN):
                    raise
                raise self._in_use(path, _lock_holder(info)) from None
            except BaseException:
                os.close(descriptor)
                raise
            self._descriptor = descriptor
            self._identity = identity
            _held[identity] = self

    def _in_use(self, path: Path, holder: int | None) -> RunFolderInUse:
        return RunFolderInUse(
            f"the run folder {self.directory} is in use by another run"
            f" ({'process ' + str(holder) if holder else 'a process'} holds {path}); wait for"
            " it to end, or give this run another folder"
        )

    def release(self) -> None:
        """Releases the lock; releasing again does nothing."""
        descriptor = getattr(self, "_descriptor", None)
        if descriptor is not None:
            self._descriptor = None
            with _held_mutex:
                _held.pop(self._identity, None)
                for refused in self._refused:
                    os.close(refused)
                self._refused = []
                os.close(descriptor)  # closing releases the process's record lock

    def _forget(self) -> None:
        """In a forked child: drops the parent's descriptors, which hold no lock of the child."""
        for descriptor in [self._descriptor, *self._refused]:
            if descriptor is not None:
                os.close(descriptor)
        self._descriptor = None
        self._refused = []

    def __enter__(self) -> RunFolderLock:
        """Returns the lock itself."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Releases the lock."""
        self.release()

    def __del__(self) -> None:
        """Releases the lock of a run that was dropped without being finished or closed."""
        self.release()


def _forget_parents_locks() -> None:
    """After a fork, in the child: the parent's locks are not the child's to hold or release."""
    global _held_mutex
    _held_mutex = threading.RLock()
    for lock in list(_held.values()):
        lock._forget()  # noqa: SLF001
    _held.clear()


os.register_at_fork(after_in_child=_forget_parents_locks)


def _lock_holder(info: os.stat_result) -> int | None:
    """The process holding a record lock on the file `info` describes, from ``/proc/locks``.

    The lock file stays empty (it is the same in every run's folder); the system's own table of
    locks says who holds it. None where the table cannot be read or names no holder.
    """
    own = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"
    with contextlib.suppress(OSError):
        with open("/proc/locks", encoding="ascii", errors="replace") as table:
            for line in table:
                fields = line.split()
                # "1: POSIX  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
                if len(fields) >= 6 and fields[1] == "POSIX" and fields[5] == own:
                    if fields[4].isdigit():
                        return int(fields[4])
    return None


def claim_run_folder(directory: Path | str, *, fresh: bool, overwrite: bool) -> RunFolderLock:
    """Locks a run's checkpoint folder for the run, and clears it for a fresh run if told to.

    Args:
        directory: The run's checkpoint folder, created if missing.
        fresh: Whether the run starts afresh (no ``resume``).
        overwrite: For a fresh run into a folder holding run checkpoints: remove them (see
            ``remove_run_checkpoints``); without it such a run stops.

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
    """Removes every run checkpoint of `directory`: each manifest, oldest first, then its files.

    A kill part way leaves the newest checkpoints intact (a resume then continues the earlier
    run, as before the removal began). Only regular files in the folder that a manifest names
    are removed, and nothing else: never a symbolic link, a folder, a manifest named as another
    checkpoint's file, or the folder's lock file. Each manifest is read once, so the time grows
    with the number of files. Before anything is removed, one line on standard error says how
    many checkpoints and files go.

    Args:
        directory: The run's checkpoint folder.

    Returns:
        The files removed, in the order removed.

    Raises:
        OSError: A file cannot be removed.

    Example:
        >>> remove_run_checkpoints("no-such-folder")
        []
    """
    manifests = run_checkpoints(directory)
    plan = _removal_plan(manifests, manifests, [])
    if plan:
        print(
            f"removing {_counted(len(manifests), 'checkpoint')} ({_counted(len(plan), 'file')})"
            f" from {directory}",
            file=sys.stderr,
            flush=True,
        )
    return _remove(plan)


def prune_run_checkpoints(current: Path | str, keep_last: int) -> list[Path]:
    """Removes the run checkpoints older than the last `keep_last`, never `current` itself.

    Called right after the checkpoint whose manifest is `current` was written. Of the folder's
    checkpoints numbered below it (by number: ``run-1000000.json`` comes after
    ``run-999999.json``), the newest ``keep_last - 1`` are kept with it; the others go, each
    manifest, oldest first, then every file it named that no remaining manifest names (the
    files removed are those ``remove_run_checkpoints`` would remove). Checkpoints numbered above
    `current` (left by a killed run that this one resumed before) are left alone: the run writes
    over them as it reaches them. Each manifest is read at most once.

    Args:
        current: The manifest just written.
        keep_last: The run checkpoints to keep, `current` included; at least 1.

    Returns:
        The files removed, in the order removed.

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
    if current not in manifests:
        return []
    older = manifests[: manifests.index(current)]  # run_checkpoints orders them by number
    drop = older[: max(len(older) - (keep_last - 1), 0)]
    dropped = set(drop)
    kept = [manifest for manifest in manifests if manifest not in dropped]
    return _remove(_removal_plan(manifests, drop, kept))


def _removal_plan(manifests: list[Path], drop: list[Path], kept: list[Path]) -> list[Path]:
    """The files to remove, in order, to remove the checkpoints `drop` of a folder.

    Each manifest of `drop`, oldest first, is followed by the files it names that no later
    manifest of `drop` and no manifest of `kept` names, that are regular files and are neither
    one of the folder's `manifests` nor its lock file.
    """
    named = {manifest: list(dict.fromkeys(checkpoint_files(manifest))) for manifest in drop}
    spared = {file for manifest in kept for file in checkpoint_files(manifest)}
    spared.update(manifests)
    last = {file: manifest for manifest in drop for file in named[manifest]}
    plan = []
    for manifest in drop:
        plan.append(manifest)
        plan.extend(
            file
            for file in named[manifest]
            if last[file] == manifest
            and file not in spared
            and file.name != LOCK_NAME
            and _is_regular(file)
        )
    return plan


def _is_regular(path: Path) -> bool:
    """Whether `path` is a regular file itself (a symbolic link is not followed)."""
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


def _remove(plan: list[Path]) -> list[Path]:
    for path in plan:
        path.unlink()
    return plan


def _counted(count: int, noun: str) -> str:
    """`count` `noun`s, the number with thousands separators: ``1,602 files``."""
    return f"{count:,} {noun}{'' if count == 1 else 's'}"
