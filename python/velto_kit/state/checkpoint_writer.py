"""Writes an agent's complete state as a NumPy ``.npz`` archive (see ``checkpoint_layout``).

The zip is written here rather than through ``zipfile``: every size is known before a byte is
written, so each member goes out in one piece straight from the agent's memory, its CRC-32 taken
by the kit's folded checksum (several times faster than zlib's, which would otherwise take longer
than the write itself). Members are stored uncompressed; zip64 records appear only where a size or
an offset needs them.
"""

from __future__ import annotations

import io
import os
import struct
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
from numpy.lib import format as npy
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
from velto_kit.state.checkpoint_layout import FORMAT_NAME, HEADER_FIELDS, VERSION, learner_prefix


def _learner_members(agent: VeltoActorCritic, learner: int) -> Iterator[tuple[str, np.ndarray]]:
    critic = learner == _native.CRITIC
    prefix = learner_prefix(learner)
    yield prefix + "trace_list", _native.trace_list(agent, learner)
    names = _native.CRITIC_ARRAYS if critic else _native.UNIT_ARRAYS
    for name, view in zip(names, _native.arrays(agent, learner), strict=True):
        yield prefix + name, view
    names = _native.CRITIC_SCALARS if critic else _native.UNIT_SCALARS
    values = _native.scalars(agent, learner)
    for i, name in enumerate(names):
        yield prefix + name, values[i : i + 1].reshape(())
    if not critic:
        words, position = _native.engine(agent, learner)
        yield prefix + "rng_state", words
        yield prefix + "rng_position", np.array(position, dtype=np.int32)


def agent_members(agent: VeltoActorCritic) -> Iterator[tuple[str, np.ndarray]]:
    """(name, array) for every member, in the file's order; per-feature arrays are the agent's
    own memory, not copies."""
    num_actions = _native.num_units(agent)
    header = [
        np.array(FORMAT_NAME),
        np.array(VERSION, dtype=np.int32),
        np.array(_native.num_features(agent), dtype=np.int32),
        np.array(num_actions, dtype=np.int32),
    ]
    for field, value in zip(HEADER_FIELDS, header, strict=True):
        yield field.name, value.astype(field.dtype)
    for learner in [_native.CRITIC, *range(num_actions)]:
        yield from _learner_members(agent, learner)


def npy_header(array: np.ndarray) -> bytes:
    """The ``.npy`` header (format 1.0) that NumPy writes before this array's data."""
    buffer = io.BytesIO()
    npy.write_array_header_1_0(buffer, npy.header_data_from_array_1_0(array))
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
    """One stored member: its name, ``.npy`` header and data (the agent's own memory for the
    per-feature arrays), and what the zip records of it."""

    name: bytes
    header: bytes
    data: memoryview
    crc: int = 0
    offset: int = 0

    @property
    def size(self) -> int:
        return len(self.header) + self.data.nbytes

    def checksum(self) -> None:
        self.crc = _native.crc32(self.data, _native.crc32(self.header))

    def local_header(self) -> bytes:
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


def entries(agent: VeltoActorCritic) -> list[Entry]:
    """Every member of the agent's checkpoint, in the file's order, checksums not yet taken."""
    return [
        Entry(
            (name + ".npy").encode(),
            npy_header(array),
            memoryview(array.reshape(-1).view(np.uint8)),
        )
        for name, array in agent_members(agent)
    ]


def directory(entries: list[Entry], start: int) -> bytes:
    """The central directory, which begins at offset `start`, and the end records."""
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


def checkpoint_bytes(agent: VeltoActorCritic) -> bytes:
    """The whole checkpoint as one bytes object: each array copied into it once, its checksum
    taken from the copy (the kit's ``assemble``), and the checksums then written into the local
    and central headers, which are laid out first with zeros there."""
    members = entries(agent)
    pieces: list[bytes | memoryview] = []
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
    return _native.assemble(pieces, groups, slots)


def _write_all(descriptor: int, pieces: list[bytes | memoryview]) -> None:
    for piece in pieces:
        view = memoryview(piece).cast("B")
        while view.nbytes:
            written = os.write(descriptor, view)
            view = view[written:]


def write_checkpoint(agent: VeltoActorCritic, descriptor: int) -> None:
    """Writes the checkpoint to an open file descriptor, from the agent's own memory."""
    members = entries(agent)
    offset = 0
    for entry in members:
        entry.checksum()
        entry.offset = offset
        local = entry.local_header()
        _write_all(descriptor, [local, entry.header, entry.data])
        offset += len(local) + entry.size
    _write_all(descriptor, [directory(members, offset)])
