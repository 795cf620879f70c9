"""Writes an agent's complete state as a NumPy ``.npz`` archive (see ``checkpoint_layout``).

The zip is written here rather than through ``zipfile``: every size is known before a byte is
written, so each member goes out in one piece straight from the agent's memory, its CRC-32 taken
by the kit's folded checksum (several times faster than zlib's, which would otherwise take longer
than the write itself). Members are stored uncompressed; zip64 records appear only where a size or
an offset needs them.

The file is laid out here (records, ``.npy`` headers, offsets), with each member of the agent
named by where it lives rather than read; the kit's ``assemble_agent`` and ``write_agent`` then
read every member in one call that holds the interpreter lock, so that the checkpoint is the
agent's state at one moment even while other threads step it. Only the trace lists' lengths can
change the layout: when a step on another thread changed one in between, the call reports it and
the layout is made again; after a few such tries the agent is copied in one piece (taking its
size in memory) and the copy is written.
"""

from __future__ import annotations

import functools
import io
import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np
from numpy.lib import format as npy
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
from velto_kit.state.checkpoint_layout import (
    ENGINE_WORDS,
    FLOAT,
    FORMAT_NAME,
    HEADER_FIELDS,
    INT,
    VERSION,
    WORD,
    learner_prefix,
)

# What an agent's member piece names, as the kit's checkpoint writer numbers it.
_TRACE_LIST, _ARRAY, _SCALAR, _ENGINE_WORDS, _ENGINE_POSITION = range(5)
# Layouts tried before the agent is copied instead (each try fails only when another thread's step
# changed a trace list's length between the layout and the write).
ATTEMPTS = 8

# A member piece: (learner, what, index, bytes) of the agent's memory.
Source = tuple[int, int, int, int]


def _learner_members(
    agent: VeltoActorCritic, learner: int
) -> Iterator[tuple[str, np.dtype, tuple[int, ...], Source]]:
    critic = learner == _native.CRITIC
    prefix = learner_prefix(learner)
    length = _native.trace_list(agent, learner).size
    yield prefix + "trace_list", INT, (length,), (learner, _TRACE_LIST, 0, INT.itemsize * length)
    num_features = _native.num_features(agent)
    names = _native.CRITIC_ARRAYS if critic else _native.UNIT_ARRAYS
    for index, name in enumerate(names):
        size = FLOAT.itemsize * num_features
        yield prefix + name, FLOAT, (num_features,), (learner, _ARRAY, index, size)
    names = _native.CRITIC_SCALARS if critic else _native.UNIT_SCALARS
    for index, name in enumerate(names):
        yield prefix + name, FLOAT, (), (learner, _SCALAR, index, FLOAT.itemsize)
    if not critic:
        words = (learner, _ENGINE_WORDS, 0, WORD.itemsize * ENGINE_WORDS)
        yield prefix + "rng_state", WORD, (ENGINE_WORDS,), words
        yield prefix + "rng_position", INT, (), (learner, _ENGINE_POSITION, 0, INT.itemsize)


def entries(agent: VeltoActorCritic) -> list[Entry]:
    """Every member of the agent's checkpoint, in the file's order, checksums not yet taken.

    The header's members come as bytes, the learners' as pieces of the agent's memory (not yet
    read).

    Args:
        agent: The agent to be written.

    Returns:
        The members, each with its name and ``.npy`` header.

    Raises:
        TypeError: ``agent`` is no initialised agent.
    """
    num_actions = _native.num_units(agent)
    values = [
        np.array(FORMAT_NAME),
        np.array(VERSION, dtype=np.int32),
        np.array(_native.num_features(agent), dtype=np.int32),
        np.array(num_actions, dtype=np.int32),
    ]
    members = []
    for field, value in zip(HEADER_FIELDS, values, strict=True):
        array = value.astype(field.dtype)
        members.append(Entry((field.name + ".npy").encode(), npy_header(array), array.tobytes()))
    for learner in [_native.CRITIC, *range(num_actions)]:
        for name, dtype, shape, source in _learner_members(agent, learner):
            header = _npy_header_of(dtype.str, shape)
            members.append(Entry((name + ".npy").encode(), header, source))
    return members


