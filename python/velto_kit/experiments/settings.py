"""The agent's learning parameters as one value, and the agent built from them."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import SupportsIndex

from velto_actor_critic import VeltoActorCritic


@dataclass(frozen=True)
class AgentSettings:
    """Every learning parameter of ``VeltoActorCritic``, with the CartPole example's defaults.

    The fields keep the constructor's names; the documentation's evidence page says how the
    defaults were chosen.

    Examples:
        >>> AgentSettings(lambda_=0.9).eta_actor
        0.005
    """

    lambda_: float = 0.5
    alpha: float = 0.1
    epsilon: float = 0.01
    meta_step_size: float = 0.001
    eta: float = 0.5
    eta_actor: float = 0.005
    decay: float = 0.5
    action_prob_at_init: float = 0.5


def make_agent(
    num_features: SupportsIndex,
    num_units: SupportsIndex,
    settings: AgentSettings,
    seed: SupportsIndex,
) -> VeltoActorCritic:
    """A fresh agent of `num_features` features and `num_units` units.

    Args:
        num_features: Number of binary features of the agent.
        num_units: Number of actor units (``ActionMapping.num_units`` for a mapped task).
        settings: The learning parameters.
        seed: Seed of the units' random engines.

    Returns:
        The new agent.

    Raises:
        TypeError: A count or seed that is not an int (a float, say).
        ValueError: A negative `num_features`.
        MemoryError: An agent larger than the memory that can be had.

    Examples:
        >>> agent = make_agent(16, 2, AgentSettings(), seed=0)
        >>> agent.step([3], 0.0, 0.0) in ([], [0], [1], [0, 1])
        True
    """
    return VeltoActorCritic(
        num_features=num_features, num_actions=num_units, seed=seed, **asdict(settings)
    )
