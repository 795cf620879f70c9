"""Damaged and foreign files given to the loader: each gives its ValueError (CheckpointError,
naming the file and the member) or MemoryError, never a crash and never a half-built agent.
The loads run in a child process, so that a crash shows as the case it happened in."""

import json
import os
import random
import re
import resource
import struct
import subprocess
import sys
import tracemalloc
import zipfile

import numpy as np
import pytest
import velto_kit
from checkpoint_files import (
    array_of,
    build,
    declared_entry,
    members,
    npy_bytes,
    raw_zip,
    replaced,
    stored_entries,
)
from kit_support import slow_under_sanitizers, trained_agent
from velto_actor_critic import VeltoActorCritic
from velto_kit import _native

CHILD_ADDRESS_SPACE = 6 << 30

# Loads every file of a directory named in argv[1], in sorted order, printing one JSON line per
# file: what it raised, or the checkpoint bytes' length of what it loaded.
CHILD = r"""
import json, os, sys, velto_kit
directory = sys.argv[1]
for name in sorted(os.listdir(directory)):
    print(json.dumps({"case": name, "started": True}), flush=True)
    path = os.path.join(directory, name)
    try:
        agent = velto_kit.load(path)
    except Exception as error:
        result = {"error": type(error).__name__, "message": str(error),
                  "value_error": isinstance(error, ValueError)}
    else:
        result = {"loaded": velto_kit.dumps(agent).hex()}
    print(json.dumps({"case": name, **result}), flush=True)
"""


def limit_memory():
    """Caps a child's address space, so that a loader that allocated what a file declares fails
    there instead of exhausting a shared machine. Not under the sanitizers, whose shadow memory
    needs a huge address space."""
    if not os.environ.get("VELTO_SANITIZED"):
        resource.setrlimit(resource.RLIMIT_AS, (CHILD_ADDRESS_SPACE, CHILD_ADDRESS_SPACE))


def load_in_child(files, tmp_path):
    """{case: result} for {case: file bytes}, loaded by a separate process."""
    directory = tmp_path / "cases"
    directory.mkdir()
    for name, data in files.items():
        (directory / name).write_bytes(data)
    run = subprocess.run(
        [sys.executable, "-c", CHILD, str(directory)],
        capture_output=True,
        text=True,
        timeout=600,
        preexec_fn=limit_memory,
    )
    lines = [json.loads(line) for line in run.stdout.splitlines()]
    if run.returncode != 0:
        last = lines[-1]["case"] if lines else "before the first case"
        pytest.fail(f"the loader process died ({run.returncode}) in case {last}:\n{run.stderr}")
    return {line["case"]: line for line in lines if "started" not in line}


@pytest.fixture(scope="module")
def original():
    agent, _ = trained_agent(17, steps=80, num_features=12, num_actions=2, odd=False)
    assert velto_kit.inspect(agent).critic.trace_list.size > 0
    return velto_kit.dumps(agent)


def with_member(data, name, change):
    """The checkpoint with one member's bytes changed and its recorded CRC-32 kept."""
    return raw_zip(
        [(e[0], change(e[1]), *e[2:]) if e[0] == name + ".npy" else e for e in stored_entries(data)]
    )


