"""Many agents stepped in one call.

A plain-Python stand-in with the interface of the native population: each call steps the agents
one after another through their own ``step``, so the results are those of the agents themselves.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray
from velto_actor_critic import VeltoActorCritic

from velto_kit import _native


class Population:
    """A sequence of agents with the same number of units, stepped together.

    Args:
        agents: the agents (the same objects are kept and returned by ``agents``).
        threads: native threads that share a call's agents (at least 1).

    Raises:
        ValueError: the agents differ in their number of units, or `threads` is below 1.

    Example:
        >>> from velto_kit import AgentSettings, make_agent
        >>> population = Population([make_agent(8, 1, AgentSettings(), seed) for seed in (0, 1)])
        >>> population.step([[1], [2]], 0.0, 0.0).shape
        (2, 1)
    """

    def __init__(self, agents: Sequence[VeltoActorCritic], *, threads: int = 1) -> None:
        if threads < 1:
            raise ValueError(f"threads must be at least 1, not {threads}")
        self._agents = list(agents)
        units = [_native.num_units(agent) for agent in self._agents]
        differing = [i for i, count in enumerate(units) if units and count != units[0]]
        if differing:
            raise ValueError(
                f"agents {differing} have other numbers of units than agent 0 ({units[0]})"
            )
        self._num_actions = units[0] if units else 0
        self.threads = threads

    @property
    def agents(self) -> list[VeltoActorCritic]:
        """The agents, in the order the rows of ``step`` address them."""
        return list(self._agents)

    @property
    def num_actions(self) -> int:
        """Every agent's number of units: the columns of ``step``'s result."""
        return self._num_actions

    def __len__(self) -> int:
        return len(self._agents)

    def step(
        self,
        features: Any,
        rewards: Any,
        gammas: Any,
        *,
        active: NDArray[np.bool_] | None = None,
    ) -> NDArray[np.bool_]:
        """Steps every agent (every `active` one) once.

        Args:
            features: one row of active feature indices per agent.
            rewards: one reward per agent, or one for all.
            gammas: one discount per agent, or one for all.
            active: which rows to step (default: all); the others are left as they are.

        Returns:
            A bool array of shape (N, num_actions): row i holds the units agent i took.

        Raises:
            ValueError: an argument's length is not the number of agents.
        """
        count = len(self._agents)
        rewards = np.broadcast_to(np.asarray(rewards, dtype=np.float64), (count,))
        gammas = np.broadcast_to(np.asarray(gammas, dtype=np.float64), (count,))
        if len(features) != count:
            raise ValueError(f"features has {len(features)} rows, not {count}")
        if active is None:
            active = np.ones(count, dtype=bool)
        active = np.asarray(active, dtype=bool)
        if active.shape != (count,):
            raise ValueError(f"active has shape {active.shape}, not ({count},)")
        taken = np.zeros((count, self._num_actions), dtype=bool)
        for i in np.flatnonzero(active):
            row = features[i]
            row = row.tolist() if isinstance(row, np.ndarray) else row
            units = self._agents[i].step(row, float(rewards[i]), float(gammas[i]))
            taken[i, units] = True
        return taken
