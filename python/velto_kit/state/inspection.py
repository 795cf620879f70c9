"""A look inside an agent: every member of its critic and of each actor unit, by name."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native

Floats = NDArray[np.float32]


@dataclass(frozen=True, eq=False)
class LearnerState:
    """The members that the critic and the actor units share, as `inspect` found them.

    The per-feature arrays are live read-only views of the agent's own memory: they keep the agent
    alive and show what later steps write. ``trace_list`` (which the agent reallocates as it grows)
    and the scalars are copies taken by `inspect`. Copy an array (``numpy.array(view)``) to
    keep it as it is now.
    """

    trace_list: NDArray[np.int32]
    weights: Floats
    traces: Floats
    recent_step: Floats
    h: Floats
    h_old: Floats
    h_temp: Floats
    log_step_size: Floats
    trace_bar: Floats
    h_trace: Floats
    entry_step: Floats
    lambda_: np.float32
    epsilon: np.float32
    meta_step_size: np.float32
    decay: np.float32

    @property
    def step_sizes(self) -> Floats:
        """A new array of the step sizes, ``exp(log_step_size)``.

        Computed with the learners' own float32 exponential, so bit for bit what a step uses.
        """
        return _native.exp_float32(self.log_step_size)


@dataclass(frozen=True, eq=False)
class CriticState(LearnerState):
    """The critic's members.

    See [LearnerState][velto_kit.LearnerState] for which are live views and which are copies.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(8, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> critic = velto_kit.inspect(agent).critic
        >>> critic.weights[:3].tolist(), float(critic.last_value), float(critic.step_sizes.max())
        ([0.0, 0.0, 0.0], 0.0, 0.09999999403953552)
    """

    weight_change: Floats
    value_change: np.float32
    last_value: np.float32
    eta: np.float32


@dataclass(frozen=True, eq=False)
class UnitState(LearnerState):
    """One actor unit's members.

    See [LearnerState][velto_kit.LearnerState] for which are live views and which are copies.

    ``rng_state`` (624 ``uint32`` words) and ``rng_position`` (0 to 624) are the unit's
    Mersenne Twister as the C++ standard library's text form writes it: 624 right after seeding,
    0 right after the engine regenerated its words; each draw advances it by two outputs.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(8, 2, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> unit = velto_kit.inspect(agent).units[1]
        >>> float(unit.action_prob_at_init), unit.rng_position, unit.rng_state.shape
        (0.5, 624, (624,))
    """

    rng_state: NDArray[np.uint32]
    rng_position: int
    eta_actor: np.float32
    action_prob_at_init: np.float32


@dataclass(frozen=True, eq=False)
class AgentState:
    """Everything [inspect][velto_kit.inspect] returns: the critic, the units in order, the sizes.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(8, 3, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> state = velto_kit.inspect(agent)
        >>> state.num_features, state.num_actions, len(state.units)
        (8, 3, 3)
    """

    num_features: int
    num_actions: int
    critic: CriticState
    units: tuple[UnitState, ...]


def _members(
    taken: tuple[Any, ...], arrays: tuple[str, ...], scalars: tuple[str, ...]
) -> dict[str, Any]:
    trace_list, views, values, _ = taken
    members: dict[str, Any] = {"trace_list": trace_list}
    members.update(zip(arrays, views, strict=True))
    # Indexing a float32 array gives numpy.float32 with the stored bits, NaN payloads included.
    members.update((name, values[i]) for i, name in enumerate(scalars))
    return members


def _unit_state(taken: tuple[Any, ...]) -> UnitState:
    words, position = taken[3]
    members = _members(taken, _native.UNIT_ARRAYS, _native.UNIT_SCALARS)
    return UnitState(rng_state=words, rng_position=position, **members)


def inspect(agent: VeltoActorCritic) -> AgentState:
    """Every member of the agent's critic and actor units, under the members' own names.

    Per-feature arrays (``weights``, ``log_step_size``, ...) are zero-copy read-only ``float32``
    views that keep the agent alive and follow its later steps; ``trace_list`` is an ``int32``
    copy, scalars are ``numpy.float32`` copies with their exact bits, and each unit's engine is
    ``rng_state``/``rng_position``. ``step_sizes`` gives ``exp(log_step_size)``. Inspecting
    changes nothing and draws nothing.

    Args:
        agent: The agent to look into; it is left unchanged.

    Returns:
        The critic's and every unit's members.

    Raises:
        TypeError: An object whose ``__init__`` never ran.

    Examples:
        >>> import velto_kit
        >>> from velto_actor_critic import VeltoActorCritic
        >>> agent = VeltoActorCritic(8, 1, 0.9, 0.1, 0.01, 0.01, 1.0, 0.5, 0.9, 0.5, 0)
        >>> _ = agent.step([1, 2], 0.0, 0.9)
        >>> state = velto_kit.inspect(agent)
        >>> state.critic.trace_list.tolist(), state.units[0].rng_position
        ([1, 2], 2)
    """
    # One native call takes every copy, so that no step on another thread falls between them.
    critic, *units = _native.all_members(agent)  # TypeError first if __init__ never ran
    return AgentState(
        num_features=_native.num_features(agent),
        num_actions=len(units),
        critic=CriticState(**_members(critic, _native.CRITIC_ARRAYS, _native.CRITIC_SCALARS)),
        units=tuple(_unit_state(unit) for unit in units),
    )
