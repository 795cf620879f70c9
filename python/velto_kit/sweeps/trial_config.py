"""What one trial of a sweep trains: a learner, a task, a seed and their settings, as one value.

A sweep hands each trial a plain dict (Ray Tune's ``config``); ``TrialConfig.from_dict`` turns it
into this checked value, so a misspelt key or a bad value stops the trial at once with an error
that names it, instead of training with a default that nobody asked for.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any

from velto_kit.experiments.settings import AgentSettings

LEARNERS = ("velto", "sarsa", "random")


@dataclass(frozen=True)
class TrialConfig:
    """One trial: ``learner`` trained for ``episodes`` episodes on ``env_id`` with ``seed``.

    The agent's own parameters (``lambda_`` ... ``action_prob_at_init``) are those of
    ``AgentSettings`` under the same names and defaults; ``sarsa_*`` set the SARSA(lambda)
    baseline (``learner="sarsa"``; ``sarsa_initial_value`` is every action value at the
    start); ``"random"`` picks uniformly random actions and learns nothing. ``mapping`` names
    the action mapping of the agent's units (``"default"``: the example's choice for the number
    of actions). The agent is saved every ``checkpoint_every`` episodes and after the last one.
    With ``seeds_per_trial`` above 1 the trial trains the seeds ``seed, seed + 1, ...`` as one
    population on a vector environment (the ``"velto"`` learner only), and reports every
    episode with its seed.

    Raises:
        ValueError: An unknown ``learner``; ``episodes``, ``tiles``, ``tilings``,
            ``checkpoint_every`` or ``seeds_per_trial`` below 1; ``max_episode_steps`` or
            ``hash_size`` below 1 (None is allowed); or ``seeds_per_trial`` above 1 with a
            learner other than ``"velto"``. The message names the setting.

    Examples:
        >>> config = TrialConfig.from_dict({"env_id": "CartPole-v1", "seed": 3, "alpha": 0.05})
        >>> config.settings.alpha, config.episodes
        (0.05, 1000)
    """

    env_id: str = "CartPole-v1"
    seed: int = 0
    seeds_per_trial: int = 1
    episodes: int = 1000
    learner: str = "velto"
    gamma: float = 0.99
    max_episode_steps: int | None = None
    tiles: int = 6
    tilings: int = 8
    hash_size: int | None = None
    mapping: str = "default"
    checkpoint_every: int = 100
    lambda_: float = AgentSettings.lambda_
    alpha: float = AgentSettings.alpha
    epsilon: float = AgentSettings.epsilon
    meta_step_size: float = AgentSettings.meta_step_size
    eta: float = AgentSettings.eta
    eta_actor: float = AgentSettings.eta_actor
    decay: float = AgentSettings.decay
    action_prob_at_init: float = AgentSettings.action_prob_at_init
    sarsa_alpha: float = 0.1
    sarsa_lambda: float = 0.9
    sarsa_epsilon: float = 0.0
    sarsa_initial_value: float = 0.0

    def __post_init__(self) -> None:
        """Checks the settings (see the class's Raises)."""
        if self.learner not in LEARNERS:
            raise ValueError(f"learner must be one of {LEARNERS}, not {self.learner!r}")
        for name in ("episodes", "tiles", "tilings", "checkpoint_every", "seeds_per_trial"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1, not {getattr(self, name)}")
        for name in ("max_episode_steps", "hash_size"):
            value = getattr(self, name)
            if value is not None and value < 1:
                raise ValueError(f"{name} must be at least 1 or None, not {value}")
        if self.seeds_per_trial > 1 and self.learner != "velto":
            raise ValueError(
                f"seeds_per_trial={self.seeds_per_trial} needs learner 'velto' (a population of"
                f" agents), not {self.learner!r}: give the {self.learner} seeds a grid axis"
            )

    @classmethod
    def from_dict(cls, config: Mapping[str, Any]) -> TrialConfig:
        """The trial described by `config`; keys left out take their defaults.

        Args:
            config: Settings by name, e.g. Ray Tune's ``config`` of a trial.

        Returns:
            The checked trial.

        Raises:
            ValueError: A key that is not a setting (the message lists the known ones), or a
                bad value (see the class's Raises).

        Examples:
            >>> TrialConfig.from_dict({"learner": "random", "episodes": 5}).episodes
            5
        """
        known = [field.name for field in fields(cls)]
        for key in config:
            if key not in known:
                raise ValueError(f"unknown trial setting {key!r}; known: {', '.join(known)}")
        return cls(**dict(config))

    @property
    def seeds(self) -> list[int]:
        """The seeds the trial trains: ``seed`` and the next ``seeds_per_trial - 1``."""
        return list(range(self.seed, self.seed + self.seeds_per_trial))

    @property
    def settings(self) -> AgentSettings:
        """The agent's learning parameters of this trial."""
        names = [field.name for field in fields(AgentSettings)]
        return AgentSettings(**{name: getattr(self, name) for name in names})

    def as_dict(self) -> dict[str, Any]:
        """Every setting under its key, as a sweep's table shows it.

        Returns:
            A new dict, the inverse of ``from_dict``.
        """
        return dataclasses.asdict(self)
