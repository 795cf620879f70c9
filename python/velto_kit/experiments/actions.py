"""Mappings from the agent's independent yes/no units onto one ``Discrete(n)`` action.

The agent decides every unit on its own, so a step may take none, one or several units; a mapping
turns the list of taken units into exactly one environment action. ``"binary"`` and
``"one-per-action"`` pick each action with probability 1/n when every unit's probability is 0.5 (a
fresh agent with ``action_prob_at_init=0.5``), so learning starts from the uniformly random policy;
``"opposing"`` then picks its middle action half of the time.

- ``"binary"``: ceil(log2 n) units spell the action's number in binary (unit i is bit i). A code
  of n or more names no action; it picks one uniformly at random. For n = 2 this is one unit:
  taken is action 1, not taken is action 0.
- ``"one-per-action"``: n units, unit i for action i. Exactly one taken picks its action; several
  taken pick uniformly among them; none taken picks uniformly among all n.
- ``"opposing"`` (n = 3 only): two units for actions ordered as one way, nothing, the other way:
  unit 0 alone picks action 0, unit 1 alone picks action 2, none or both pick action 1.

Random picks come from the generator the caller passes, never from the agent's own engines.
"""

from __future__ import annotations

import functools
import operator
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, SupportsIndex

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    # Gymnasium is optional at run time; a space is recognised without importing it first.
    from gymnasium.spaces import Space

Choose = Callable[[Sequence[int], np.random.Generator], int]


@dataclass(frozen=True)
class ActionMapping:
    """A named rule from taken units to one of `num_actions` actions.

    Examples:
        >>> mapping = action_mapping("one-per-action", 4)
        >>> mapping.num_units
        4
        >>> mapping.action([2], np.random.default_rng(0))
        2
    """

    name: str
    num_actions: int
    num_units: int
    choose: Choose

    def action(self, taken: Sequence[int], rng: np.random.Generator) -> int:
        """The environment action for the agent's list of taken unit indices.

        Args:
            taken: The units the agent took, as ``step`` returns them.
            rng: The generator of this mapping's random picks (never the agent's engines).

        Returns:
            The action, in ``[0, num_actions)``.

        Raises:
            ValueError: A unit outside ``[0, num_units)``.
        """
        for unit in taken:
            if not 0 <= unit < self.num_units:
                raise ValueError(f"taken unit {unit} outside [0, {self.num_units})")
        return self.choose(taken, rng)

    def actions(self, mask: NDArray[np.bool_], rngs: Sequence[np.random.Generator]) -> NDArray:
        """One action per row of `mask`, drawn as ``action`` draws it for that row's units.

        Row i uses ``rngs[i]`` and makes exactly the calls ``action`` would make with it for
        the units row i takes, so a batch leaves every generator where single calls would.
        Rows the mapping decides without a draw are decided at once, in NumPy.

        Args:
            mask: bool array of shape (N, num_units): row i holds the units agent i took.
            rngs: N generators, one per row.

        Returns:
            An int64 array of shape (N,), actions in ``[0, num_actions)``.

        Raises:
            ValueError: `mask` is not (N, num_units) or `rngs` has not N generators.

        Example:
            >>> mapping = action_mapping("binary", 4)
            >>> rngs = [np.random.default_rng(i) for i in range(2)]
            >>> mapping.actions(np.array([[True, False], [True, True]]), rngs).tolist()
            [1, 3]
        """
        mask = np.asarray(mask)
        if mask.ndim != 2 or mask.shape[1] != self.num_units:
            raise ValueError(f"mask has shape {mask.shape}, not (N, {self.num_units})")
        if len(rngs) != mask.shape[0]:
            raise ValueError(f"rngs has {len(rngs)} generators, not {mask.shape[0]}")
        mask = mask.astype(bool, copy=False)
        # A mapping made by hand under a kit's name has its own rule: its choose decides.
        decide = _DECIDERS[self.name] if built_in(self) else _undecided
        decided = decide(mask, self.num_actions)
        undecided = np.flatnonzero(decided < 0)
        if undecided.size == 0:
            return decided
        chosen = decided.copy()
        for row in undecided:
            taken = np.flatnonzero(mask[row]).tolist()
            chosen[row] = self.choose(taken, rngs[int(row)])
        return chosen


# One rule per count, so that action_mapping's mappings of the same name and count are equal.
@functools.cache
def _binary(num_actions: int) -> Choose:
    def choose(taken: Sequence[int], rng: np.random.Generator) -> int:
        code = 0
        for unit in taken:
            code |= 1 << unit
        if code < num_actions:
            return code
        return int(rng.integers(num_actions))

    return choose


@functools.cache
def _one_per_action(num_actions: int) -> Choose:
    def choose(taken: Sequence[int], rng: np.random.Generator) -> int:
        if len(taken) == 1:
            return int(taken[0])
        if not taken:
            return int(rng.integers(num_actions))
        return int(taken[int(rng.integers(len(taken)))])

    return choose


def _opposing(taken: Sequence[int], _rng: np.random.Generator) -> int:
    first, last = 0 in taken, 1 in taken
    if first == last:
        return 1
    return 0 if first else 2


# Per mapping: the action of every row it decides without drawing, -1 for a row that needs the
# row's generator (those rows go through the mapping's own ``choose``, so the draws are its own).
Decider = Callable[[NDArray[np.bool_], int], NDArray[np.int64]]


