"""Builds checkpoints and damaged variants of them for the loader's tests and fuzz run.

Members are taken apart and put back together with zipfile and numpy.lib.format, independently of
velto_kit's own writer; `raw_zip` writes entries whose declared sizes and CRCs are whatever the
test says, which zipfile would refuse to write."""

import io
import struct
import zipfile
import zlib

import numpy as np
from numpy.lib import format as npy


def members(data):
    """name (without .npy) -> the member's .npy bytes, in the archive's order."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {info.filename[:-4]: archive.read(info) for info in archive.infolist()}


def npy_bytes(array):
    buffer = io.BytesIO()
    npy.write_array(buffer, np.asarray(array), allow_pickle=False)
    return buffer.getvalue()


def array_of(npy_data):
    return npy.read_array(io.BytesIO(npy_data), allow_pickle=False)


def build(parts, compression=zipfile.ZIP_STORED):
    """A zip of the given members (name -> .npy bytes)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        for name, data in parts.items():
            archive.writestr(name + ".npy", data)
    return buffer.getvalue()


def replaced(data, **changes):
    """The checkpoint with members replaced (name with "/" written as "__") by arrays or bytes,
    or removed (None)."""
    parts = members(data)
    for key, value in changes.items():
        name = key.replace("__", "/")
        if value is None:
            del parts[name]
        else:
            parts[name] = value if isinstance(value, bytes) else npy_bytes(value)
    return build(parts)


def raw_zip(entries):
    """A zip of (name, stored bytes, method, declared size, crc) entries, exactly as given."""
    out = bytearray()
    central = bytearray()
    for name, payload, method, size, crc in entries:
        encoded = name.encode()
        offset = len(out)
        zip64 = size >= 0xFFFFFFFF
        extra = struct.pack("<HHQQ", 1, 16, size, len(payload)) if zip64 else b""
        size32 = 0xFFFFFFFF if zip64 else size
        packed32 = 0xFFFFFFFF if zip64 else len(payload)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, method, 0, 33, crc, packed32,
                           size32, len(encoded), len(extra))  # fmt: skip
        out += encoded + extra + payload
        central_extra = struct.pack("<HHQQ", 1, 16, size, len(payload)) if zip64 else b""
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, method, 0, 33, crc,
                               packed32, size32, len(encoded), len(central_extra), 0, 0, 0, 0,
                               offset)  # fmt: skip
        central += encoded + central_extra
    start = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                       start, 0)  # fmt: skip
    return bytes(out)


def deflated(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def stored_entries(data):
    """The checkpoint's members as raw_zip entries, stored, with their true sizes and CRCs."""
    return [
        (name + ".npy", part, zipfile.ZIP_STORED, len(part), zlib.crc32(part))
        for name, part in members(data).items()
    ]


def declared_entry(name, dtype, shape):
    """A deflated member whose .npy header declares `shape` and whose directory entry declares
    the matching size, while its stream holds the header alone: a file that claims far more than
    it contains."""
    header = io.BytesIO()
    npy.write_array_header_1_0(
        header, {"descr": np.dtype(dtype).str, "fortran_order": False, "shape": shape}
    )
    head = header.getvalue()
    size = len(head) + int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize
    return (name + ".npy", deflated(head), zipfile.ZIP_DEFLATED, size, zlib.crc32(head))
