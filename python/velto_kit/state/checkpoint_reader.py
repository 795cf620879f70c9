"""Reads a checkpoint back into a new agent, checking everything before the agent is built.

The order of the work is what makes loading safe on any file and lean on a large one:

1. the zip's directory, every member's ``.npy`` header (dtype, shape, declared sizes) and the
   small members (format, version, sizes, trace lists, engines, scalars) are read and checked;
2. the memory the agent will need is checked with the construction's own guard;
3. the agent is built through its constructor, and each per-feature array is read straight from
   the file into the agent's own memory, its CRC-32 checked as it goes.

Nothing is unpickled, members compressed with anything but deflate are refused, and a deflated
member is never expanded past the size its directory entry declares.
"""

from __future__ import annotations

import contextlib
import functools
import io
import math
import os
import struct
import zipfile
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, NoReturn, Protocol

import numpy as np
from numpy.lib import format as npy
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native
from velto_kit.state.checkpoint_layout import (
    ENGINE_WORDS,
    FORMAT_NAME,
    HEADER_FIELDS,
    VERSION,
    WORD,
    Field,
    learner_fields,
    learner_prefix,
    member_names,
)

# Signature, flags and method, then the lengths of the name and of the extra field.
_LOCAL_HEADER = struct.Struct("<4s2xHH16xHH")
# Enough for the headers NumPy writes (64 bytes, or a multiple for long shapes); a longer header
# is read in a second go.
_NPY_PREFIX = 256
_NPY_MAGIC = b"\x93NUMPY"
# NumPy's own bound on a header it will parse.
_NPY_MAX_HEADER = 10000
_LOCAL_SIGNATURE = b"PK\x03\x04"
# Pieces of a member read at a time: small enough to stay in the cache between the read, the
# checksum and the copy into the agent.
_CHUNK = 1 << 20
_UINT64_MAX = 2**64 - 1


class CheckpointError(ValueError):
    """A file or byte string that is no valid checkpoint.

    Raised by [load][velto_kit.load] and [loads][velto_kit.loads] before any agent is built. It
    is a ``ValueError``, so that code catching bad input in general catches it too. The message
    names the file (or ``<bytes>``) and the member at fault, then the fault.

    Examples:
        >>> import velto_kit
        >>> try:
        ...     velto_kit.loads(bytes(64))
        ... except ValueError as error:
        ...     print(type(error).__name__, error)
        CheckpointError <bytes>: the archive: File is not a zip file
    """


def _check_span(offset: int, count: int, size: int) -> None:
    """Refuses a read that would start before the data or past its end, or of a negative count.

    The offsets come from the file, and a negative one would read from the end of bytes (or fail
    with a bare OSError from a file).
    """
    if offset < 0 or count < 0 or offset > size:
        raise ValueError(f"offset {offset} (of {count} bytes) lies outside the {size} bytes")


class Source(Protocol):
    """Random access to a checkpoint's bytes.

    Attributes:
        size: The number of bytes.
    """

    size: int

    def read_at(self, offset: int, count: int) -> bytes:
        """Reads `count` bytes from `offset`, fewer where the data ends.

        Args:
            offset: Where the read starts, 0 to ``size``.
            count: The number of bytes to read, 0 or more.

        Returns:
            The bytes read.

        Raises:
            ValueError: `offset` or `count` is negative, or `offset` lies past the end.
        """
        ...

    def chunks(self, offset: int, count: int) -> Iterator[memoryview]:
        """Yields `count` bytes from `offset` in pieces of at most ``_CHUNK`` bytes.

        Args:
            offset: Where the data starts, 0 to ``size``.
            count: The number of bytes to yield, 0 or more.

        Yields:
            The pieces in order, each valid only until the next is asked for; they stop early
            where the data ends.

        Raises:
            ValueError: `offset` or `count` is negative, or `offset` lies past the end.
        """
        ...


