"""The learners a sweep's trial can train, behind one small interface.

Each learner runs episodes on an environment and saves itself into a checkpoint folder; its
builder makes it fresh from a ``TrialConfig`` or restores it from such a folder. To add a learner,
write a class with ``run`` and ``save`` and a builder, and add the builder to ``BUILDERS`` (and its
name to ``velto_kit.sweeps.trial_config.LEARNERS``).
"""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Protocol

from velto_kit.experiments.actions import ActionMapping, action_mapping
from velto_kit.experiments.features import Features, features_for
from velto_kit.experiments.loop import EpisodeResult, run_random
from velto_kit.experiments.settings import make_agent
from velto_kit.experiments.training_run import TrainingRun
from velto_kit.state.plain_state import load_attributes, save_attributes
from velto_kit.state.run_state import RunState, latest_run, save_run
from velto_kit.sweeps.baselines import SarsaLambda
from velto_kit.sweeps.trial_config import TrialConfig

AGENT_FILE = "agent.npz"
SARSA_STEM = "sarsa"


class TrialLearner(Protocol):
    """What a trial needs of a learner."""

    def run(
        self, env: Any, *, episodes: int, start_episode: int, seed: int
    ) -> Iterator[EpisodeResult]:
        """Trains for `episodes` episodes numbered from `start_episode`, the environment reset
        with `seed`; yields each episode's result with ``steps`` and ``seconds`` counted from
        this call."""
        ...

    def save(self, directory: Path) -> None:
        """Writes everything the builder needs to continue this learner into `directory`."""
        ...


def num_actions(env: Any) -> int:
    """The number of actions of `env`'s ``Discrete`` action space (ValueError for another).

    Example:
        >>> import gymnasium as gym
        >>> num_actions(gym.make("CartPole-v1"))
        2
    """
    import gymnasium as gym

    space = env.action_space
    if not isinstance(space, gym.spaces.Discrete):
        raise ValueError(f"needs a Discrete action space, not {space}")
    return int(space.n)


def trial_features(config: TrialConfig, env: Any) -> Features:
    """The features the trial's learner sees: as ``features_for`` with the trial's settings."""
    return features_for(env, tiles=config.tiles, tilings=config.tilings, hash_size=config.hash_size)


def features_per_state(features: Features, env: Any) -> int:
    """How many features are active in a state: counted on one sampled observation (a tile
    coder activates one per tiling, a one-hot code one), so that a SARSA(lambda) start value is
    spread over exactly that many weights.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> features_per_state(features_for(env, tilings=8), env)
        8
    """
    sample = env.observation_space.sample()
    return max(1, len(features.active_features(sample)))


class AgentLearner:
    """The ``VeltoActorCritic`` agent, trained by a
    ``velto_kit.experiments.training_run.TrainingRun`` and saved as a run checkpoint
    (``velto_kit.save_run``): restored, it continues exactly where it was, its environment's state
    included.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> learner = AgentLearner.build(TrialConfig(), env, None)
        >>> [r.episode for r in learner.run(env, episodes=2, start_episode=0, seed=0)]
        [0, 1]
    """

    def __init__(
        self, agent: Any, features: Features, mapping: ActionMapping, config: TrialConfig
    ) -> None:
        self.agent = agent
        self.features = features
        self.mapping = mapping
        self.config = config
        self.resume: RunState | None = None
        self.training: TrainingRun | None = None

    @classmethod
    def build(cls, config: TrialConfig, env: Any, restored: Path | None) -> AgentLearner:
        from velto_kit import load

        features = trial_features(config, env)
        mapping = action_mapping(config.mapping, num_actions(env))
        resume = None if restored is None else latest_run(restored)
        if resume is not None:
            agent = resume.agent
        elif restored is not None:
            # A checkpoint of the agent alone: it goes on from a fresh episode.
            agent = load(restored / AGENT_FILE)
        else:
            agent = make_agent(
                features.num_features, mapping.num_units, config.settings, config.seed
            )
        learner = cls(agent, features, mapping, config)
        learner.resume = resume
        return learner

    def run(
        self, env: Any, *, episodes: int, start_episode: int, seed: int
    ) -> Iterator[EpisodeResult]:
        """As ``TrialLearner.run``; a learner restored from a run checkpoint continues that run
        (its environment, generator and counters), the trial's own seed in its description."""
        if self.resume is not None:
            seed = self.config.seed
            start_episode = self.resume.start_episode
        self.training = TrainingRun(
            env, self.agent, self.features, self.mapping, gamma=self.config.gamma, seed=seed,
            start_episode=start_episode, settings=dataclasses.asdict(self.config.settings),
            resume=self.resume,
        )  # fmt: skip
        return self._counted_from_here(self.training.episodes(episodes))

    def _counted_from_here(self, results: Iterator[EpisodeResult]) -> Iterator[EpisodeResult]:
        """`results` with steps and seconds counted from this call, as the trial adds them to
        its checkpoint's own (a run checkpoint counts from the run's start)."""
        assert self.training is not None
        steps, seconds = self.training.steps, self.training.seconds
        for result in results:
            yield dataclasses.replace(
                result, steps=result.steps - steps, seconds=result.seconds - seconds
            )

    def save(self, directory: Path) -> None:
        from velto_kit import save

        if self.training is None:
            save(self.agent, directory / AGENT_FILE)
        else:
            save_run(directory, self.training.state())


