"""Writes an agent's complete state as a NumPy ``.npz`` archive (see ``checkpoint_layout``)."""

from __future__ import annotations

import io
import zipfile
from collections.abc import Iterator
from typing import IO

import numpy as np
from numpy.lib import format as npy
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
from velto_kit.checkpoint_layout import FORMAT_NAME, HEADER_FIELDS, VERSION, learner_prefix

# A fixed time stamp, so that equal agents give equal bytes.
_TIMESTAMP = (1980, 1, 1, 0, 0, 0)
# Members at least this large need zip64 size fields, which must be chosen before writing.
_ZIP64_LIMIT = 1 << 31


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


def _write_member(archive: zipfile.ZipFile, name: str, array: np.ndarray) -> None:
    info = zipfile.ZipInfo(name + ".npy", date_time=_TIMESTAMP)
    info.compress_type = zipfile.ZIP_STORED
    info.external_attr = 0o644 << 16
    header = npy_header(array)
    size = len(header) + array.nbytes
    with archive.open(info, "w", force_zip64=size >= _ZIP64_LIMIT) as member:
        member.write(header)
        if array.nbytes:
            # Raw bytes of the array as it lies in memory: no copy of the agent's arrays.
            member.write(memoryview(array.reshape(-1).view(np.uint8)))


def write_checkpoint(agent: VeltoActorCritic, stream: IO[bytes]) -> None:
    """Writes the agent's checkpoint to a binary stream (seekable or not)."""
    with zipfile.ZipFile(stream, "w", compression=zipfile.ZIP_STORED, allowZip64=True) as archive:
        for name, array in agent_members(agent):
            _write_member(archive, name, array)