class FileSource:
    """A checkpoint file, read with positioned reads straight into the caller's memory.

    Attributes:
        fd: The open file's descriptor.
        size: The file's size in bytes when it was opened.
    """

    def __init__(self, stream: IO[bytes]) -> None:
        """Reads from the file that `stream` has open.

        Args:
            stream: A file open for reading in binary mode, kept open while this is used.

        Raises:
            OSError: The file's size cannot be found.
        """
        self.fd = stream.fileno()
        self.size = os.fstat(self.fd).st_size

    def read_at(self, offset: int, count: int) -> bytes:
        """Reads `count` bytes from `offset`, fewer where the file ends.

        Args:
            offset: Where the read starts, 0 to ``size``.
            count: The number of bytes to read, 0 or more.

        Returns:
            The bytes read.

        Raises:
            ValueError: `offset` or `count` is negative, or `offset` lies past the end.
            OSError: The read fails.
        """
        _check_span(offset, count, self.size)
        return os.pread(self.fd, count, offset)

    def chunks(self, offset: int, count: int) -> Iterator[memoryview]:
        """Yields `count` bytes from `offset` in pieces of at most ``_CHUNK`` bytes.

        Args:
            offset: Where the data starts, 0 to ``size``.
            count: The number of bytes to yield, 0 or more.

        Yields:
            Views of one reused buffer, each valid only until the next is asked for; they stop
            early where the file ends.

        Raises:
            ValueError: `offset` or `count` is negative, or `offset` lies past the end.
            OSError: A read fails.
        """
        # One buffer small enough to stay in the cache while it is checksummed and copied on.
        _check_span(offset, count, self.size)
        buffer = memoryview(bytearray(min(count, _CHUNK)))
        done = 0
        while done < count:
            got = os.preadv(self.fd, [buffer[: min(_CHUNK, count - done)]], offset + done)
            if got == 0:
                return
            yield buffer[:got]
            done += got