def npy_header(array: np.ndarray) -> bytes:
    """The ``.npy`` header (format 1.0) that NumPy writes before this array's data.

    Args:
        array: A little-endian array in C order.

    Returns:
        The header, padded as NumPy pads it.
    """
    # Every member is a plain little-endian array, whose description is its dtype string.
    return _npy_header_of(array.dtype.str, array.shape)


@functools.lru_cache(maxsize=256)
def _npy_header_of(descr: str, shape: tuple[int, ...]) -> bytes:
    """The header of a C-ordered array of this dtype and shape (most members share a few)."""
    buffer = io.BytesIO()
    npy.write_array_header_1_0(buffer, {"descr": descr, "fortran_order": False, "shape": shape})
    return buffer.getvalue()


# The zip records, little-endian as the format has them; "Z64" marks sizes that only zip64 holds.
_LOCAL = struct.Struct("<IHHHHHIIIHH")
_CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
_END = struct.Struct("<IHHHHIIH")
_END64 = struct.Struct("<IQHHIIQQQQ")
_LOCATOR64 = struct.Struct("<IIQI")
_EXTRA64_HEADER = struct.Struct("<HH")
_LIMIT32 = 0xFFFFFFFF
_LIMIT16 = 0xFFFF
# 1980-01-01 00:00, the earliest time a zip can hold: a fixed stamp, so that equal agents give
# equal bytes.
_DOS_DATE = (0 << 9) | (1 << 5) | 1
_DOS_TIME = 0
_UNIX_REGULAR_FILE = 0o100644 << 16


@dataclass
class Entry:
    """One stored member: its name, ``.npy`` header and data, and what the zip records of it.

    Attributes:
        name: The member's file name in the archive, ``.npy`` included.
        header: The member's ``.npy`` header.
        data: The data after the header: bytes, or the piece of the agent's memory that holds
            it.
        crc: The CRC-32 of header and data (0 until it is taken, when the file is written).
        offset: Where the member's local header begins in the file.
    """

    name: bytes
    header: bytes
    data: bytes | Source
    crc: int = 0
    offset: int = 0

    @property
    def size(self) -> int:
        """The member's size in bytes, header and data (stored uncompressed: both zip sizes)."""
        data_size = len(self.data) if isinstance(self.data, bytes) else self.data[3]
        return len(self.header) + data_size

    def local_header(self) -> bytes:
        """The local header that goes before the member's bytes.

        Returns:
            The record, its name and, for a member too large for 32-bit sizes, the zip64 ones.
        """
        zip64 = self.size >= _LIMIT32
        extra = (
            _EXTRA64_HEADER.pack(1, 16) + struct.pack("<QQ", self.size, self.size) if zip64 else b""
        )
        size32 = _LIMIT32 if zip64 else self.size
        record = _LOCAL.pack(
            0x04034B50,
            45 if zip64 else 20,
            0,
            0,
            _DOS_TIME,
            _DOS_DATE,
            self.crc,
            size32,
            size32,
            len(self.name),
            len(extra),
        )
        return record + self.name + extra

    def central_header(self) -> bytes:
        """The member's entry in the central directory.

        Returns:
            The record, its name and, where the size or the offset needs them, the zip64 fields.
        """
        big_size = self.size >= _LIMIT32
        big_offset = self.offset >= _LIMIT32
        fields = ([self.size, self.size] if big_size else []) + (
            [self.offset] if big_offset else []
        )
        extra = b""
        if fields:
            extra = _EXTRA64_HEADER.pack(1, 8 * len(fields)) + struct.pack(
                f"<{len(fields)}Q", *fields
            )
        version = 45 if fields else 20
        size32 = _LIMIT32 if big_size else self.size
        record = _CENTRAL.pack(
            0x02014B50,
            (3 << 8) | version,
            version,
            0,
            0,
            _DOS_TIME,
            _DOS_DATE,
            self.crc,
            size32,
            size32,
            len(self.name),
            len(extra),
            0,
            0,
            0,
            _UNIX_REGULAR_FILE,
            _LIMIT32 if big_offset else self.offset,
        )
        return record + self.name + extra