class RandomLearner:
    """Uniformly random actions (``velto_kit.run_random``); nothing to learn or save.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> learner = RandomLearner.build(TrialConfig(learner="random"), env, None)
        >>> [r.episode for r in learner.run(env, episodes=2, start_episode=3, seed=0)]
        [3, 4]
    """

    @classmethod
    def build(cls, config: TrialConfig, env: Any, restored: Path | None) -> RandomLearner:
        num_actions(env)
        return cls()

    def run(
        self, env: Any, *, episodes: int, start_episode: int, seed: int
    ) -> Iterator[EpisodeResult]:
        for result in run_random(env, episodes=episodes, seed=seed):
            yield dataclasses.replace(result, episode=start_episode + result.episode)

    def save(self, directory: Path) -> None:
        pass


class SarsaLearner:
    """The linear SARSA(lambda) baseline on the trial's features, with the episode ends of the
    agent's loop: a termination learns with target reward and begins the next episode in one
    call; a truncation bootstraps from the final state, then starts the next episode.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> learner = SarsaLearner.build(TrialConfig(learner="sarsa"), env, None)
        >>> [r.episode for r in learner.run(env, episodes=2, start_episode=0, seed=0)]
        [0, 1]
    """

    def __init__(self, learner: SarsaLambda, features: Features) -> None:
        self.learner = learner
        self.features = features

    @classmethod
    def build(cls, config: TrialConfig, env: Any, restored: Path | None) -> SarsaLearner:
        features = trial_features(config, env)
        if restored is None:
            learner = SarsaLambda(
                features.num_features,
                num_actions(env),
                alpha=config.sarsa_alpha,
                lambda_=config.sarsa_lambda,
                gamma=config.gamma,
                epsilon=config.sarsa_epsilon,
                seed=config.seed,
                initial_value=config.sarsa_initial_value,
                features_per_state=features_per_state(features, env),
            )
        else:
            learner = load_attributes(SarsaLambda, restored, SARSA_STEM)
        return cls(learner, features)

    def run(
        self, env: Any, *, episodes: int, start_episode: int, seed: int
    ) -> Iterator[EpisodeResult]:
        active = self.features.active_features
        learner = self.learner
        started = time.perf_counter()
        seconds = 0.0
        steps = 0
        observation, _ = env.reset(seed=seed)
        action = learner.start(active(observation))
        for episode in range(start_episode, start_episode + episodes):
            episode_return = 0.0
            length = 0
            while True:
                observation, reward, terminated, truncated, _ = env.step(action)
                length += 1
                episode_return += float(reward)
                if terminated:
                    observation, _ = env.reset()
                    action = learner.step(active(observation), float(reward), terminal=True)
                    break
                if truncated:
                    learner.step(active(observation), float(reward))
                    observation, _ = env.reset()
                    action = learner.start(active(observation))
                    break
                action = learner.step(active(observation), float(reward))
            steps += length
            seconds += time.perf_counter() - started
            yield EpisodeResult(episode, episode_return, length, steps, seconds)
            started = time.perf_counter()

    def save(self, directory: Path) -> None:
        save_attributes(self.learner, directory, SARSA_STEM)


Builder = Callable[[TrialConfig, Any, Path | None], TrialLearner]

BUILDERS: dict[str, Builder] = {
    "velto": AgentLearner.build,
    "sarsa": SarsaLearner.build,
    "random": RandomLearner.build,
}


def build_learner(config: TrialConfig, env: Any, restored: Path | None) -> TrialLearner:
    """The trial's learner: fresh, or continued from the checkpoint folder `restored`.

    Example:
        >>> import gymnasium as gym
        >>> type(build_learner(TrialConfig(learner="random"), gym.make("CartPole-v1"), None))
        <class 'velto_kit.sweeps.trial_learners.RandomLearner'>
    """
    return BUILDERS[config.learner](config, env, restored)
