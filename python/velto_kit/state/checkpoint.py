"""Saving and loading an agent's complete state.

``save`` and ``load`` work on files, ``dumps`` and ``loads`` on bytes; all four share one format,
described in ``docs/checkpoint-format.md``.
"""

from __future__ import annotations

import os
from pathlib import Path

from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
from velto_kit.state.atomic_files import replace_atomically
from velto_kit.state.checkpoint_reader import (
    BytesSource,
    CheckpointError,
    FileSource,
    read_checkpoint,
)
from velto_kit.state.checkpoint_writer import checkpoint_bytes, write_checkpoint

__all__ = ["CheckpointError", "dumps", "load", "loads", "save"]

PathLike = str | os.PathLike[str]
# A zip archive's end record alone: no checkpoint is shorter.
_SMALLEST_ZIP = 22


def save(agent: VeltoActorCritic, path: PathLike) -> None:
    """Writes the agent's complete state to ``path`` (a NumPy ``.npz`` file), atomically.

    The state goes to a temporary file in the same directory, which is flushed and fsynced and
    then renamed over ``path``; the directory is fsynced too. A crash or kill at any moment
    leaves the earlier file at ``path`` whole (a killed save may leave its temporary file,
    ``.<name>.*.tmp``, behind). The agent is not changed. [load][velto_kit.load] of the file gives
    an agent equal to this one in every bit, which continues with the same actions.

    The file holds the agent's state at one moment between two steps, also while other threads
    step it: the agent is read and written in one call that holds the interpreter lock (which
    every step holds), so other Python threads wait for the save. Rarely, when other threads'
    steps keep changing its trace lists' lengths while the save lays out the file, the agent is
    copied in one piece first (memory of the agent's size, for the save's duration). A save that
    fails, MemoryError included, leaves the earlier file in place.

    Args:
        agent: The agent to save.
        path: The file to write (a str or path-like object); an existing file is replaced only
            by a complete checkpoint.

    Raises:
        TypeError: ``agent`` is no initialised agent, or ``path`` is no str or path-like object
            (nothing is written).
        MemoryError: A copy of the agent that the save needs does not fit in memory.
        OSError: The file cannot be created, written or renamed into place (its directory is
            missing, the disk is full, no permission), or ``path`` is a symbolic link (errno
            ELOOP: neither replaced by a file nor written through).

    Examples:
        >>> import os, tempfile, velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(16, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> path = os.path.join(tempfile.mkdtemp(), "agent.npz")
        >>> velto_kit.save(agent, path)
        >>> restored = velto_kit.load(path)
        >>> restored.step([3], 0.0, 0.9) == agent.step([3], 0.0, 0.9)
        True
    """
    _native.num_units(agent)  # TypeError before any file is touched
    replace_atomically(
        Path(os.fspath(path)), lambda descriptor: write_checkpoint(agent, descriptor)
    )


def load(path: PathLike) -> VeltoActorCritic:
    """Reads the agent in a checkpoint file, checking the whole file first.

    The file is one that [save][velto_kit.save] wrote, or the bytes of [dumps][velto_kit.dumps]
    written to a file. Everything is checked before an agent is built: format name and version,
    every member's presence, dtype and shape, equal ``num_features`` everywhere, trace-list
    indices in range, engine positions in [0, 624], and that the agent fits in memory. Each array
    is read straight into the new agent's memory and checked against its CRC-32. Nothing is
    unpickled.

    Args:
        path: The checkpoint file (a str or path-like object).

    Returns:
        A new agent equal in every bit to the one saved, which continues with the same actions.

    Raises:
        CheckpointError: The file is no valid checkpoint (damaged, truncated, foreign or of
            another format version); the message names the file and the member at fault.
        MemoryError: The agent the file describes does not fit in memory (found before it is
            built).
        OSError: The file cannot be opened or read (``FileNotFoundError`` when it is missing).
        TypeError: ``path`` is no str or path-like object.

    Examples:
        >>> import os, tempfile, velto_kit
        >>> path = os.path.join(tempfile.mkdtemp(), "bad.npz")
        >>> with open(path, "wb") as file:
        ...     _ = file.write(b"no checkpoint" * 4)
        >>> try:
        ...     velto_kit.load(path)
        ... except velto_kit.CheckpointError as error:
        ...     print(error)
        /...bad.npz: the archive: File is not a zip file
    """
    label = os.fspath(path)
    with open(path, "rb") as stream:
        return read_checkpoint(stream, FileSource(stream), str(label))


def dumps(agent: VeltoActorCritic) -> bytes:
    """The agent's complete state as bytes: the content [save][velto_kit.save] writes to a file.

    Like ``save``, the bytes hold the agent's state at one moment between two steps, also while
    other threads step it (other Python threads wait meanwhile). Equal agents give equal bytes.
    ``pickle``, ``copy.copy`` and ``copy.deepcopy`` of an agent go through this function. The
    agent is not changed.

    Args:
        agent: The agent to serialise.

    Returns:
        The checkpoint, which [loads][velto_kit.loads] turns back into an agent equal to this
        one in every bit.

    Raises:
        TypeError: ``agent`` is no initialised agent.
        MemoryError: The bytes, or a copy of the agent that the call needs, do not fit in
            memory.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(16, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> twin = velto_kit.loads(velto_kit.dumps(agent))
        >>> twin.step([3], 0.0, 0.9) == agent.step([3], 0.0, 0.9)
        True
    """
    _native.num_units(agent)  # TypeError for an object whose __init__ never ran
    return checkpoint_bytes(agent)


def loads(data: bytes | bytearray | memoryview) -> VeltoActorCritic:
    """The agent held in checkpoint bytes, checked like a file by [load][velto_kit.load].

    The bytes are read in place (not copied first); errors name ``<bytes>`` as the file.

    Args:
        data: A checkpoint as a bytes-like object, such as [dumps][velto_kit.dumps] gives.

    Returns:
        A new agent equal in every bit to the one the bytes were made of.

    Raises:
        CheckpointError: ``data`` is no valid checkpoint (too short, damaged, foreign or of
            another format version); the message names the member at fault.
        MemoryError: The agent the bytes describe does not fit in memory (found before it is
            built).
        TypeError: ``data`` is a str or path (the message points to ``load``), or no
            contiguous bytes-like object.

    Examples:
        >>> import velto_kit
        >>> try:
        ...     velto_kit.loads(b"abc")
        ... except velto_kit.CheckpointError as error:
        ...     print(error)
        <bytes>: no checkpoint: 3 bytes, fewer than the smallest zip archive (22 bytes)
    """
    if isinstance(data, (str, os.PathLike)):
        raise TypeError(
            f"loads reads the bytes that dumps gives, not a path: use velto_kit.load({data!r})"
            " to read a checkpoint file"
        )
    view = memoryview(data).cast("B")
    if view.nbytes < _SMALLEST_ZIP:
        raise CheckpointError(
            f"<bytes>: no checkpoint: {view.nbytes} bytes, fewer than the smallest zip archive"
            f" ({_SMALLEST_ZIP} bytes)"
        )
    source = BytesSource(view)
    return read_checkpoint(source, source, "<bytes>")  # type: ignore[arg-type]