def cases(data):
    """case name -> (file bytes, exception name, text the message must hold)."""
    parts = members(data)
    weights = array_of(parts["critic/weights"])
    trace_list = array_of(parts["units/1/trace_list"])
    entries = stored_entries(data)
    crc_flipped = [list(entry) for entry in entries]
    crc_flipped[7][4] ^= 1
    return {
        "empty": (b"", "CheckpointError", "the archive"),
        "not a zip": (b"velto" * 100, "CheckpointError", "the archive"),
        "truncated to half": (data[: len(data) // 2], "CheckpointError", ""),
        "truncated by one byte": (data[:-1], "CheckpointError", ""),
        "cut inside the directory": (data[:-200], "CheckpointError", ""),
        "an npy file": (npy_bytes(weights), "CheckpointError", "the archive"),
        "flipped data byte": (
            with_member(data, "critic/weights", lambda b: b[:-3] + bytes([b[-3] ^ 4]) + b[-2:]),
            "CheckpointError",
            "critic/weights: fails its CRC-32",
        ),
        "flipped trace_list byte": (
            with_member(data, "critic/trace_list", lambda b: b[:-1] + bytes([b[-1] ^ 128])),
            "CheckpointError",
            "critic/trace_list: fails its CRC-32",
        ),
        "recorded CRC wrong": (raw_zip(crc_flipped), "CheckpointError", "CRC-32"),
        "wrong version": (replaced(data, version=np.int32(2)), "CheckpointError", "version: is 2"),
        "wrong format name": (
            replaced(data, format=np.array("something else")),
            "CheckpointError",
            "format",
        ),
        "version as int64": (replaced(data, version=np.int64(1)), "CheckpointError", "version"),
        "weights as float64": (
            replaced(data, critic__weights=weights.astype(np.float64)),
            "CheckpointError",
            "critic/weights: has dtype '<f8'",
        ),
        "weights big-endian": (
            replaced(data, critic__weights=weights.astype(">f4")),
            "CheckpointError",
            "critic/weights: has dtype '>f4'",
        ),
        "weights as objects": (
            replaced(
                data,
                critic__weights=parts["critic/weights"].replace(b"'<f4'", b"'|O8'", 1),
            ),
            "CheckpointError",
            "critic/weights",
        ),
        "unit weights one longer": (
            replaced(data, units__0__weights=np.zeros(13, np.float32)),
            "CheckpointError",
            "units/0/weights: has shape (13,), expected (12,)",
        ),
        "unit with other num_features everywhere": (
            replaced(
                data,
                **{
                    f"units__1__{name}": np.zeros(20, np.float32)
                    for name in velto_kit._native.UNIT_ARRAYS
                },
            ),
            "CheckpointError",
            "units/1/",
        ),
        "scalar as an array": (
            replaced(data, critic__eta=np.ones(1, np.float32)),
            "CheckpointError",
            "critic/eta: has shape (1,), expected ()",
        ),
        "trace_list two-dimensional": (
            replaced(data, critic__trace_list=np.zeros((2, 2), np.int32)),
            "CheckpointError",
            "critic/trace_list",
        ),
        "trace_list index = num_features": (
            replaced(data, units__1__trace_list=np.append(trace_list, 12).astype(np.int32)),
            "CheckpointError",
            "units/1/trace_list: index 12",
        ),
        "trace_list index negative": (
            replaced(data, critic__trace_list=np.array([3, -1], np.int32)),
            "CheckpointError",
            "critic/trace_list: index -1",
        ),
        "engine position 625": (
            replaced(data, units__0__rng_position=np.int32(625)),
            "CheckpointError",
            "units/0/rng_position: is 625",
        ),
        "engine position negative": (
            replaced(data, units__1__rng_position=np.int32(-1)),
            "CheckpointError",
            "units/1/rng_position",
        ),
        "engine with 623 words": (
            replaced(data, units__0__rng_state=np.zeros(623, np.uint32)),
            "CheckpointError",
            "units/0/rng_state",
        ),
        "member missing": (
            replaced(data, units__1__h_trace=None),
            "CheckpointError",
            "units/1/h_trace: is missing",
        ),
        "num_actions one more": (
            replaced(data, num_actions=np.int32(3)),
            "CheckpointError",
            "units/2/trace_list: is missing",
        ),
        "num_actions absurd": (
            replaced(data, num_actions=np.int32(2**31 - 1)),
            "CheckpointError",
            "is missing",
        ),
        "num_features negative": (
            replaced(data, num_features=np.int32(-5)),
            "CheckpointError",
            "num_features: is -5",
        ),
        "unexpected member": (
            replaced(data, extra=np.zeros(3)),
            "CheckpointError",
            "extra: is not a member",
        ),
        "member twice": (
            raw_zip(entries + entries[-1:]),
            "CheckpointError",
            "is present twice",
        ),
        "not an npy member": (
            raw_zip(entries + [("notes.txt", b"hi", 0, 2, 0xD8932AAC)]),
            "CheckpointError",
            "notes.txt",
        ),
        "compressed with bzip2": (
            build(members(data), zipfile.ZIP_BZIP2),
            "CheckpointError",
            "compression method 12",
        ),
    }


def absurd_size_cases(data):
    """Consistent declarations of sizes that cannot fit: MemoryError before allocating."""
    import zlib

    def scalar_entry(name, value):
        part = npy_bytes(value)
        return (name + ".npy", part, 0, len(part), zlib.crc32(part))

    entries = [e for e in stored_entries(data) if not e[0].startswith(("units/", "num_"))]
    huge = 2**31 - 1
    features = [
        e if not any(e[0] == f"critic/{a}.npy" for a in velto_kit._native.CRITIC_ARRAYS)
        else declared_entry(e[0][:-4], "<f4", (huge,))
        for e in entries
    ]  # fmt: skip
    sizes = [scalar_entry("num_features", np.int32(huge)), scalar_entry("num_actions", np.int32(0))]
    long_list = [e for e in stored_entries(data) if not e[0].startswith("critic/trace_list")]
    return {
        "agent of 2^31-1 features": raw_zip(features + sizes),
        "trace_list of 2^33 entries": raw_zip(
            long_list + [declared_entry("critic/trace_list", "<i4", (2**33,))]
        ),
    }


def test_damaged_files_give_their_errors(original, tmp_path):
    table = cases(original)
    results = load_in_child({name: file for name, (file, _, _) in table.items()}, tmp_path)
    problems = []
    for name, (_, error, text) in table.items():
        got = results[name]
        if (
            got.get("error") != error
            or text not in got.get("message", "")
            or not got["value_error"]
        ):
            problems.append(f"{name}: expected {error} with {text!r}, got {str(got)[:300]}")
        elif "case" in got and "cases/" + name not in got["message"]:
            problems.append(f"{name}: the message does not name the file: {got['message']}")
    assert not problems, "\n".join(problems)


def test_absurd_declared_sizes_are_memory_errors_before_allocating(original, tmp_path):
    results = load_in_child(absurd_size_cases(original), tmp_path)
    for name, got in results.items():
        assert got.get("error") == "MemoryError", f"{name}: {got}"


def test_a_deflated_checkpoint_loads_and_a_bomb_does_not_expand(original, tmp_path):
    parts = members(original)
    entries = stored_entries(original)
    weights_part = parts["critic/weights"]
    # The weights' stream holds the true member followed by 256 MiB of zeros.
    compressor = __import__("zlib").compressobj(1, 8, -15)
    bomb = compressor.compress(weights_part)
    zeros = bytes(1 << 24)
    for _ in range(16):
        bomb += compressor.compress(zeros)
    bomb += compressor.flush()
    bombed = [
        (e[0], bomb, zipfile.ZIP_DEFLATED, e[3], e[4]) if e[0] == "critic/weights.npy" else e
        for e in entries
    ]
    script = (
        "import sys, velto_kit\n"
        "def peak():\n"
        "    lines = [line for line in open('/proc/self/status') if line.startswith('VmHWM')]\n"
        "    return int(lines[0].split()[1])\n"
        "before = peak()\n"
        "for path in sys.argv[1:]:\n"
        "    agent = velto_kit.load(path)\n"
        "    print(velto_kit.dumps(agent).hex())\n"
        "print((peak() - before) // 1024)\n"
    )
    deflated_path, bomb_path = tmp_path / "deflated.npz", tmp_path / "bomb.npz"
    deflated_path.write_bytes(build(parts, zipfile.ZIP_DEFLATED))
    bomb_path.write_bytes(raw_zip(bombed))
    run = subprocess.run(
        [sys.executable, "-c", script, str(deflated_path), str(bomb_path)],
        capture_output=True, text=True, check=True, preexec_fn=limit_memory,
    )  # fmt: skip
    first, second, growth_mib = run.stdout.split()
    assert bytes.fromhex(first) == original
    # What the declared size holds is the true member, so the agent is whole; the rest of the
    # stream is never expanded.
    assert bytes.fromhex(second) == original
    assert int(growth_mib) < 64


@slow_under_sanitizers
def test_every_sampled_byte_flip_is_refused_or_harmless(original, tmp_path):
    """Single-byte changes anywhere in the file: either a CheckpointError or, where the byte is
    one the loader does not use (a time stamp, the version that made the file), the same agent."""
    rng = random.Random(5)
    positions = sorted(rng.sample(range(len(original)), 400))
    files = {}
    for position in positions:
        damaged = bytearray(original)
        damaged[position] ^= rng.randrange(1, 256)
        files[f"{position:06d}"] = bytes(damaged)
    results = load_in_child(files, tmp_path)
    loaded = 0
    for name, got in results.items():
        if "loaded" in got:
            assert bytes.fromhex(got["loaded"]) == original, f"byte {name} changed the agent"
            loaded += 1
        else:
            assert got["error"] == "CheckpointError", f"byte {name}: {got}"
    assert loaded < len(files) // 4  # most bytes matter


def test_missing_file_is_not_a_value_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        velto_kit.load(tmp_path / "absent.npz")
    with pytest.raises(velto_kit.CheckpointError, match="<bytes>: the archive"):
        velto_kit.loads(b"PK\x05\x06" + bytes(18))
    assert issubclass(velto_kit.CheckpointError, ValueError)


def test_loads_accepts_any_bytes_like_object(original):
    for data in (bytearray(original), memoryview(original), np.frombuffer(original, np.uint8)):
        assert velto_kit.dumps(velto_kit.loads(data)) == original


@pytest.mark.parametrize("by", [0, 1, 1000, 2**31])
def test_member_offsets_before_the_file_are_refused_by_load_and_loads(original, tmp_path, by):
    # A directory offset raised by `by`: the zip reader takes `by` bytes as missing from the
    # front and moves every member's offset down by as much, below zero for the first ones.
    end = original.rfind(b"PK\x05\x06") + 16
    moved = struct.unpack_from("<I", original, end)[0] + by
    data = original[:end] + struct.pack("<I", moved) + original[end + 4 :]
    path = tmp_path / "moved.npz"
    path.write_bytes(data)
    readers = [
        ("moved.npz", lambda: velto_kit.load(path)),
        ("<bytes>", lambda: velto_kit.loads(data)),
    ]
    for label, read in readers:
        if by == 0:
            assert velto_kit.dumps(read()) == original
            continue
        expected = f"{label}: format: has its local header at offset {-by}, outside"
        with pytest.raises(velto_kit.CheckpointError, match=re.escape(expected)):
            read()


# The first word's top bit and the 623 others feed every later word; its low bits do not.
@pytest.mark.parametrize(
    ("first", "last", "refused"),
    [(0, 0, True), (0x7FFFFFFF, 0, True), (0x80000000, 0, False), (0, 1, False)],
)
def test_engine_states_no_generator_can_be_in_are_refused(original, first, last, refused):
    words = np.zeros(624, dtype=np.uint32)
    words[0], words[-1] = first, last
    data = replaced(original, units__1__rng_state=words)
    agent = VeltoActorCritic(4, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
    if refused:
        with pytest.raises(velto_kit.CheckpointError, match="units/1/rng_state: is a state no"):
            velto_kit.loads(data)
        with pytest.raises(ValueError, match="all zero"):
            _native.set_engine(agent, 0, words, 624)
    else:
        assert (velto_kit.inspect(velto_kit.loads(data)).units[1].rng_state == words).all()
        _native.set_engine(agent, 0, words, 624)


@pytest.mark.parametrize(("count", "refused"), [(300_000, True), (16, False)])
def test_directories_larger_than_a_checkpoint_can_hold_are_refused_before_reading(count, refused):
    # `count` directory entries, all of the first member, after it; zip64 end records.
    agent, _ = trained_agent(1, steps=5, num_features=4, num_actions=1, odd=False)
    name, payload, _, size, crc = stored_entries(velto_kit.dumps(agent))[0]
    body = raw_zip([(name, payload, 0, size, crc)])
    start = body.rfind(b"PK\x01\x02")
    central = body[start : body.rfind(b"PK\x05\x06")] * count
    end64 = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, len(central),
                        start)  # fmt: skip
    locator = struct.pack("<IIQI", 0x07064B50, 0, start + len(central), 1)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    data = body[:start] + central + end64 + locator + end
    tracemalloc.start()
    with pytest.raises(velto_kit.CheckpointError) as caught:
        velto_kit.loads(data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    if refused:
        assert f"the archive: has a directory of {count} members" in str(caught.value)
        assert peak < 1 << 20, f"{peak} bytes taken before refusing"
    else:  # read, and then its repeated name refused
        assert "format.npy: is present twice" in str(caught.value)


def with_directory_comments(data: bytes, comment_bytes: int) -> bytes:
    """`data` (a zip with a plain end record) with a comment of `comment_bytes` on every
    directory entry: the directory grows by that much per member, its member count stays."""
    start = data.rfind(b"PK\x01\x02")
    end = data.rfind(b"PK\x05\x06")
    count = struct.unpack_from("<H", data, end + 10)[0]
    at = data.find(b"PK\x01\x02")
    central = bytearray()
    for _ in range(count):
        name, extra, comment = struct.unpack_from("<HHH", data, at + 28)
        entry_end = at + 46 + name + extra + comment
        header = bytearray(data[at : at + 46])
        struct.pack_into("<H", header, 32, comment_bytes)
        central += header + data[at + 46 : at + 46 + name + extra] + b"c" * comment_bytes
        at = entry_end
    start = data.find(b"PK\x01\x02")
    record = bytearray(data[end : end + 22])
    struct.pack_into("<I", record, 12, len(central))
    return data[:start] + bytes(central) + bytes(record)


@pytest.mark.parametrize(("comment_bytes", "refused"), [(65_535, True), (100, False)])
def test_directories_larger_in_bytes_than_a_checkpoint_can_hold_are_refused(comment_bytes, refused):
    # Few members (a real checkpoint's) but each directory entry made long: the bound must count
    # the directory's bytes, not only its members, before the zip reader reads it.
    agent, _ = trained_agent(1, steps=5, num_features=4, num_actions=1, odd=False)
    data = with_directory_comments(raw_zip(stored_entries(velto_kit.dumps(agent))), comment_bytes)
    count = len(stored_entries(velto_kit.dumps(agent)))
    directory = count * (46 + comment_bytes)
    if not refused:
        assert velto_kit.dumps(velto_kit.loads(data)) == velto_kit.dumps(agent)
        return
    assert len(data) < 2 * directory  # the directory is most of the file
    tracemalloc.start()
    with pytest.raises(velto_kit.CheckpointError) as caught:
        velto_kit.loads(data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert re.search(rf"has a directory of {count} members in \d+ bytes", str(caught.value))
    assert peak < directory // 4, f"{peak} bytes taken before refusing a {directory}-byte directory"
