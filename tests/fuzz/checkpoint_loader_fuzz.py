"""Bounded mutation fuzzing of velto_kit's checkpoint loader.

usage: python tests/fuzz/checkpoint_loader_fuzz.py SECONDS [OUTPUT_DIR]

Starts from checkpoints of a few agents (units at several engine positions, empty and long
trace lists, NaN parameters, a feature listed twice) and loads mutated copies: raw byte edits of
the file (flips, extreme values written over size and offset fields, cuts, insertions, splices),
and edits of the members' contents and .npy headers written back with correct CRCs, so that the
checks behind the CRC are reached too. Every load must end in CheckpointError, MemoryError or an
agent, which is then stepped and must round-trip through dumps/loads unchanged. Run against the
sanitized module (scripts/harden.sh), an out-of-bounds access aborts the process. An input that
ends otherwise is written to OUTPUT_DIR and the run fails.
"""

import io
import random
import struct
import sys
import time
import traceback
import zipfile
from pathlib import Path

import numpy as np
import velto_kit
from velto_actor_critic import VeltoActorCritic

EXTREMES = [
    0,
    1,
    0x7F,
    0x80,
    0xFF,
    0xFFFF,
    0x7FFFFFFF,
    0x80000000,
    0xFFFFFFFF,
    2**63 - 1,
    2**64 - 1,
]


def seed_agents():
    rng = random.Random(1)
    agents = []
    for num_features, num_actions, bias in [(6, 2, 0.5), (1, 1, 1.0), (0, 0, 0.5), (30, 3, 0.3)]:
        agent = VeltoActorCritic(num_features, num_actions, 0.9, 0.1, 0.01, 0.05, 1.0, 0.5, 0.7,
                                 bias, rng.randrange(2**31))  # fmt: skip
        for _ in range(rng.choice([0, 5, 400])):
            features = [rng.randrange(num_features) for _ in range(3)] if num_features else []
            if features:
                features.append(features[0])  # a feature listed twice
            agent.step(features, rng.uniform(-1, 1), rng.choice([0.0, 0.9]))
        agents.append(agent)
    odd = VeltoActorCritic(5, 2, float("nan"), float("inf"), 0.0, -1.0, float("nan"), 0.5, 2.0,
                           0.5, 3)  # fmt: skip
    for t in range(20):
        odd.step([t % 5], 1.0, 0.9)
    agents.append(odd)
    return [velto_kit.dumps(agent) for agent in agents]


def raw_mutation(data, rng, seeds):
    data = bytearray(data)
    kind = rng.randrange(6)
    if kind == 0:
        for _ in range(rng.randrange(1, 9)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif kind == 1:
        width = rng.choice([2, 4, 8])
        position = rng.randrange(max(1, len(data) - width))
        value = rng.choice(EXTREMES + [len(data), rng.randrange(len(data) + 1)]) % (1 << 8 * width)
        data[position : position + width] = value.to_bytes(width, "little")
    elif kind == 2:
        del data[rng.randrange(len(data) + 1) :]
    elif kind == 3:
        position = rng.randrange(len(data) + 1)
        data[position:position] = rng.randbytes(rng.randrange(1, 64))
    elif kind == 4:
        start = rng.randrange(len(data))
        del data[start : start + rng.randrange(1, 200)]
    else:
        other = rng.choice(seeds)
        start = rng.randrange(len(other))
        chunk = other[start : start + rng.randrange(1, 400)]
        position = rng.randrange(len(data) + 1)
        data[position : position + len(chunk)] = chunk
    return bytes(data)


def member_mutation(data, rng):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        parts = {info.filename: archive.read(info) for info in archive.infolist()}
    name = rng.choice(list(parts))
    part = bytearray(parts[name])
    header_end = part.index(b"\n") + 1 if b"\n" in part else len(part)
    kind = rng.randrange(5)
    if kind == 0 and len(part) > header_end:
        # A value of the array: an index, a position, a size, a float's bits.
        width = 4
        position = rng.randrange(header_end, max(header_end + 1, len(part) - width + 1))
        value = rng.choice(EXTREMES + [rng.randrange(-700, 700) % 2**32]) % 2**32
        part[position : position + width] = struct.pack("<I", value)
    elif kind == 1:
        text = part[:header_end].decode("latin-1")
        edits = [
            ("<f4", rng.choice(["<f8", ">f4", "<i4", "|O", "<U3", "<f2"])),
            ("<i4", rng.choice(["<i8", "<u4", "<f4", "|b1"])),
            ("False", "True"),
            ("(", "(" + str(rng.choice(EXTREMES)) + ", "),
        ]
        for old, new in edits:
            if old in text and rng.random() < 0.5:
                text = text.replace(old, new, 1)
        part[:header_end] = text.encode("latin-1")
    elif kind == 2:
        del part[rng.randrange(len(part) + 1) :]
    elif kind == 3:
        del parts[name]
        part = None
    else:
        parts[rng.choice(["extra.npy", name, "units/9/weights.npy"])] = bytes(part)
    if part is not None:
        parts[name] = bytes(part)
    buffer = io.BytesIO()
    method = zipfile.ZIP_DEFLATED if rng.random() < 0.2 else zipfile.ZIP_STORED
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for member, content in parts.items():
            archive.writestr(member, content)
    return buffer.getvalue()


def exercise(agent, rng):
    """Steps a loaded agent (whatever its arrays hold) and checks its round trip."""
    state = velto_kit.inspect(agent)
    data = velto_kit.dumps(agent)
    if velto_kit.dumps(velto_kit.loads(data)) != data:
        raise AssertionError("a loaded agent does not round-trip")
    for _ in range(3):
        n = state.num_features
        features = [rng.randrange(n) for _ in range(rng.randrange(4))] if n else []
        agent.step(features, 0.5, 0.9)
        velto_kit.value(agent, features)
        velto_kit.action_probabilities(agent, features)
    np.asarray(state.critic.step_sizes)


def main():
    seconds = float(sys.argv[1])
    output = Path(sys.argv[2] if len(sys.argv) > 2 else ".")
    rng = random.Random(20261207)
    seeds = seed_agents()
    counts = {"CheckpointError": 0, "MemoryError": 0, "loaded": 0}
    deadline = time.monotonic() + seconds
    runs = 0
    while time.monotonic() < deadline:
        runs += 1
        base = rng.choice(seeds)
        data = raw_mutation(base, rng, seeds) if rng.random() < 0.5 else member_mutation(base, rng)
        try:
            agent = velto_kit.loads(data)
        except velto_kit.CheckpointError:
            counts["CheckpointError"] += 1
            continue
        except MemoryError:
            counts["MemoryError"] += 1
            continue
        except Exception:
            path = output / f"loader-failure-{runs}.npz"
            path.write_bytes(data)
            traceback.print_exc()
            print(f"the loader raised an unexpected error; input in {path}", file=sys.stderr)
            return 1
        counts["loaded"] += 1
        try:
            exercise(agent, rng)
        except Exception:
            path = output / f"loaded-failure-{runs}.npz"
            path.write_bytes(data)
            traceback.print_exc()
            print(f"a loaded agent misbehaved; input in {path}", file=sys.stderr)
            return 1
    print(f"checkpoint loader fuzz: {runs} inputs in {seconds:.0f}s: {counts}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