class BytesSource(io.RawIOBase):
    """A checkpoint held in memory, read in place (also the zip reader's file object).

    Attributes:
        size: The number of bytes.
    """

    def __init__(self, data: memoryview) -> None:
        """Reads `data` in place, from its start.

        Args:
            data: The checkpoint's bytes, as a flat view of unsigned bytes.
        """
        super().__init__()
        self._data = data
        self.size = len(data)
        self._position = 0

    def read_at(self, offset: int, count: int) -> bytes:
        """Copies `count` bytes from `offset`, fewer where the data ends.

        Args:
            offset: Where the read starts, 0 to ``size``.
            count: The number of bytes to read, 0 or more.

        Returns:
            A copy of the bytes.

        Raises:
            ValueError: `offset` or `count` is negative, or `offset` lies past the end.
        """
        _check_span(offset, count, self.size)
        return bytes(self._data[offset : offset + count])

    def chunks(self, offset: int, count: int) -> Iterator[memoryview]:
        """Yields `count` bytes from `offset` in pieces of at most ``_CHUNK`` bytes.

        Args:
            offset: Where the data starts, 0 to ``size``.
            count: The number of bytes to yield, 0 or more.

        Yields:
            Views of the data itself, in order; they stop early where the data ends.

        Raises:
            ValueError: `offset` or `count` is negative, or `offset` lies past the end.
        """
        # Slices of the data itself: nothing is copied until the consumer copies.
        _check_span(offset, count, self.size)
        end = min(offset + count, self.size)
        for start in range(offset, end, _CHUNK):
            yield self._data[start : min(start + _CHUNK, end)]

    def readable(self) -> bool:
        """Tells the zip reader that this object can be read.

        Returns:
            True.
        """
        return True

    def seekable(self) -> bool:
        """Tells the zip reader that this object can seek.

        Returns:
            True.
        """
        return True

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Moves the read position, as a file's ``seek`` does.

        A position past the end is allowed (reads there give nothing).

        Args:
            offset: The distance from the point that `whence` names.
            whence: ``io.SEEK_SET`` (the start), ``io.SEEK_CUR`` (the position) or
                ``io.SEEK_END`` (the end).

        Returns:
            The new position.

        Raises:
            ValueError: The new position would be negative.
            KeyError: `whence` is none of the three.
        """
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self.size}[whence]
        if base + offset < 0:
            raise ValueError(f"negative seek position {base + offset}")
        self._position = base + offset
        return self._position

    def tell(self) -> int:
        """The read position.

        Returns:
            The position, in bytes from the start.
        """
        return self._position

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        """Copies bytes from the read position into `buffer` and moves the position past them.

        Args:
            buffer: A writable buffer, filled from its start.

        Returns:
            The number of bytes copied: the buffer's size, fewer at the end of the data.
        """
        part = self._data[self._position : self._position + len(memoryview(buffer).cast("B"))]
        memoryview(buffer).cast("B")[: len(part)] = part
        self._position += len(part)
        return len(part)


_END = struct.Struct("<4s6xHII")  # signature, entries in all, directory bytes and offset
_END_SIGNATURE = b"PK\x05\x06"
_LOCATOR = struct.Struct("<4s4xQ4x")  # signature, offset of the zip64 end record
_LOCATOR_SIGNATURE = b"PK\x06\x07"
_END64 = struct.Struct("<4s28xQQ")  # signature, entries in all, directory bytes
_END64_SIGNATURE = b"PK\x06\x06"
_END_SEARCH = _END.size + 0xFFFF  # the end record and the longest comment
# The least a member costs the file besides its name and data: its directory entry (46 bytes),
# its local header (30) and the start of its .npy header (10).
_MEMBER_BYTES = 46 + 30 + 10
# Room allowed for a directory entry's extra fields (the zip64 one takes 28 bytes).
_EXTRA_BYTES = 64


def _directory_bounds(file_size: int) -> tuple[int, int]:
    """The most members, and directory bytes, that a checkpoint of `file_size` bytes can hold.

    Each unit has its members, each with its own headers, and its engine state's data.
    """
    critic = len(HEADER_FIELDS) + len(learner_fields(_native.CRITIC))
    per_unit = len(learner_fields(0))
    unit_bytes = per_unit * _MEMBER_BYTES + ENGINE_WORDS * WORD.itemsize
    units = file_size // unit_bytes
    members = critic + units * per_unit
    longest = max(len(f"units/{units}/{field.name}.npy") for field in learner_fields(0))
    return members, members * (46 + longest + _EXTRA_BYTES)


def _check_directory_size(source: Source, fail: Callable[[str], NoReturn]) -> None:
    """Refuses, from the end records alone, a directory longer than this size of file can have.

    The zip reader builds an object per entry (a crafted file of 53 MiB listing a million
    members took 290 MiB and 9 s) before anything else can be checked.
    """
    start = max(0, source.size - _END_SEARCH)
    tail = source.read_at(start, source.size - start)
    at = tail.rfind(_END_SIGNATURE)
    if at < 0 or at + _END.size > len(tail):
        return  # no end record: the zip reader says so
    _, count, directory_bytes, _ = _END.unpack_from(tail, at)
    if at >= _LOCATOR.size:
        signature, end64 = _LOCATOR.unpack_from(tail, at - _LOCATOR.size)
        if signature == _LOCATOR_SIGNATURE and 0 <= end64 <= source.size - _END64.size:
            record = source.read_at(end64, _END64.size)
            if record.startswith(_END64_SIGNATURE):
                _, count, directory_bytes = _END64.unpack(record)
    most_members, most_bytes = _directory_bounds(source.size)
    if count > most_members or directory_bytes > most_bytes:
        fail(
            f"has a directory of {count} members in {directory_bytes} bytes; a checkpoint of "
            f"{source.size} bytes holds at most {most_members} members in {most_bytes} bytes"
        )


def _npy_header_size(prefix: bytes, fail: Callable[[str], NoReturn]) -> int:
    """The length of the .npy header (magic, version, length field, text) that `prefix` opens."""
    if len(prefix) < 10 or not prefix.startswith(_NPY_MAGIC):
        fail("is not a .npy array")
    version = (prefix[6], prefix[7])
    if version == (1, 0):
        size: int = 10 + struct.unpack_from("<H", prefix, 8)[0]
    elif version == (2, 0) and len(prefix) >= 12:
        size = 12 + struct.unpack_from("<I", prefix, 8)[0]
    else:
        fail(f"has .npy format version {version} (1.0 and 2.0 are read)")
    if size > _NPY_MAX_HEADER:
        fail(f"has a .npy header of {size} bytes (at most {_NPY_MAX_HEADER} are read)")
    return size


@functools.lru_cache(maxsize=64)
def _parse_npy_header(header: bytes) -> tuple[tuple[int, ...], bool, np.dtype]:
    """(shape, fortran_order, dtype) of a complete .npy header, by NumPy's own safe parser.

    The parser reads a literal, never code or pickles. Most members of a checkpoint share a few
    headers, so the parses are kept.
    """
    stream = io.BytesIO(header)
    try:
        version = npy.read_magic(stream)
        if version == (1, 0):
            parsed = npy.read_array_header_1_0(stream)
        else:
            parsed = npy.read_array_header_2_0(stream)
    except Exception as error:
        # The text comes from the file: whatever the parser makes of it (a syntax or tokenizer
        # error, a dtype it cannot build) is a damaged header.
        raise ValueError(f"unreadable .npy header ({type(error).__name__}: {error})") from error
    if stream.tell() != len(header):
        raise ValueError("the .npy header has a wrong length")
    return parsed


@dataclass
class _Member:
    """One ``.npy`` member whose header has been read and checked."""

    name: str
    info: zipfile.ZipInfo
    header: bytes
    shape: tuple[int, ...]


class _Reader:
    def __init__(self, source: Source, label: str) -> None:
        self._source = source
        self._label = label
        self.field = "the archive"
        self._infos: dict[str, zipfile.ZipInfo] = {}
        self._data_starts: dict[str, int] = {}

    def open(self, stream: IO[bytes]) -> None:
        _check_directory_size(self._source, self.fail)
        self._archive = zipfile.ZipFile(stream)
        for info in self._archive.infolist():
            self.field = info.filename
            if not info.filename.endswith(".npy"):
                self.fail("is not a .npy member")
            name = info.filename[: -len(".npy")]
            if name in self._infos:
                self.fail("is present twice")
            self._infos[name] = info

    @contextlib.contextmanager
    def reporting_errors(self) -> Iterator[None]:
        """Turns what the zip and .npy readers raise on damaged input into CheckpointError."""
        try:
            yield
        except CheckpointError:
            raise
        except (
            zipfile.BadZipFile,
            zipfile.LargeZipFile,
            NotImplementedError,
            EOFError,
            zlib.error,
            struct.error,
            UnicodeDecodeError,
            ValueError,
            OverflowError,
            KeyError,
        ) as error:
            raise CheckpointError(f"{self._label}: {self.field}: {error}") from error

    def fail(self, problem: str) -> NoReturn:
        raise CheckpointError(f"{self._label}: {self.field}: {problem}")

    def names(self) -> set[str]:
        return set(self._infos)

    def member(self, name: str, field: Field, num_features: int = 0) -> _Member:
        """Reads and checks the header of member `name` against `field`."""
        self.field = name
        info = self._infos.get(name)
        if info is None:
            self.fail("is missing")
        if info.flag_bits & 0x1:
            self.fail("is encrypted")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            self.fail(f"uses compression method {info.compress_type} (only stored or deflate)")
        if info.compress_type == zipfile.ZIP_STORED:
            header = self._stored_header(info)
        else:
            with self._archive.open(info) as stream:
                prefix = stream.read(_NPY_PREFIX)
                size = _npy_header_size(prefix, self.fail)
                header = prefix[:size] + stream.read(max(0, size - len(prefix)))
            if len(header) != size:
                self.fail("ends inside its .npy header")
        shape, fortran_order, dtype = _parse_npy_header(header)
        header_size = len(header)
        if dtype.str != field.dtype.str:
            self.fail(f"has dtype {dtype.str!r}, expected {field.dtype.str!r}")
        if fortran_order:
            self.fail("is stored in Fortran order")
        expected = {
            "scalar": (),
            "features": (num_features,),
            "engine": (ENGINE_WORDS,),
        }.get(field.shape)
        if expected is None:
            if len(shape) != 1:
                self.fail(f"has shape {shape}, expected one dimension")
        elif shape != expected:
            self.fail(f"has shape {shape}, expected {expected}")
        declared = header_size + math.prod(shape) * dtype.itemsize
        if info.file_size != declared:
            self.fail(f"holds {info.file_size} bytes, its header declares {declared}")
        if info.compress_type == zipfile.ZIP_STORED and info.compress_size != info.file_size:
            self.fail(f"is stored with {info.compress_size} bytes of {info.file_size}")
        return _Member(name, info, header, shape)

    def read(self, member: _Member, sink: Callable[[memoryview], object]) -> None:
        """Hands the member's data to `sink` piece by piece and checks the member's CRC-32.

        A stored member's pieces are checksummed while they are still in the cache.
        """
        self.field = member.name
        info = member.info
        size = info.file_size - len(member.header)
        done = 0
        if info.compress_type == zipfile.ZIP_STORED:
            start = self._data_start(info) + len(member.header)
            crc = _native.crc32(member.header)
            for chunk in self._source.chunks(start, size):
                crc = _native.crc32(chunk, crc)
                sink(chunk)
                done += len(chunk)
            if done != size:
                self.fail("ends before its data")
            if crc != info.CRC:
                self.fail(f"fails its CRC-32 check (found {crc:08x}, recorded {info.CRC:08x})")
            return
        with self._archive.open(info) as stream:
            stream.read(len(member.header))
            while done < size:
                data = stream.read(min(_CHUNK, size - done))
                if not data:
                    self.fail("ends before its data")
                sink(memoryview(data))
                done += len(data)
            # Reaching the end makes the zip reader compare the CRC-32.
            if stream.read(1):
                self.fail("is longer than its header declares")

    def fill_array(
        self, member: _Member, agent: VeltoActorCritic, learner: int, index: int
    ) -> None:
        """Appends a per-feature member's data to the agent's (reserved, empty) array."""
        info = member.info
        if info.compress_type == zipfile.ZIP_STORED and isinstance(self._source, FileSource):
            # From a file the reads, checksums and copies run in the kit's C++, piece by piece.
            self.field = member.name
            size = info.file_size - len(member.header)
            start = self._data_start(info) + len(member.header)
            crc, done = _native.append_from_file(
                agent, learner, index, self._source.fd, start, size, _native.crc32(member.header)
            )
            if done != size:
                self.fail("ends before its data")
            if crc != info.CRC:
                self.fail(f"fails its CRC-32 check (found {crc:08x}, recorded {info.CRC:08x})")
            return
        self.read(member, functools.partial(_native.append_to_array, agent, learner, index))

    def value(self, member: _Member, dtype: np.dtype) -> np.ndarray:
        """The member's data as a new array (for the small members, read before any agent)."""
        array = np.empty(member.shape, dtype=dtype)
        target = memoryview(array.reshape(-1).view(np.uint8))
        filled = 0

        def fill(chunk: memoryview) -> None:
            nonlocal filled
            target[filled : filled + len(chunk)] = chunk
            filled += len(chunk)

        self.read(member, fill)
        return array

    def _data_start(self, info: zipfile.ZipInfo) -> int:
        """Where a stored member's bytes begin, after its local header.

        The local header is checked against the directory's entry as zipfile checks it.
        """
        start = self._data_starts.get(info.filename)
        if start is not None:
            return start
        if not 0 <= info.header_offset < self._source.size:
            self.fail(
                f"has its local header at offset {info.header_offset}, outside the file's "
                f"{self._source.size} bytes"
            )
        local = self._source.read_at(info.header_offset, _LOCAL_HEADER.size)
        if len(local) != _LOCAL_HEADER.size:
            self.fail("has a truncated local header")
        signature, flags, method, name_length, extra_length = _LOCAL_HEADER.unpack(local)
        if signature != _LOCAL_SIGNATURE:
            self.fail("has a damaged local header")
        name = self._source.read_at(info.header_offset + _LOCAL_HEADER.size, name_length)
        if name != info.orig_filename.encode("utf-8" if flags & 0x800 else "cp437"):
            self.fail(f"has the name {name!r} in its local header")
        if method != info.compress_type or flags & 0x1:
            self.fail("has a local header that disagrees with the directory")
        begin: int = info.header_offset + _LOCAL_HEADER.size + name_length + extra_length
        self._data_starts[info.filename] = begin
        return begin

    def _stored_header(self, info: zipfile.ZipInfo) -> bytes:
        start = self._data_start(info)
        prefix = self._source.read_at(start, min(_NPY_PREFIX, info.file_size))
        size = _npy_header_size(prefix, self.fail)
        if size > info.file_size:
            self.fail("ends inside its .npy header")
        return prefix[:size] if size <= len(prefix) else self._source.read_at(start, size)


