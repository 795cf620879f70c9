"""Features of an observation: a tile coder for Box spaces and a one-hot code for Discrete ones.

``features_for(env, ...)`` picks the right one for a Gymnasium environment's observation space,
with the bounds it needs for dimensions that the space leaves unbounded.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Protocol

import numpy as np
from numpy.typing import NDArray

from velto_kit._native import TileCoder

# Boxes for observations whose space is unbounded, by environment id: beyond them the tile coder
# clips. CartPole's velocities are unbounded in its space but stay well inside these in practice.
OBSERVATION_BOUNDS: Mapping[str, tuple[Sequence[float], Sequence[float]]] = {
    "CartPole-v1": ([-2.4, -3.0, -0.2095, -3.5], [2.4, 3.0, 0.2095, 3.5]),
}


class Features(Protocol):
    """What the loop needs from a feature map: its size and the active indices of a state, one
    state at a time or a batch of N states (row n of the batch is exactly what the single call
    gives for observation n)."""

    @property
    def num_features(self) -> int: ...

    def active_features(self, observation: Any) -> list[int]: ...

    def active_features_batch(self, observations: Any) -> NDArray[np.int32]: ...


class OneHot:
    """One feature per state of a ``Discrete(n, start)`` observation space.

    Example:
        >>> OneHot(4).active_features(2)
        [2]
        >>> OneHot(3, start=-1).active_features(-1)
        [0]
    """

    def __init__(self, n: int, start: int = 0) -> None:
        if n < 1:
            raise ValueError(f"n must be at least 1, not {n}")
        self.n = int(n)
        self.start = int(start)

    @property
    def num_features(self) -> int:
        return self.n

    def active_features(self, observation: Any) -> list[int]:
        """The one index of `observation`; ValueError outside ``[start, start + n)``."""
        index = int(observation) - self.start
        if not 0 <= index < self.n:
            raise ValueError(
                f"observation {observation!r} outside [{self.start}, {self.start + self.n})"
            )
        return [index]

    def active_features_batch(self, observations: Any) -> NDArray[np.int32]:
        """The index of each of N observations, as an int32 array of shape (N, 1).

        Args:
            observations: Integers, an array or sequence of shape (N,).

        Returns:
            Row n is ``active_features(observations[n])``.

        Raises:
            TypeError: `observations` are not integers (the single call would truncate a float;
                a batch refuses it).
            ValueError: A wrong shape, or an observation outside ``[start, start + n)`` (the
                message names the row).

        Example:
            >>> OneHot(4, start=1).active_features_batch([1, 4]).tolist()
            [[0], [3]]
        """
        values = np.asarray(observations)
        if values.ndim != 1:
            raise ValueError(f"observations must have shape (N,), not {values.shape}")
        if values.size and values.dtype.kind not in "iu":
            raise TypeError(f"observations must be integers, not {values.dtype}")
        # Compared as Python integers' exact values: no wrap-around for any integer dtype.
        wide = values.astype(object) if values.dtype == np.uint64 else values.astype(np.int64)
        outside = (wide < self.start) | (wide >= self.start + self.n)
        if np.any(outside):
            row = int(np.flatnonzero(outside)[0])
            raise ValueError(
                f"observations[{row}] = {values[row]!r} outside"
                f" [{self.start}, {self.start + self.n})"
            )
        return (wide - self.start).astype(np.int32).reshape(-1, 1)


class Flattened:
    """A tile coder over a Box observation of any shape, read in C order.

    Example:
        >>> coder = Flattened(TileCoder([0.0] * 4, [1.0] * 4, 2, 1))
        >>> coder.active_features(np.zeros((2, 2)))
        [0]
    """

    def __init__(self, coder: TileCoder) -> None:
        self.coder = coder

    @property
    def num_features(self) -> int:
        return self.coder.num_features

    def active_features(self, observation: Any) -> list[int]:
        return self.coder.active_features(np.ravel(observation))

    def active_features_batch(self, observations: Any) -> NDArray[np.int32]:
        """The indices of N observations (an array of shape (N, *observation shape)), each read
        in C order, as an int32 array of shape (N, num_tilings).

        Example:
            >>> coder = Flattened(TileCoder([0.0] * 4, [1.0] * 4, 2, 1))
            >>> coder.active_features_batch(np.zeros((3, 2, 2))).tolist()
            [[0], [0], [0]]
        """
        values = np.asarray(observations)
        if values.ndim < 1:
            raise ValueError(f"observations need a leading batch axis, not shape {values.shape}")
        width = int(np.prod(values.shape[1:]))
        return self.coder.active_features_batch(values.reshape(values.shape[0], width))


def box_bounds(
    env_id: str | None, low: np.ndarray, high: np.ndarray, bounds: tuple[Any, Any] | None
) -> tuple[list[float], list[float]]:
    """The box to tile-code: `bounds` if given, else the table's entry for `env_id`, else the
    space's own bounds, which must then be finite.

    Example:
        >>> box_bounds(None, np.array([0.0]), np.array([1.0]), None)
        ([0.0], [1.0])
    """
    if bounds is not None:
        lows, highs = bounds
        return [float(v) for v in np.ravel(lows)], [float(v) for v in np.ravel(highs)]
    if env_id is not None and env_id in OBSERVATION_BOUNDS:
        lows, highs = OBSERVATION_BOUNDS[env_id]
        return list(lows), list(highs)
    low, high = np.ravel(low).astype(np.float64), np.ravel(high).astype(np.float64)
    unbounded = [int(d) for d in np.flatnonzero(~(np.isfinite(low) & np.isfinite(high)))]
    if unbounded:
        raise ValueError(
            f"{env_id or 'the environment'}: observation dimensions {unbounded} are unbounded;"
            " give bounds=(lows, highs) (examples/train.py: --bounds) or add a box to"
            " velto_kit.features.OBSERVATION_BOUNDS"
        )
    return low.tolist(), high.tolist()


def features_for(
    env: Any,
    *,
    tiles: int = 6,
    tilings: int = 8,
    bounds: tuple[Any, Any] | None = None,
    hash_size: int | None = None,
) -> Features:
    """The feature map for `env`'s observation space: one-hot for ``Discrete``, a tile coder of
    `tilings` tilings of `tiles` tiles per dimension for ``Box``.

    Example:
        >>> import gymnasium as gym
        >>> features_for(gym.make("CartPole-v1")).num_features
        19208
        >>> features_for(gym.make("FrozenLake-v1")).num_features
        16
    """
    import gymnasium as gym

    # A vector environment's observation_space is the batch's; its sub-environments' is single.
    space = getattr(env, "single_observation_space", env.observation_space)
    if isinstance(space, gym.spaces.Discrete):
        return OneHot(int(space.n), int(space.start))
    if isinstance(space, gym.spaces.Box):
        env_id = env.spec.id if env.spec is not None else None
        lows, highs = box_bounds(env_id, space.low, space.high, bounds)
        if len(lows) != int(np.prod(space.shape)):
            raise ValueError(
                f"bounds have {len(lows)} dimensions, the observations {int(np.prod(space.shape))}"
            )
        coder = TileCoder(lows, highs, tiles, tilings, hash_size=hash_size)
        return coder if len(space.shape) == 1 else Flattened(coder)
    raise ValueError(f"needs a Box or Discrete observation space, not {space}")
