"""Shared helpers of the velto_kit tests: random agents with varied histories and a bit-for-bit
comparison of two agents' complete states through velto_kit.inspect."""

import os
import random

import numpy as np
import pytest
import velto_kit
from velto_actor_critic import VeltoActorCritic

# Under scripts/harden.sh the Python tests run against the sanitized module while velto_kit's own
# extension stays the plain build (the hardening stage fuzzes the sanitized kit's loader instead),
# so tests whose time goes to Python-side work rather than native code are left to the plain run.
slow_under_sanitizers = pytest.mark.skipif(
    os.environ.get("VELTO_SANITIZED") == "1",
    reason="Python-bound and slow; covered by the plain run and the loader fuzz run",
)

# Parameter values that reach the corners of the arithmetic: NaN, infinities, zero, negatives.
ODD_FLOATS = [float("nan"), float("inf"), float("-inf"), 0.0, -0.5, 1e-30, 2.0]


def random_agent(rng, *, num_features=None, num_actions=None, odd=True):
    """An agent with random sizes and parameters (sometimes NaN or infinite when `odd`)."""

    def parameter(usual):
        if odd and rng.random() < 0.1:
            return rng.choice(ODD_FLOATS)
        return usual

    if num_features is None:
        num_features = rng.choice([0, 1, 5, 40, 300])
    if num_actions is None:
        num_actions = rng.choice([-2, 0, 1, 3, 6])
    return VeltoActorCritic(
        num_features,
        num_actions,
        parameter(rng.uniform(0.0, 1.0)),
        parameter(rng.uniform(0.01, 0.3)),
        parameter(rng.choice([0.0, 0.01, 0.1])),
        parameter(rng.uniform(0.0, 0.05)),
        parameter(rng.uniform(0.2, 2.0)),
        parameter(rng.uniform(0.2, 2.0)),
        parameter(rng.uniform(0.3, 1.0)),
        parameter(rng.uniform(-0.2, 1.2)),
        rng.randrange(-(2**31), 2**31),
    )


def random_calls(rng, num_features, count):
    """(features, reward, gamma) calls; features may repeat an index and may be empty."""
    calls = []
    for _ in range(count):
        if num_features == 0:
            features = []
        else:
            features = [rng.randrange(num_features) for _ in range(rng.randrange(0, 6))]
            if features and rng.random() < 0.2:
                features.append(features[0])  # a feature listed twice
        gamma = 0.0 if rng.random() < 0.05 else rng.uniform(0.5, 1.0)
        calls.append((features, rng.uniform(-1.0, 1.0), gamma))
    return calls


def play(agent, calls):
    return [agent.step(*call) for call in calls]


def float_bits(value):
    return np.asarray(value, dtype=np.float32).view(np.uint32)


def assert_same_learner(left, right, where):
    for name in left.__dataclass_fields__:
        a, b = getattr(left, name), getattr(right, name)
        if isinstance(a, np.ndarray) and a.dtype == np.float32 or isinstance(a, np.float32):
            equal = np.array_equal(float_bits(a), float_bits(b))
        else:
            equal = np.array_equal(a, b)
        assert equal, f"{where}.{name} differs: {a!r} != {b!r}"


def assert_same_state(left_agent, right_agent):
    """Every member of both agents equal bit for bit (NaN payloads included)."""
    left, right = velto_kit.inspect(left_agent), velto_kit.inspect(right_agent)
    assert (left.num_features, left.num_actions) == (right.num_features, right.num_actions)
    assert_same_learner(left.critic, right.critic, "critic")
    for i, (a, b) in enumerate(zip(left.units, right.units, strict=True)):
        assert_same_learner(a, b, f"units[{i}]")


def trained_agent(seed, steps=60, **sizes):
    rng = random.Random(seed)
    agent = random_agent(rng, **sizes)
    num_features = velto_kit.inspect(agent).num_features
    play(agent, random_calls(rng, num_features, steps))
    return agent, rng