def _scalar(reader: _Reader, name: str, field: Field) -> np.ndarray:
    return reader.value(reader.member(name, field), field.dtype)


def _count(reader: _Reader, name: str, field: Field) -> int:
    count = int(_scalar(reader, name, field))
    if count < 0:
        reader.fail(f"is {count}, expected 0 or more")
    return count


@dataclass
class _LearnerPlan:
    """What one learner gets once the agent is built; all of it checked already."""

    learner: int
    trace_list: np.ndarray
    scalars: np.ndarray
    arrays: list[_Member]
    engine: tuple[np.ndarray, int] | None


def _check_names(reader: _Reader, num_actions: int) -> None:
    present = reader.names()
    expected: set[str] = set()
    for name in member_names(num_actions):
        if name not in present:
            reader.field = name
            reader.fail("is missing")
        expected.add(name)
    extra = sorted(present - expected)
    if extra:
        reader.field = extra[0]
        reader.fail("is not a member of this format")


def _plan_learner(reader: _Reader, learner: int, num_features: int) -> _LearnerPlan:
    prefix = learner_prefix(learner)
    members = {
        field.name: (field, reader.member(prefix + field.name, field, num_features))
        for field in learner_fields(learner)
    }
    field, member = members.pop("trace_list")
    trace_list = reader.value(member, field.dtype)
    outside = np.flatnonzero((trace_list < 0) | (trace_list >= num_features))
    if outside.size:
        position = int(outside[0])
        reader.fail(
            f"index {int(trace_list[position])} at position {position} is outside "
            f"[0, {num_features})"
        )
    engine = None
    if "rng_state" in members:
        field, member = members.pop("rng_state")
        words = reader.value(member, field.dtype)
        field, member = members.pop("rng_position")
        position = int(reader.value(member, field.dtype))
        if not 0 <= position <= ENGINE_WORDS:
            reader.fail(f"is {position}, expected 0 to {ENGINE_WORDS}")
        # The next words depend on the top bit of the first word and on all of the others; when
        # these are all zero the generator yields nothing but zeros, and no seeding reaches that.
        if not (int(words[0]) & 0x80000000 or words[1:].any()):
            reader.field = prefix + "rng_state"
            reader.fail(
                "is a state no generator can be in (every bit that the next words depend on is "
                "zero: it would yield only zeros)"
            )
        engine = (words, position)
    arrays = [member for field, member in members.values() if field.shape == "features"]
    scalars = np.array(
        [
            reader.value(member, field.dtype)
            for field, member in members.values()
            if field.shape == "scalar"
        ],
        dtype=np.float32,
    )
    return _LearnerPlan(learner, trace_list, scalars, arrays, engine)


