"""Saving and loading an agent's complete state: ``save``/``load`` on files, ``dumps``/``loads``
on bytes. The format is described in ``docs/checkpoint-format.md``."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
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


def _fsync_directory(directory: Path) -> None:
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _new_file_mode(path: Path) -> int:
    """The mode a plain ``open(path, "w")`` would give: the existing file's, else 0o666 less the
    umask."""
    try:
        return path.stat().st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def save(agent: VeltoActorCritic, path: PathLike) -> None:
    """Writes the agent's complete state to ``path`` (a NumPy ``.npz`` file), atomically.

    The state goes to a temporary file in the same directory, which is flushed and fsynced and
    then renamed over ``path``; the directory is fsynced too. A crash or kill at any moment
    leaves the earlier file at ``path`` whole (a killed save may leave its temporary file,
    ``.<name>.*.tmp``, behind). The agent is not changed. ``load(path)`` gives an agent equal to
    this one in every bit, which continues with the same actions.

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
    target = Path(os.fspath(path))
    directory = target.parent
    descriptor, temporary = tempfile.mkstemp(
        prefix=f".{target.name}.", suffix=".tmp", dir=directory
    )
    try:
        try:
            os.fchmod(descriptor, _new_file_mode(target))
            write_checkpoint(agent, descriptor)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, target)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    _fsync_directory(directory)


def load(path: PathLike) -> VeltoActorCritic:
    """Reads an agent saved by :func:`save` (or written by :func:`dumps` to a file).

    Everything is checked before an agent is built: format name and version, every member's
    presence, dtype and shape, equal ``num_features`` everywhere, trace-list indices in range,
    engine positions in [0, 624], and that the agent fits in memory. A damaged or foreign file
    raises :class:`CheckpointError` (a ValueError) naming the file and the member; an agent too
    large for the machine raises MemoryError. Each array is read straight into the new agent's
    memory and checked against its CRC-32. Nothing is unpickled.

    Examples:

        agent = velto_kit.load("agent.npz")
    """
    label = os.fspath(path)
    with open(path, "rb") as stream:
        return read_checkpoint(stream, FileSource(stream), str(label))


def dumps(agent: VeltoActorCritic) -> bytes:
    """The agent's complete state as bytes: the content :func:`save` writes to a file.

    Examples:

        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(16, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> twin = velto_kit.loads(velto_kit.dumps(agent))
        >>> twin.step([3], 0.0, 0.9) == agent.step([3], 0.0, 0.9)
        True
    """
    _native.num_units(agent)
    return checkpoint_bytes(agent)


def loads(data: bytes | bytearray | memoryview) -> VeltoActorCritic:
    """The agent held in ``data`` (from :func:`dumps`), checked like :func:`load`; errors name
    ``<bytes>`` as the file. A str or path raises TypeError pointing to :func:`load`.

    Examples:

        twin = velto_kit.loads(velto_kit.dumps(agent))
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