def _undecided(mask: NDArray[np.bool_], _num_actions: int) -> NDArray[np.int64]:
    return np.full(mask.shape[0], -1, dtype=np.int64)


def _binary_decided(mask: NDArray[np.bool_], num_actions: int) -> NDArray[np.int64]:
    units = mask.shape[1]
    if units == 1:  # two actions, the common case: the unit is the action
        code = mask[:, 0].astype(np.int64)
    else:
        code = mask.astype(np.int64) @ (np.int64(1) << np.arange(units, dtype=np.int64))
    if num_actions == 1 << units:  # every code names an action
        return code
    return np.where(code < num_actions, code, -1)


def _one_per_action_decided(mask: NDArray[np.bool_], _num_actions: int) -> NDArray[np.int64]:
    single = mask.sum(axis=1) == 1
    return np.where(single, np.argmax(mask, axis=1), -1).astype(np.int64)


def _opposing_decided(mask: NDArray[np.bool_], _num_actions: int) -> NDArray[np.int64]:
    first, last = mask[:, 0], mask[:, 1]
    return np.where(first == last, 1, np.where(first, 0, 2)).astype(np.int64)


_DECIDERS: dict[str, Decider] = {
    "binary": _binary_decided,
    "one-per-action": _one_per_action_decided,
    "opposing": _opposing_decided,
}

MAPPINGS = ("binary", "one-per-action", "opposing")
"""The names ``action_mapping`` knows, besides ``"default"``."""


def default_mapping(num_actions: int) -> str:
    """The name of the mapping the example uses for `num_actions`: the binary code for every n.

    For two actions this is the example's one unit; for three and four it learned better than the
    opposing pair and one unit per action on Acrobot-v1 and CliffWalking-v1 (see the evidence
    studies), and no worse on MountainCar-v0.

    Args:
        num_actions: The number of actions, at least 2.

    Returns:
        A name from ``MAPPINGS``.

    Raises:
        ValueError: Fewer than 2 actions.

    Examples:
        >>> [default_mapping(n) for n in (2, 3, 4)]
        ['binary', 'binary', 'binary']
    """
    if num_actions < 2:
        raise ValueError(f"num_actions must be at least 2, not {num_actions}")
    return "binary"


@functools.lru_cache(maxsize=64)
def built_in(mapping: ActionMapping) -> bool:
    """Whether `mapping` is one of the kit's own, not one made by hand under a kit's name.

    Args:
        mapping: An action mapping.

    Returns:
        True exactly when it equals ``action_mapping(mapping.name, mapping.num_actions)``:
        the same name, counts and rule.

    Examples:
        >>> built_in(action_mapping("binary", 4))
        True
        >>> built_in(ActionMapping("binary", 4, 2, lambda taken, rng: 0))
        False
    """
    if mapping.name not in MAPPINGS:
        return False
    try:
        return mapping == action_mapping(mapping.name, mapping.num_actions)
    except (TypeError, ValueError):
        return False


def _action_count(num_actions: SupportsIndex | Space[Any]) -> int:
    if hasattr(num_actions, "__index__"):
        # Gymnasium's Discrete.n is a NumPy integer; the binary code needs a Python int.
        return operator.index(num_actions)
    try:
        from gymnasium.spaces import Discrete
    except ImportError:  # without Gymnasium nothing here can be a space
        pass
    else:
        if isinstance(num_actions, Discrete):
            return int(num_actions.n)
    raise TypeError(f"num_actions must be an int or a Discrete space, not {num_actions!r}")


def action_mapping(name: str, num_actions: SupportsIndex | Space[Any]) -> ActionMapping:
    """The mapping called `name` for `num_actions` actions.

    Args:
        name: One of ``MAPPINGS``, or ``"default"`` for ``default_mapping(num_actions)``.
        num_actions: The number of actions (an int or a NumPy integer), or the environment's
            ``Discrete`` action space itself, whose ``n`` it takes. A space numbered from a
            ``start`` other than 0 is fine: the loop adds the start to the mapping's action.

    Returns:
        The mapping; build the agent with its ``num_units`` units.

    Raises:
        TypeError: `num_actions` is neither an int nor a ``Discrete`` space (a float, a ``Box``).
        ValueError: Fewer than 2 actions, an unknown name, or ``"opposing"`` for other than 3.

    Examples:
        >>> action_mapping("binary", 5).num_units
        3
        >>> import gymnasium as gym
        >>> action_mapping("default", gym.spaces.Discrete(4)).num_units
        2
    """
    num_actions = _action_count(num_actions)
    if num_actions < 2:
        raise ValueError(f"num_actions must be at least 2, not {num_actions}")
    if name == "default":
        name = default_mapping(num_actions)
    if name == "binary":
        units = (num_actions - 1).bit_length()
        return ActionMapping(name, num_actions, units, _binary(num_actions))
    if name == "one-per-action":
        return ActionMapping(name, num_actions, num_actions, _one_per_action(num_actions))
    if name == "opposing":
        if num_actions != 3:
            raise ValueError(f"the opposing mapping needs 3 actions, not {num_actions}")
        return ActionMapping(name, num_actions, 2, _opposing)
    raise ValueError(f"unknown action mapping {name!r}; one of {MAPPINGS} or 'default'")
