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
from velto_kit.experiments.divergence import critic_diverged
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
        """Trains for `episodes` episodes numbered from `start_episode`.

        Args:
            env: The trial's environment; it is reset here.
            episodes: The number of episodes to run.
            start_episode: The number of the first of them.
            seed: The seed of the environment's first reset.

        Returns:
            An iterator of each episode's result as it ends, ``steps`` and ``seconds`` counted
            from this call.
        """
        ...

    def save(self, directory: Path) -> None:
        """Writes everything the builder needs to continue this learner into `directory`.

        Args:
            directory: An existing folder, the trial's checkpoint.
        """
        ...


def num_actions(env: Any) -> int:
    """The number of actions of `env`'s ``Discrete`` action space.

    Args:
        env: A Gymnasium environment.

    Returns:
        ``n`` of its ``Discrete(n)`` action space.

    Raises:
        ValueError: The action space is not ``Discrete`` (the message names it).

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
    """The features the trial's learner sees: as ``features_for`` with the trial's settings.

    Args:
        config: The trial's settings; ``tiles``, ``tilings`` and ``hash_size`` are read.
        env: The trial's environment.

    Returns:
        The feature map for `env`'s observations.

    Raises:
        ValueError: `env`'s spaces or the tile settings do not allow a feature map (see
            ``features_for``).

    Example:
        >>> import gymnasium as gym
        >>> trial_features(TrialConfig(tilings=4), gym.make("CartPole-v1")).num_tilings
        4
    """
    return features_for(env, tiles=config.tiles, tilings=config.tilings, hash_size=config.hash_size)


def features_per_state(features: Features, env: Any) -> int:
    """How many features are active in a state, counted on one sampled observation.

    A tile coder activates one per tiling, a one-hot code one; a SARSA(lambda) start value is
    spread over exactly that many weights.

    Args:
        features: The trial's feature map.
        env: The trial's environment; its observation space is sampled (its own generator
            advances).

    Returns:
        The number of active features of the sample, at least 1.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> features_per_state(features_for(env, tilings=8), env)
        8
    """
    sample = env.observation_space.sample()
    return max(1, len(features.active_features(sample)))


class AgentLearner:
    """The ``VeltoActorCritic`` agent, trained by a ``TrainingRun`` and saved as a run checkpoint.

    The run checkpoint (``velto_kit.save_run``) holds the environment's state too, so a restored
    learner continues exactly where it was. Before its first ``run`` it saves the agent alone.

    Attributes:
        agent: The agent.
        features: The trial's feature map.
        mapping: The action mapping from the agent's units to the environment's actions.
        config: The trial's settings.
        resume: The run checkpoint it was restored from, if any.
        training: The training run of the last ``run``, None before the first.

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
        """Wraps an agent made (or loaded) for the trial.

        Args:
            agent: The agent.
            features: The trial's feature map.
            mapping: The action mapping from the agent's units to the environment's actions.
            config: The trial's settings.
        """
        self.agent = agent
        self.features = features
        self.mapping = mapping
        self.config = config
        self.resume: RunState | None = None
        self.training: TrainingRun | None = None

    @classmethod
    def build(cls, config: TrialConfig, env: Any, restored: Path | None) -> AgentLearner:
        """A fresh agent for the trial, or the one continued from `restored`.

        From a folder with a run checkpoint the newest intact one is continued; from a folder
        with ``agent.npz`` alone, that agent goes on from a fresh episode.

        Args:
            config: The trial's settings.
            env: The trial's environment (its spaces are read).
            restored: A checkpoint folder that ``save`` wrote, or None for a fresh learner.

        Returns:
            The learner.

        Raises:
            ValueError: The action space is not ``Discrete``, or the trial's settings do not
                allow the features, the mapping or the agent.
            CheckpointError: ``agent.npz`` is no valid agent checkpoint.
            OSError: `restored` holds no run checkpoint and no readable ``agent.npz``.
        """
        from velto_kit import load

        features = trial_features(config, env)
        mapping = action_mapping(config.mapping, num_actions(env))
        # Tune hands back the folder this trial saved, and restoring a trial already unpickles
        # Tune's own state of it: the folder is as trusted as that.
        resume = None if restored is None else latest_run(restored, trust_pickles=True)
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
        """Trains the agent; see ``TrialLearner.run``.

        A learner restored from a run checkpoint continues that run (its environment, generator
        and counters) with the trial's own seed and the checkpoint's first episode, whatever
        `seed` and `start_episode` say.

        Args:
            env: The trial's environment; it is reset here.
            episodes: The number of episodes to run.
            start_episode: The number of the first of them.
            seed: The seed of the environment's first reset.

        Returns:
            An iterator of each episode's result, ``steps`` and ``seconds`` counted from this
            call.

        Raises:
            ValueError: The agent, features and mapping do not fit `env`, or a run checkpoint
                was written by another run (see ``TrainingRun``).
        """
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
        """`results` with steps and seconds counted from this call.

        The trial adds them to its checkpoint's own (a run checkpoint counts from the run's
        start).
        """
        assert self.training is not None
        steps, seconds = self.training.steps, self.training.seconds
        for result in results:
            yield dataclasses.replace(
                result, steps=result.steps - steps, seconds=result.seconds - seconds
            )

    def save(self, directory: Path) -> None:
        """Saves a run checkpoint after a ``run``, or the agent alone (``agent.npz``) before.

        Args:
            directory: An existing folder, the trial's checkpoint.

        Raises:
            ValueError: A run was made but has not begun (it ran no episode).
            OSError: A file cannot be written.
        """
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
        """A random learner, after checking that `env`'s actions are ``Discrete``.

        Args:
            config: The trial's settings.
            env: The trial's environment (its spaces are read).
            restored: A checkpoint folder that ``save`` wrote, or None for a fresh learner.

        Returns:
            The learner; `config` and `restored` are not needed.

        Raises:
            ValueError: The action space is not ``Discrete``.
        """
        num_actions(env)
        return cls()

    def run(
        self, env: Any, *, episodes: int, start_episode: int, seed: int
    ) -> Iterator[EpisodeResult]:
        """Runs uniformly random episodes; see ``TrialLearner.run``.

        Args:
            env: The trial's environment; it is reset here.
            episodes: The number of episodes to run.
            start_episode: The number of the first of them.
            seed: The seed of the environment's first reset.

        Yields:
            Each episode's result, numbered from `start_episode`.
        """
        for result in run_random(env, episodes=episodes, seed=seed):
            yield dataclasses.replace(result, episode=start_episode + result.episode)

    def save(self, directory: Path) -> None:
        """Saves nothing: there is nothing to continue.

        Args:
            directory: The trial's checkpoint folder (unused).
        """


