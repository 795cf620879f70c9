"""The two changes the robustness rows make to a task, the same for both learners.

``Distractors`` adds irrelevant inputs: after the task's own features, an extra block of features
of which k, drawn at random on every call, are active as well. They carry nothing about the state,
so a learner that does well with them present has learned to discount them.

``SwapActions`` changes what the actions mean from a fixed episode on: action a then does what
action n - 1 - a did (CartPole's left and right swapped, MountainCar's and Acrobot's pushes
swapped, CliffWalking's four moves reversed), so a learner's policy is wrong from that episode
and it has to adapt.
"""

from __future__ import annotations

from typing import Any

import numpy as np

# The size of the extra block: with 8 of 1024 active, each distractor is on in under 1 % of states.
DISTRACTOR_BLOCK = 1024
# Added to the trial's seed for the distractors' own generator, so that the draws neither
# repeat nor shift the draws of the learner (its exploration and the mapping's picks).
DISTRACTOR_SEED_OFFSET = 7_000_003


class Distractors:
    """The features of `features` and `k` distinct features drawn from a block after them.

    Args:
        features: The task's feature map (``num_features`` and ``active_features``).
        k: Distractors active per call, from 1 to `block`.
        seed: The seed of the distractors' own generator.
        block: The number of extra features.

    Raises:
        ValueError: `k` outside [1, `block`].

    Example:
        >>> from velto_kit import OneHot
        >>> coded = Distractors(OneHot(4), k=2, seed=0, block=8)
        >>> active = coded.active_features(1)
        >>> active[0], len(active), all(4 <= i < 12 for i in active[1:]), coded.num_features
        (1, 3, True, 12)
    """

    def __init__(self, features: Any, *, k: int, seed: int, block: int = DISTRACTOR_BLOCK) -> None:
        if not 1 <= k <= block:
            raise ValueError(f"k must lie in [1, {block}], got {k}")
        self.features = features
        self.k = k
        self.block = block
        self.offset = int(features.num_features)
        self.rng = np.random.default_rng(seed + DISTRACTOR_SEED_OFFSET)

    @property
    def num_features(self) -> int:
        """The task's features and the extra block."""
        return self.offset + self.block

    def active_features(self, observation: Any) -> list[int]:
        """The task's active features of `observation`, then k distinct distractors."""
        drawn: list[int] = []
        while len(drawn) < self.k:
            # Rejecting repeats keeps exactly k active; with k far below the block it rarely
            # draws twice.
            index = self.offset + int(self.rng.integers(self.block))
            if index not in drawn:
                drawn.append(index)
        return [*self.features.active_features(observation), *drawn]


class SwapActions:
    """`env` with action a meaning action n - 1 - a from episode `change_at` on.

    Episodes are counted by resets: the first reset begins episode 0.

    Args:
        env: A Gymnasium environment with a ``Discrete(n)`` action space.
        change_at: The first episode whose actions are swapped.

    Example:
        >>> import gymnasium as gym
        >>> env = SwapActions(gym.make("CartPole-v1"), change_at=1)
        >>> _ = env.reset(seed=0); env.actual(0)
        0
        >>> _ = env.reset(); env.actual(0)
        1
    """

    def __init__(self, env: Any, *, change_at: int) -> None:
        self.env = env
        self.change_at = change_at
        self.episode = -1
        self.n = int(env.action_space.n)

    def actual(self, action: int) -> int:
        """The task's action that `action` stands for in the current episode."""
        return self.n - 1 - int(action) if self.episode >= self.change_at else int(action)

    def reset(self, **kwargs: Any) -> Any:
        self.episode += 1
        return self.env.reset(**kwargs)

    def step(self, action: Any) -> Any:
        return self.env.step(self.actual(action))

    def __getattr__(self, name: str) -> Any:
        # Spaces, spec and close come from the task itself.
        return getattr(self.env, name)
