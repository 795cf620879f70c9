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
# CartPole-v0 is v1 with a shorter time limit: the same box.
_CART_POLE_BOUNDS = ([-2.4, -3.0, -0.2095, -3.5], [2.4, 3.0, 0.2095, 3.5])
OBSERVATION_BOUNDS: Mapping[str, tuple[Sequence[float], Sequence[float]]] = {
    "CartPole-v1": _CART_POLE_BOUNDS,
    "CartPole-v0": _CART_POLE_BOUNDS,
}
"""Boxes ``(lows, highs)`` by environment id, for ``features_for`` where the space has none."""


class Features(Protocol):
    """What the loops need from a feature map: its size and the active indices of a state.

    Any object with these two members serves, e.g. a user's own feature map of a custom task.
    """

    @property
    def num_features(self) -> int:
        """Number of features: every index is in ``[0, num_features)``."""
        ...

    def active_features(self, observation: Any) -> list[int]:
        """The active feature indices of `observation`, what the agent's ``step`` takes.

        Args:
            observation: One observation of the task.

        Returns:
            The indices, each in ``[0, num_features)``.
        """
        ...


class BatchFeatures(Features, Protocol):
    """A feature map that also codes a batch of N states in one call.

    Row n of the batch is exactly what the single call gives for observation n. The kit's own
    maps are such maps; ``run_population`` takes any ``Features`` and calls one that lacks the
    batch row by row.
    """

    def active_features_batch(self, observations: Any) -> NDArray[np.int32]:
        """The active features of N observations, row n those of ``observations[n]``.

        Args:
            observations: N observations, stacked along a leading axis.

        Returns:
            An int32 array of shape (N, k), k active features per observation.
        """
        ...


class OneHot:
    """One feature per state of a ``Discrete(n, start)`` observation space.

    Observation ``start + i`` activates feature i.

    Args:
        n: Number of states, at least 1.
        start: The first state.

    Raises:
        ValueError: `n` below 1.

    Examples:
        >>> OneHot(4).active_features(2)
        [2]
        >>> OneHot(3, start=-1).active_features(-1)
        [0]
    """

    def __init__(self, n: int, start: int = 0) -> None:
        """Codes the states ``start .. start + n - 1`` (see the class's description)."""
        if n < 1:
            raise ValueError(f"n must be at least 1, not {n}")
        self.n = int(n)
        self.start = int(start)

    @property
    def num_features(self) -> int:
        """Number of features, `n`."""
        return self.n

    def active_features(self, observation: Any) -> list[int]:
        """The one active feature of `observation`.

        Args:
            observation: A state, an integer in ``[start, start + n)`` (anything ``int()``
                takes; a float is truncated).

        Returns:
            ``[observation - start]``.

        Raises:
            ValueError: `observation` outside ``[start, start + n)``, or not a number.
            TypeError: `observation` of a type ``int()`` does not take.
        """
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

    ``features_for`` gives one for a Box space of more than one dimension.

    Args:
        coder: The tile coder of the flattened observation.

    Examples:
        >>> coder = Flattened(TileCoder([0.0] * 4, [1.0] * 4, 2, 1))
        >>> coder.active_features(np.zeros((2, 2)))
        [0]
    """

    def __init__(self, coder: TileCoder) -> None:
        """Wraps `coder` (see the class's description)."""
        self.coder = coder

    @property
    def num_features(self) -> int:
        """Number of features, the coder's."""
        return self.coder.num_features

    def active_features(self, observation: Any) -> list[int]:
        """The active features of `observation`, flattened in C order.

        Args:
            observation: An array of the space's shape.

        Returns:
            One index per tiling, as ``TileCoder.active_features`` gives them.

        Raises:
            ValueError: A NaN or the wrong number of values.
        """
        return self.coder.active_features(np.ravel(observation))

    def active_features_batch(self, observations: Any) -> NDArray[np.int32]:
        """The active features of N observations, each read in C order.

        Args:
            observations: An array of shape (N, *observation shape).

        Returns:
            An int32 array of shape (N, num_tilings); row n is ``active_features(observations[n])``.

        Raises:
            ValueError: A scalar (no batch axis), a wrong number of values per observation, or a
                NaN (the message names the row).
            TypeError: An array that does not hold numbers.

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
    """The box to tile-code: `bounds`, else the table's entry for `env_id`, else the space's.

    The space's own bounds must then be finite.

    Args:
        env_id: The task's id, or None for a task without a registered spec.
        low: The space's lower bounds.
        high: The space's upper bounds.
        bounds: ``(lows, highs)`` given by the user, or None.

    Returns:
        ``(lows, highs)`` as flat lists of floats.

    Raises:
        ValueError: No bounds given, no table entry, and a dimension of the space unbounded
            (the message names the dimensions and how to give bounds).

    Examples:
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
            " give bounds=(lows, highs) (velto train: --bounds) or add a box to"
            " velto_kit.experiments.features.OBSERVATION_BOUNDS"
        )
    return low.tolist(), high.tolist()


def features_for(
    env: Any,
    *,
    tiles: int = 6,
    tilings: int = 8,
    bounds: tuple[Any, Any] | None = None,
    hash_size: int | None = None,
) -> BatchFeatures:
    """The feature map for `env`'s observation space: one-hot or tile coding.

    A ``Discrete`` space gets ``OneHot``; a ``Box`` space a ``TileCoder`` of `tilings` tilings of
    `tiles` tiles per dimension over its box (``box_bounds``), wrapped in ``Flattened`` for a
    space of more than one dimension. For a vector environment, the map of one
    sub-environment's observations.

    Args:
        env: A Gymnasium environment or vector environment.
        tiles: Tiles per dimension of each tiling (Box only).
        tilings: Number of tilings (Box only).
        bounds: ``(lows, highs)`` of the box to tile, for spaces without finite bounds; None
            takes ``OBSERVATION_BOUNDS[env_id]`` or the space's own.
        hash_size: Hash the tiles into this many features; None for the full grid (Box only).

    Returns:
        A feature map with ``num_features``, ``active_features`` and ``active_features_batch``.

    Raises:
        ValueError: An action space other than ``Discrete(n)`` (the agent's units drive only
            such), a space that is neither Box nor Discrete, unbounded dimensions without
            `bounds`, `bounds` of the wrong length, or tile settings the ``TileCoder`` refuses.

    Examples:
        >>> import gymnasium as gym
        >>> features_for(gym.make("CartPole-v1")).num_features
        19208
        >>> features_for(gym.make("FrozenLake-v1")).num_features
        16
    """
    import gymnasium as gym

    from velto_kit.experiments.run_checks import discrete_actions

    discrete_actions(env)
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