class SarsaLearner:
    """The linear SARSA(lambda) baseline on the trial's features.

    Episodes end as in the agent's loop: a termination learns with target reward and begins the
    next episode in one call; a truncation bootstraps from the final state, then starts the next
    episode. Every ``run`` begins a fresh episode.

    Attributes:
        learner: The SARSA(lambda) learner.
        features: The trial's feature map.

    Example:
        >>> import gymnasium as gym
        >>> env = gym.make("CartPole-v1")
        >>> learner = SarsaLearner.build(TrialConfig(learner="sarsa"), env, None)
        >>> [r.episode for r in learner.run(env, episodes=2, start_episode=0, seed=0)]
        [0, 1]
    """

    def __init__(self, learner: SarsaLambda, features: Features) -> None:
        """Wraps a SARSA(lambda) learner made (or loaded) for the trial.

        Args:
            learner: The SARSA(lambda) learner.
            features: The trial's feature map.
        """
        self.learner = learner
        self.features = features

    @classmethod
    def build(cls, config: TrialConfig, env: Any, restored: Path | None) -> SarsaLearner:
        """A fresh SARSA(lambda) learner from the trial's settings, or the one saved in `restored`.

        Args:
            config: The trial's settings.
            env: The trial's environment (its spaces are read).
            restored: A checkpoint folder that ``save`` wrote, or None for a fresh learner.

        Returns:
            The learner.

        Raises:
            ValueError: The action space is not ``Discrete``, or a setting is out of range (see
                ``SarsaLambda``) or the features cannot be made.
            OSError: The saved learner in `restored` cannot be read.
        """
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
        """Trains the learner on fresh episodes; see ``TrialLearner.run``.

        Args:
            env: The trial's environment; it is reset here.
            episodes: The number of episodes to run.
            start_episode: The number of the first of them.
            seed: The seed of the environment's first reset.

        Yields:
            Each episode's result, ``steps`` and ``seconds`` counted from this call.
        """
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
            diverged = critic_diverged(learner)
            yield EpisodeResult(episode, episode_return, length, steps, seconds, diverged=diverged)
            started = time.perf_counter()

    def save(self, directory: Path) -> None:
        """Saves the learner's weights, traces and generator into `directory`.

        Args:
            directory: An existing folder, the trial's checkpoint.

        Raises:
            OSError: A file cannot be written.
        """
        save_attributes(self.learner, directory, SARSA_STEM)


Builder = Callable[[TrialConfig, Any, Path | None], TrialLearner]

BUILDERS: dict[str, Builder] = {
    "velto": AgentLearner.build,
    "sarsa": SarsaLearner.build,
    "random": RandomLearner.build,
}


def build_learner(config: TrialConfig, env: Any, restored: Path | None) -> TrialLearner:
    """The trial's learner: fresh, or continued from the checkpoint folder `restored`.

    Args:
        config: The trial's settings; ``learner`` picks the builder in ``BUILDERS``.
        env: The trial's environment.
        restored: A checkpoint folder the learner's ``save`` wrote, or None.

    Returns:
        The learner, ready to ``run``.

    Raises:
        KeyError: ``config.learner`` has no builder.
        ValueError: The learner cannot be made for `env` with these settings.
        OSError: The checkpoint in `restored` cannot be read.

    Example:
        >>> import gymnasium as gym
        >>> type(build_learner(TrialConfig(learner="random"), gym.make("CartPole-v1"), None))
        <class 'velto_kit.sweeps.trial_learners.RandomLearner'>
    """
    return BUILDERS[config.learner](config, env, restored)
