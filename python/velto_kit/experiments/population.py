"""Many agents stepped once each in one call, optionally on native threads."""

from __future__ import annotations

import numbers
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native

# More threads than this is a mistake (the machine has far fewer cores), not a request.
MAX_THREADS = 4096

_INT32_OR_INT64 = (np.dtype(np.int32), np.dtype(np.int64))
_FLOAT32_OR_FLOAT64 = (np.dtype(np.float32), np.dtype(np.float64))
_INT64_MAX = np.iinfo(np.int64).max


class Population:
    """A fixed list of agents with the same ``num_actions``, stepped once each per call.

    ``population.step(features, rewards, gammas)`` does what
    ``agents[i].step(features[i], rewards[i], gammas[i])`` for every ``i`` would do, with the
    same bits in every member of every agent, and returns the actions taken as a bool mask of
    shape ``(N, num_actions)``. The agents stay ordinary agents: save, copy, inspect or step any
    of them between calls.

    Every input is checked before any agent changes. With ``threads`` above 1, a call whose work
    pays for handing part of it to other threads (at least 8,192 live traces and active
    features per part: a few hundred microseconds of stepping, where a hand-over costs a few to
    a few dozen) is split by index into up to ``threads`` contiguous blocks, the first stepped
    on the calling thread and each other on a native thread of its own; smaller calls, and
    every call with ``threads=1``, step every agent on the calling thread with no hand-over.
    The agents end with the same bits either way. The call holds the interpreter lock
    throughout, so no other Python thread sees an agent half-stepped: a ``save``, ``copy``,
    ``inspect`` or ``step`` on another thread runs before or after the whole call.

    Args:
        agents: The agents, each a constructed ``VeltoActorCritic``; ``num_features`` and the
            settings may differ, ``num_actions`` may not, and no agent may appear twice.
        threads: Native threads a call may step the agents on; 1 steps them on the calling
            thread. The threads are started by the first call that is split and sleep between
            calls.

    Raises:
        TypeError: An entry of `agents` is not a constructed agent, or `threads` is not an int.
        ValueError: `agents` is empty, holds one agent twice or agents whose ``num_actions``
            differ (the message names them), or `threads` is outside ``[1, 4096]``.

    Example:
        >>> import numpy as np
        >>> from velto_kit import AgentSettings, Population, make_agent
        >>> agents = [make_agent(16, 2, AgentSettings(), seed=s) for s in range(3)]
        >>> population = Population(agents, threads=2)
        >>> taken = population.step(np.array([[0, 5], [1, 6], [2, 7]]), 0.0, 0.9)
        >>> taken.shape, taken.dtype
        ((3, 2), dtype('bool'))
    """

    __slots__ = ("_core", "_size")
    _core: _native.Population
    _size: int

    def __init__(self, agents: Iterable[VeltoActorCritic], *, threads: int = 1) -> None:
        """Wraps `agents` (see the class's description)."""
        if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
            raise TypeError(f"threads must be an int, not {type(threads).__name__}")
        if not 1 <= threads <= MAX_THREADS:
            raise ValueError(f"threads must be in [1, {MAX_THREADS}], not {threads}")
        members = tuple(agents)
        try:
            self._core = _native.Population(members, int(threads))
        except ValueError as error:
            raise ValueError(f"agents: {error}") from None
        self._size = len(members)

    @property
    def agents(self) -> tuple[VeltoActorCritic, ...]:
        """The agents, the very objects given, in row order."""
        return self._core.agents

    @property
    def num_actions(self) -> int:
        """Actions of every agent: the width of the mask that ``step`` returns."""
        return self._core.num_actions

    @property
    def threads(self) -> int:
        """Native threads a call steps the agents on (at most one per agent is used)."""
        return self._core.threads

    def __len__(self) -> int:
        """The number of agents, N."""
        return self._size

    def __repr__(self) -> str:
        """The size, the actions and the threads, for the interpreter."""
        return (
            f"Population({len(self)} agents, num_actions={self.num_actions},"
            f" threads={self.threads})"
        )

    def step(
        self,
        features: Any,
        rewards: Any,
        gammas: Any,
        *,
        active: Any = None,
    ) -> NDArray[np.bool_]:
        """Steps every agent once: agent ``i`` on row ``i`` of the inputs.

        Args:
            features: The active features of each agent's new state: an integer array of shape
                ``(N, k)`` (int32 and int64 are read in place), or a sequence of N sequences of
                integers of any lengths (empty and repeated indices are fine, as for ``step``).
            rewards: The rewards, a number or an array of shape ``(N,)``; each is rounded to
                binary32 exactly as the agent's ``step`` rounds a Python float.
            gammas: The discounts, a number or an array of shape ``(N,)``, rounded likewise.
            active: None (every agent steps) or a bool array of shape ``(N,)``: a row that is
                False is not stepped and its result row is all False. Its features are only
                checked for type and shape, not against the agent's range, so a caller can fill
                skipped rows with anything (-1, say).

        Returns:
            A new bool array of shape ``(N, num_actions)``: row ``i`` is True at the actions
            that ``agents[i].step(features[i], rewards[i], gammas[i])`` would have returned.

        Raises:
            IndexError: An index of an active row lies outside its agent's
                ``[0, num_features)``; the message names the row and the index.
            TypeError: An input is not of numbers (features must be integers, not floats or
                bools; ``active`` must be bool).
            ValueError: An input has the wrong shape, or an agent's ``num_actions`` is no longer
                the population's (the native step reads it again on every call).
            MemoryError: Memory ran out in an agent's step; no agent changed if it ran out
                before the first step, and otherwise the message lists the agents that were
                stepped (each agent is left as its own ``step`` leaves it). Once one agent's
                step has failed no further agent is stepped, on any thread: the others finish
                the step they are in. An error other than MemoryError in an agent's step is
                reported likewise, as RuntimeError.

        Example:
            >>> import numpy as np
            >>> from velto_kit import AgentSettings, Population, make_agent
            >>> population = Population([make_agent(8, 1, AgentSettings(), seed=s) for s in (1, 2)])
            >>> population.step([[3], [4, 4]], np.array([1.0, 0.0]), 0.5).shape
            (2, 1)
        """
        size = self._size
        # The common call (an int32/int64 array, float rewards and gammas) goes to the native step
        # as it is, which checks the array's shape; anything else is brought to that form first.
        if type(features) is np.ndarray and features.dtype in _INT32_OR_INT64:
            flat, offsets = features, None
        else:
            flat, offsets = _feature_rows(features, size)
        if type(rewards) is not float:
            rewards = _float_rows("rewards", rewards, size)
        if type(gammas) is not float:
            gammas = _float_rows("gammas", gammas, size)
        mask = None if active is None else _active_rows(active, size)
        return self._core.step(flat, offsets, rewards, gammas, mask)


