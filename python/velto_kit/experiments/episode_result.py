"""What the episode loops share: an episode's result, a checkpoint's agent file, the action choice.

The action choice is the mapping's, numbered as the environment numbers its actions.
``run_episodes`` (``velto_kit.experiments.loop``) and ``TrainingRun``
(``velto_kit.experiments.training_run``) both build on these; keeping them here lets the loop
import the run it drives without either importing the other back.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from velto_kit.experiments.actions import ActionMapping, Choose


@dataclass(frozen=True)
class EpisodeResult:
    """One finished episode.

    ``episode`` counts from the run's ``start_episode`` (0 for a fresh agent); ``length`` is the
    episode's environment steps; ``steps`` and ``seconds`` add up over the episodes of this run
    (``seconds``: the run's own wall time, not the time its caller spends between episodes);
    ``checkpoint`` is the file saved after this episode, if any; ``diverged`` says that the
    agent's critic holds a weight or gives a value that is not finite (it stays so once set). A
    resumed run's ``steps`` carry on from its checkpoint; its ``seconds`` count from the resume.

    Attributes:
        episode: The episode's number, counted from the run's ``start_episode``.
        return_: The episode's undiscounted return.
        length: The episode's environment steps.
        steps: Environment steps of the run up to and including this episode.
        seconds: The run's own wall time up to the end of this episode.
        checkpoint: The agent file saved after this episode, None if none was.
        diverged: The critic's weights or value are no longer finite at the episode's end.

    Examples:
        >>> EpisodeResult(0, 21.0, 21, 21, 0.01).as_dict()["return"]
        21.0
    """

    episode: int
    return_: float
    length: int
    steps: int
    seconds: float
    checkpoint: Path | None = None
    diverged: bool = False

    def as_dict(self) -> dict[str, Any]:
        """The result under plain names (``return`` without the underscore), for reports.

        Returns:
            The fields as a dictionary, ``checkpoint`` as a string (or None).
        """
        return {
            "episode": self.episode,
            "return": self.return_,
            "length": self.length,
            "steps": self.steps,
            "seconds": self.seconds,
            "checkpoint": None if self.checkpoint is None else str(self.checkpoint),
            "diverged": self.diverged,
        }


def checkpoint_path(directory: Path, episodes_done: int) -> Path:
    """Where ``run_episodes`` saves the agent after `episodes_done` episodes.

    Args:
        directory: The run's checkpoint folder.
        episodes_done: The number of episodes done when the checkpoint is written.

    Returns:
        The path ``directory/agent-NNNNNN.npz``, the count in six digits.

    Examples:
        >>> checkpoint_path(Path("out"), 200).name
        'agent-000200.npz'
    """
    return Path(directory) / f"agent-{episodes_done:06d}.npz"


def env_choice(env: Any, mapping: ActionMapping) -> Choose:
    """The mapping's choice as the environment numbers its actions.

    A ``Discrete(n, start)`` space numbers its actions from `start`.

    Args:
        env: The environment, whose ``action_space`` may have a ``start``.
        mapping: The action mapping.

    Returns:
        A function of the taken units and the generator, giving the environment's action.

    Examples:
        >>> import gymnasium as gym
        >>> from velto_kit import action_mapping
        >>> env = gym.make("CliffWalking-v1")
        >>> env_choice(env, action_mapping("binary", 4))([0, 1], None)
        3
    """
    start = int(getattr(env.action_space, "start", 0))
    if start == 0:
        return mapping.choose

    def choose(taken: Sequence[int], rng: np.random.Generator) -> int:
        return start + mapping.choose(taken, rng)

    return choose
