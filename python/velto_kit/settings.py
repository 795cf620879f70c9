"""The agent's learning parameters as one value, and the agent built from them."""

from __future__ import annotations

from dataclasses import asdict, dataclass

from velto_actor_critic import VeltoActorCritic


@dataclass(frozen=True)
class AgentSettings:
    """Every learning parameter of ``VeltoActorCritic``; the defaults are the CartPole example's
    (see the README, "How the defaults were chosen").

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
    num_features: int, num_units: int, settings: AgentSettings, seed: int
) -> VeltoActorCritic:
    """A fresh agent of `num_features` features and `num_units` units.

    Examples:
        >>> agent = make_agent(16, 2, AgentSettings(), seed=0)
        >>> agent.step([3], 0.0, 0.0) in ([], [0], [1], [0, 1])
        True
    """
    return VeltoActorCritic(
        num_features=num_features, num_actions=num_units, seed=seed, **asdict(settings)
    )
