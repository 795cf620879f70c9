"""Steps a native task and Gymnasium's own side by side and counts every difference.

Shared by tests/python/test_native_tasks.py (a few thousand transitions per task) and
scripts/check_native_tasks.py (the full count). Actions come from a generator of their own: half of
them uniform, half from a policy that reaches the task's goal (energy pumping for the mountain car
and the acrobot, greedy on value iteration over Gymnasium's own table for the toy-text tasks), so
that terminations are exercised as well as time limits. Episodes end in resets, a few of them
early, and every few resets the environment is reseeded.
"""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Callable
from typing import Any

import gymnasium as gym
import numpy as np
from velto_kit._native import NativeTask

# (env_id, gym.make keyword arguments) of every native task and setting checked.
CONFIGS: list[tuple[str, dict[str, Any]]] = [
    ("CartPole-v1", {}),
    ("CartPole-v1", {"sutton_barto_reward": True, "max_episode_steps": 60}),
    ("CartPole-v0", {}),
    ("MountainCar-v0", {}),
    ("MountainCar-v0", {"goal_velocity": 0.01, "max_episode_steps": 300}),
    ("Acrobot-v1", {}),
    ("Acrobot-v1", {"max_episode_steps": 120}),
    ("CliffWalking-v1", {}),
    ("CliffWalking-v1", {"is_slippery": True, "max_episode_steps": 80}),
    ("CliffWalkingSlippery-v1", {}),
    ("FrozenLake-v1", {}),
    ("FrozenLake-v1", {"is_slippery": False}),
    ("FrozenLake-v1", {"map_name": "8x8", "success_rate": 0.5}),
    ("FrozenLake8x8-v1", {"max_episode_steps": -1}),
    ("Taxi-v4", {}),
    ("Taxi-v4", {"is_rainy": True}),
    ("Taxi-v4", {"fickle_passenger": True}),
    (
        "Taxi-v4",
        {
            "is_rainy": True,
            "fickle_passenger": True,
            "rainy_probability": 0.7,
            "fickle_probability": 0.9,
        },
    ),
]


@dataclasses.dataclass
class Counts:
    """What one comparison saw."""

    transitions: int = 0
    resets: int = 0
    terminations: int = 0
    truncations: int = 0
    mismatches: int = 0
    # Mismatches confined to a reset's observation that differ by at most one unit in the last
    # place (Acrobot's binary32 sine and cosine), also counted in `mismatches`.
    reset_ulp_mismatches: int = 0
    first_mismatch: str | None = None


def make_reference(env_id: str, **kwargs: Any) -> gym.Env:
    """gym.make(env_id, **kwargs), without the warning that CartPole-v0 is an old version."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return gym.make(env_id, **kwargs)


def _greedy_table(env: gym.Env) -> np.ndarray:
    """The greedy action of every state by value iteration over the environment's own table."""
    table = env.unwrapped.P  # type: ignore[attr-defined]
    states = len(table)
    actions = len(table[0])
    rows = [
        (i * actions + a, p, s, r, t)
        for i in range(states)
        for a in range(actions)
        for p, s, r, t in table[i][a]
    ]
    index, probability, following, reward, terminal = (
        np.array(column) for column in zip(*rows, strict=True)
    )
    values = np.zeros(states)
    for _ in range(150):
        q = np.zeros(states * actions)
        np.add.at(
            q, index, probability * (reward + np.where(terminal, 0.0, 0.97) * values[following])
        )
        values = q.reshape(states, actions).max(axis=1)
    return q.reshape(states, actions).argmax(axis=1)


def _policy(env_id: str, env: gym.Env) -> Callable[[Any], int]:
    if env_id.startswith("MountainCar"):
        return lambda obs: 2 if obs[1] >= 0 else 0
    if env_id.startswith("Acrobot"):
        return lambda obs: 2 if obs[5] >= 0 else 0
    if env_id.startswith("CartPole"):
        return lambda obs: 1 if obs[2] + 0.5 * obs[3] > 0 else 0
    greedy = _greedy_table(env)
    return lambda obs: int(greedy[obs])


def _same_observation(native: Any, reference: Any) -> bool:
    if isinstance(reference, np.ndarray):
        return (
            isinstance(native, np.ndarray)
            and native.dtype == reference.dtype
            and native.shape == reference.shape
            and native.tobytes() == reference.tobytes()
        )
    return type(native) is int and type(reference) is int and native == reference


def _within_one_ulp(native: Any, reference: Any) -> bool:
    if not isinstance(reference, np.ndarray) or not isinstance(native, np.ndarray):
        return False
    a = native.view(np.int32).astype(np.int64)
    b = reference.view(np.int32).astype(np.int64)
    return bool(np.all(np.abs(a - b) <= 1))


def _reference_values(env: gym.Env) -> list[float]:
    """The numbers of Gymnasium's environment that the native task's state holds first."""
    inner = env.unwrapped
    if hasattr(inner, "s"):  # toy text: the state's index
        return [float(inner.s)]
    return [float(value) for value in inner.state]  # type: ignore[attr-defined]


def compare(
    env_id: str,
    kwargs: dict[str, Any],
    transitions: int,
    seed: int,
    *,
    reseed_every: int = 3,
    early_reset: float = 0.002,
) -> Counts:
    """Runs both for `transitions` steps from `seed`; counts each step or reset that differs.

    Besides what step and reset return, the native task's own numbers (get_state's values: the
    float64 physical state, or the toy text's state index) are compared with those of
    Gymnasium's environment after every step, which shows a difference in the last bit of a
    double long before it reaches a float32 observation.
    """
    reference = make_reference(env_id, **kwargs)
    native = NativeTask(env_id, kwargs)
    draws = np.random.default_rng([seed, 7])
    policy = _policy(env_id, reference)
    counts = Counts()

    def note(what: str) -> None:
        counts.mismatches += 1
        if counts.first_mismatch is None:
            counts.first_mismatch = what

    def reset() -> Any:
        if counts.resets % reseed_every == 0:
            episode_seed = int(draws.integers(2**63))
            expected, _ = reference.reset(seed=episode_seed)
            got = native.reset(seed=episode_seed)
        else:
            expected, _ = reference.reset()
            got = native.reset()
        counts.resets += 1
        if not _same_observation(got, expected):
            if _within_one_ulp(got, expected):
                counts.reset_ulp_mismatches += 1
            note(f"reset {counts.resets}: {got!r} != {expected!r}")
        return expected

    observation = reset()
    for step in range(transitions):
        if draws.random() < 0.5:
            action = int(draws.integers(native.num_actions))
        else:
            action = policy(observation)
        expected = reference.step(action)
        got = native.step(action)
        counts.transitions += 1
        reference_values = _reference_values(reference)
        native_values = native.get_state()["values"][: len(reference_values)]
        same = (
            native_values == reference_values
            and _same_observation(got[0], expected[0])
            and type(got[1]) is float
            and got[1] == float(expected[1])
            and got[2] is bool(expected[2])
            and got[3] is bool(expected[3])
        )
        if not same:
            note(
                f"step {step} action {action}: {got!r} != {expected[:4]!r}"
                f" (state {native_values} against {reference_values})"
            )
        counts.terminations += bool(expected[2])
        counts.truncations += bool(expected[3])
        observation = expected[0]
        if expected[2] or expected[3] or draws.random() < early_reset:
            observation = reset()
    reference.close()
    return counts
