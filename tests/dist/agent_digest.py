"""The steps of tests/cmake_consumer/agent_digest.cpp through the installed module.

Prints one JSON object: the digest of every action list (the C++ program prints the same one) and
the address ranges where this process mapped the code of our extensions, so that a trace of the
instructions an emulator ran can be narrowed down to them. Run it with the interpreter of the
environment to check: ``python -P tests/dist/agent_digest.py``.
"""

import json
import re

import velto_actor_critic

FEATURES = 4096
STEPS = 3000
ACTIVE = 24
EXTENSION = re.compile(r"/(velto_actor_critic|velto_kit/_native)\.[^/]*\.so$")


def mix(digest: int, word: int) -> int:
    """FNV-1a over the four bytes of a 32-bit word, as the C++ program computes it."""
    for byte in range(4):
        digest ^= (word >> (8 * byte)) & 0xFF
        digest = (digest * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return digest


def action_digest() -> str:
    agent = velto_actor_critic.VeltoActorCritic(
        FEATURES, 3, 0.9, 0.05, 1e-3, 0.01, 1.0, 0.5, 0.9, 0.5, 11
    )
    digest = 0xCBF29CE484222325
    for k in range(STEPS):
        features = [(k * 7919 + j * 104729) % FEATURES for j in range(ACTIVE)]
        reward = ((k * 31) % 17 - 8) / 8.0
        gamma = 0.0 if k % 200 == 199 else 0.95
        actions = agent.step(features, reward, gamma)
        digest = mix(digest, len(actions))
        for action in actions:
            digest = mix(digest, action)
    return f"{digest:016x}"


def extension_ranges() -> dict[str, list[int]]:
    """The span of addresses where each of our extension modules is mapped, from /proc/self/maps.

    The whole span, not just the executable mappings: a user-mode emulator shows its guest's code
    pages without the execute permission.
    """
    spans: dict[str, list[int]] = {}
    with open("/proc/self/maps") as maps:
        for line in maps:
            match = re.match(r"([0-9a-f]+)-([0-9a-f]+) \S+ \S+ \S+ \S+\s+(\S+)$", line.strip())
            if match and EXTENSION.search(match[3]):
                start, end = int(match[1], 16), int(match[2], 16)
                span = spans.setdefault(match[3], [start, end])
                span[0], span[1] = min(span[0], start), max(span[1], end)
    return spans


if __name__ == "__main__":
    print(json.dumps({"digest": action_digest(), "extensions": extension_ranges()}))