def _trace_list_bytes(reader: _Reader, num_actions: int, num_features: int) -> int:
    total = 0
    for learner in [_native.CRITIC, *range(num_actions)]:
        field = learner_fields(learner)[0]
        total += reader.member(
            learner_prefix(learner) + field.name, field, num_features
        ).info.file_size
    return total


def _build(reader: _Reader, plans: list[_LearnerPlan], num_features: int) -> VeltoActorCritic:
    # The constructor builds the units and their engines; the per-feature arrays, empty at zero
    # features, are then filled in one pass each from the file (the memory they need has been
    # checked with the constructor's own guard). All other parameters are overwritten here.
    agent = VeltoActorCritic(0, len(plans) - 1, 0, 1, 0, 0, 0, 0, 0, 0, 0)
    for plan in plans:
        for index, member in enumerate(plan.arrays):
            _native.begin_array(agent, plan.learner, index, num_features)
            reader.fill_array(member, agent, plan.learner, index)
    reader.field = "the arrays"
    _native.check_array_sizes(agent, num_features)
    for plan in plans:
        _native.set_scalars(agent, plan.learner, plan.scalars)
        _native.set_trace_list(agent, plan.learner, plan.trace_list)
        if plan.engine is not None:
            _native.set_engine(agent, plan.learner, *plan.engine)
    return agent