def _integer_array(name: str, values: NDArray[Any]) -> NDArray[Any]:
    """`values` as int32 or int64 with the same numbers; TypeError for anything but integers."""
    if values.dtype in _INT32_OR_INT64:
        return values
    if values.size == 0:
        return values.astype(np.int64)
    if values.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, not {values.dtype}")
    if values.dtype == np.uint64 and int(values.max()) > _INT64_MAX:
        big = int(values.max())
        raise IndexError(f"{name}: index {big} is outside every agent's range")
    return values.astype(np.int64)


def _feature_rows(features: Any, size: int) -> tuple[NDArray[Any], NDArray[np.int64] | None]:
    """The features as one C-contiguous int32/int64 block, with row offsets when ragged."""
    if isinstance(features, (str, bytes)):
        raise TypeError(
            f"features must be an integer array or a sequence of rows, not {features!r}"
        )
    if not isinstance(features, np.ndarray):
        if not isinstance(features, Sequence):
            raise TypeError(
                "features must be an integer array or a sequence of rows, not "
                f"{type(features).__name__}"
            )
        if len(features) != size:
            raise ValueError(f"features must have {size} rows, not {len(features)}")
        try:
            features = np.asarray(features)
        except ValueError:
            return _ragged_rows(features, size)
        if features.dtype == object:
            return _ragged_rows(list(features), size)
    if features.ndim != 2 or features.shape[0] != size:
        if features.ndim == 1 and features.shape[0] == size and features.dtype == object:
            return _ragged_rows(list(features), size)
        raise ValueError(f"features must have shape ({size}, k), not {features.shape}")
    return _integer_array("features", features), None


def _ragged_rows(rows: Sequence[Any], size: int) -> tuple[NDArray[Any], NDArray[np.int64]]:
    """Rows of different lengths as one flat int64 block and N + 1 offsets."""
    arrays: list[NDArray[Any]] = []
    for i, row in enumerate(rows):
        if isinstance(row, (str, bytes)):
            raise TypeError(f"features row {i} must be a sequence of integers, not {row!r}")
        try:
            values = np.asarray(row)
        except ValueError:
            raise ValueError(f"features row {i} is not a flat sequence of integers") from None
        if values.ndim != 1:
            raise ValueError(f"features row {i} must be one-dimensional, not shape {values.shape}")
        if values.dtype == object:
            values = _python_integers(i, values)
        arrays.append(_integer_array(f"features row {i}", values).astype(np.int64, copy=False))
    offsets = np.zeros(size + 1, dtype=np.int64)
    np.cumsum([len(a) for a in arrays], out=offsets[1:])
    flat = np.concatenate(arrays) if arrays else np.zeros(0, dtype=np.int64)
    return flat, offsets


def _python_integers(row: int, values: NDArray[Any]) -> NDArray[np.int64]:
    """A row NumPy kept as objects (ints too large for int64, or mixed types) as int64."""
    result = np.empty(len(values), dtype=np.int64)
    for k, value in enumerate(values):
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(
                f"features row {row} must hold integers, not {type(value).__name__} {value!r}"
            )
        if not 0 <= int(value) <= _INT64_MAX:
            raise IndexError(f"features of row {row}: index {value} is outside the agent's range")
        result[k] = int(value)
    return result


def _float_rows(name: str, values: Any, size: int) -> float | NDArray[Any]:
    """A number or an array of shape (N,) as a float or a contiguous float32/float64 array."""
    if isinstance(values, numbers.Real) and not isinstance(values, np.ndarray):
        return float(values)
    array = np.asarray(values)
    if array.dtype.kind not in "fiub":
        raise TypeError(f"{name} must be numbers, not of dtype {array.dtype}")
    if array.ndim == 0:
        array = np.full(size, array)
    elif array.shape != (size,):
        raise ValueError(f"{name} must be a number or have shape ({size},), not {array.shape}")
    if array.dtype not in _FLOAT32_OR_FLOAT64:
        array = array.astype(np.float64)
    return np.ascontiguousarray(array)


def _active_rows(active: Any, size: int) -> NDArray[np.bool_]:
    """The active mask as a contiguous bool array of shape (N,)."""
    array = np.asarray(active)
    if array.dtype != np.bool_:
        raise TypeError(f"active must be a bool array, not of dtype {array.dtype}")
    if array.shape != (size,):
        raise ValueError(f"active must have shape ({size},), not {array.shape}")
    return np.ascontiguousarray(array)