def directory(entries: list[Entry], start: int) -> bytes:
    """The central directory, which begins at offset `start`, and the end records.

    Args:
        entries: The members, their offsets set.
        start: Where the directory begins in the file.

    Returns:
        The directory, with zip64 end records where the count, the size or `start` needs them.
    """
    central = b"".join(entry.central_header() for entry in entries)
    count = len(entries)
    records = [central]
    if count >= _LIMIT16 or len(central) >= _LIMIT32 or start >= _LIMIT32:
        end64_offset = start + len(central)
        records.append(
            _END64.pack(
                0x06064B50,
                _END64.size - 12,
                (3 << 8) | 45,
                45,
                0,
                0,
                count,
                count,
                len(central),
                start,
            )
        )
        records.append(_LOCATOR64.pack(0x07064B50, 0, end64_offset, 1))
    records.append(
        _END.pack(
            0x06054B50,
            0,
            0,
            min(count, _LIMIT16),
            min(count, _LIMIT16),
            min(len(central), _LIMIT32),
            min(start, _LIMIT32),
            0,
        )
    )
    return b"".join(records)


# Where a CRC-32 sits in a local and in a central header.
_LOCAL_CRC = 14
_CENTRAL_CRC = 16


Layout = tuple[list[bytes | Source], list[int], list[tuple[int, int]]]


def layout(agent: VeltoActorCritic) -> Layout:
    """The checkpoint's layout: what the kit's ``write_agent`` and ``assemble_agent`` take.

    Args:
        agent: The agent to be written.

    Returns:
        The checkpoint as pieces (bytes, or pieces of the agent's memory); each piece's member
        (-1 for the zip records, which no member's CRC-32 covers); and where each member's
        CRC-32 goes in the local and central headers, which are laid out first with zeros there.

    Raises:
        TypeError: ``agent`` is no initialised agent.
    """
    members = entries(agent)
    pieces: list[bytes | Source] = []
    groups: list[int] = []
    slots: list[tuple[int, int]] = []
    offset = 0
    for group, entry in enumerate(members):
        entry.offset = offset
        local = entry.local_header()
        slots.append((offset + _LOCAL_CRC, group))
        pieces += [local, entry.header, entry.data]
        groups += [-1, group, group]
        offset += len(local) + entry.size
    position = offset
    for group, entry in enumerate(members):
        slots.append((position + _CENTRAL_CRC, group))
        position += len(entry.central_header())
    pieces.append(directory(members, offset))
    groups.append(-1)
    return pieces, groups, slots


def _at_one_moment[T](
    agent: VeltoActorCritic, emit: Callable[[VeltoActorCritic, Layout], T | None]
) -> T:
    """What `emit` makes of the agent with a layout that still fits it (see the module's text).

    Raises:
        RuntimeError: The agent's private copy changed while it was written (which no other
            thread can do).
    """
    for _ in range(ATTEMPTS):
        result = emit(agent, layout(agent))
        if result is not None:
            return result
    private = _native.snapshot(agent)
    result = emit(private, layout(private))
    if result is None:
        raise RuntimeError("the copy of the agent changed while it was written")
    return result


def checkpoint_bytes(agent: VeltoActorCritic) -> bytes:
    """The whole checkpoint as one bytes object.

    Each member is copied into it once and its checksum taken from the copy (the kit's
    ``assemble_agent``).

    Args:
        agent: The agent to write.

    Returns:
        The checkpoint's bytes, the agent's state at one moment.

    Raises:
        TypeError: ``agent`` is no initialised agent.
        MemoryError: The bytes, or a copy of the agent, do not fit in memory.
    """
    return _at_one_moment(agent, lambda chosen, plan: _native.assemble_agent(chosen, *plan))


def write_checkpoint(agent: VeltoActorCritic, descriptor: int) -> None:
    """Writes the checkpoint to an open file descriptor, from the agent's own memory.

    Args:
        agent: The agent to write.
        descriptor: A file descriptor open for writing, at the position the checkpoint starts.

    Raises:
        TypeError: ``agent`` is no initialised agent.
        MemoryError: A copy of the agent that the write needs does not fit in memory.
        OSError: A write fails (the file then holds part of a checkpoint).
    """

    def write(chosen: VeltoActorCritic, plan: Layout) -> bool | None:
        return _native.write_agent(chosen, descriptor, *plan) or None

    _at_one_moment(agent, write)