def read_checkpoint(stream: IO[bytes], source: Source, label: str) -> VeltoActorCritic:
    """Checks the checkpoint in `stream` and returns the agent it holds.

    Args:
        stream: The checkpoint, as the zip reader's file object.
        source: The same bytes, read in place.
        label: What error messages call the checkpoint (its file's name, or ``<bytes>``).

    Returns:
        A new agent built from the checkpoint.

    Raises:
        CheckpointError: A damaged or foreign checkpoint; the message names `label` and the
            member at fault.
        MemoryError: The agent cannot fit in memory (raised before it is built).
    """
    reader = _Reader(source, label)
    with reader.reporting_errors():
        reader.open(stream)
        format_field, version_field, features_field, actions_field = HEADER_FIELDS
        name = _scalar(reader, "format", format_field)
        if str(name) != FORMAT_NAME:
            reader.fail(f"is {str(name)!r}, expected {FORMAT_NAME!r}")
        version = int(_scalar(reader, "version", version_field))
        if version != VERSION:
            reader.fail(f"is {version}; this velto_kit reads version {VERSION}")
        num_features = _count(reader, "num_features", features_field)
        num_actions = _count(reader, "num_actions", actions_field)
        _check_names(reader, num_actions)
        # Everything the file declares must fit before anything of that size is allocated: the
        # agent (checked again by its constructor) and the trace lists, read first into arrays
        # of their own and then copied into the agent.
        need = _native.agent_bytes(num_features, num_actions)
        need += 2 * _trace_list_bytes(reader, num_actions, num_features)
        _native.require_memory(min(need, _UINT64_MAX))
        plans = [
            _plan_learner(reader, learner, num_features)
            for learner in [_native.CRITIC, *range(num_actions)]
        ]
        return _build(reader, plans, num_features)
