"""Running an agent on a Gymnasium environment: training, evaluation and a random baseline.

The agent sees one unbroken stream of transitions and has no episode reset, so episode ends are
expressed through the discount (``run_episodes``):

- termination: the transition into the terminal state gets ``gamma = 0`` (the terminal state is
  worth nothing), and its feature list is already the next episode's first state; ``gamma = 0``
  also clears every trace, so no credit flows across the boundary.
- truncation (a time limit): the state is not terminal, so, as Gymnasium documents, the last
  transition bootstraps from the value of the final observation with the usual ``gamma``. One more
  call, reward 0 and the usual ``gamma``, then moves the agent to the next episode's first state;
  its error ``gamma * V(first) - V(final)`` is small once both values are learned, where
  ``gamma = 0`` would fold ``-V(final)`` into the weights.
"""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from velto_kit.experiments.actions import ActionMapping
from velto_kit.experiments.episode_log import EpisodeLog, log_text
from velto_kit.experiments.episode_result import EpisodeResult, checkpoint_path, env_choice
from velto_kit.experiments.features import Features
from velto_kit.experiments.run_bookkeeping import (
    check_checkpoint_options,
    claim_checkpoint_folder,
    write_run_checkpoint,
)
from velto_kit.experiments.tracking import EpisodeCallback, with_callback
from velto_kit.experiments.training_run import TrainingRun
from velto_kit.state.run_folder import RunFolderLock

if TYPE_CHECKING:
    from velto_kit.state.run_state import RunState

__all__ = [
    "EpisodeResult",
    "checkpoint_path",
    "evaluate",
    "random_returns",
    "run_episodes",
    "run_random",
]


def run_episodes(
    env: Any,
    agent: Any,
    features: Features,
    mapping: ActionMapping,
    *,
    episodes: int,
    gamma: float,
    seed: int | None = None,
    rng: np.random.Generator | None = None,
    start_episode: int = 0,
    checkpoint_every: int | None = None,
    checkpoint_dir: Path | str | None = None,
    log: Path | str | None = None,
    resume: RunState | None = None,
    settings: Mapping[str, Any] | None = None,
    overwrite: bool = False,
    keep_last: int | None = None,
    callback: EpisodeCallback | None = None,
) -> Iterator[EpisodeResult]:
    """Trains `agent` online on `env`, yielding each episode's result as it ends.

    The agent gets one ``step`` per environment step. The environment is reset with `seed`;
    the mapping's random picks come from `rng` (default: ``numpy.random.default_rng(seed)``).
    The first call shows the agent the first state with reward 0 and discount 0 for a fresh
    agent (``start_episode == 0``); an agent loaded from a plain agent checkpoint
    (``start_episode > 0``) last saw another episode's first state, so it gets the usual
    `gamma`, as after a truncation. An environment without a time limit may never
    end an episode: wrap it in ``gymnasium.wrappers.TimeLimit``.

    Before the first step, the mapping is checked against the environment's ``Discrete(n)``
    actions and the agent's units, and the features against the agent's: a mismatch raises
    ValueError naming both sides.

    With `checkpoint_every`, a run checkpoint (``velto_kit.save_run``: the agent as
    ``checkpoint_path(checkpoint_dir, episode + 1)`` and ``run-NNNNNN.json`` beside it) is written
    after every such episode. With `log`, each finished episode is appended to that CSV file
    (``episode,return,length,steps``) and flushed as it ends. To continue a killed run, pass
    ``resume=velto_kit.latest_run(checkpoint_dir)`` and its ``resume.agent`` as `agent`, with
    everything else as in the first call: episodes ``resume.next_episode`` to ``start_episode +
    episodes - 1`` follow, the log is cut back to the checkpoint, and the returns, the log and
    the final agent equal an uninterrupted run's. `settings` (plain data, e.g. the agent's
    settings) is stored in the run's description; a resumed run must give the same.

    The arguments are checked when ``run_episodes`` is called; the episodes run as the returned
    iterator is consumed, and the log is closed when it is exhausted or closed.

    Args:
        env: A Gymnasium environment with a ``Discrete(n)`` action space; it is reset here.
        agent: The agent to train (a ``VeltoActorCritic``, or a learner with its ``step``).
        features: The feature map from observations to the agent's active features.
        mapping: The action mapping from the units the agent takes to `env`'s actions.
        episodes: The episodes of the whole run from `start_episode`, at least 0 (a resumed run
            plays only those after its checkpoint).
        gamma: The discount of every transition that does not end an episode.
        seed: The seed of the environment's first reset and of the default `rng`.
        rng: The generator the mapping draws from.
        start_episode: The number of the run's first episode (the episodes an agent loaded
            from a plain agent checkpoint has done).
        checkpoint_every: Save a run checkpoint after every this many episodes (at least 1);
            None saves none.
        checkpoint_dir: The folder of the run checkpoints, created if missing; needed with
            `checkpoint_every`.
        log: A CSV file to which each finished episode is appended; None keeps no log.
        resume: The run checkpoint to continue (``velto_kit.latest_run``); None starts afresh.
            It is data a loader already checked: nothing is unpickled here. ``latest_run`` and
            ``load_run`` unpickle an environment state that is not plain data only when called
            with ``trust_pickles=True``, for a folder you trust.
        settings: Plain data stored in the run's description (e.g. the agent's settings).
        overwrite: For a fresh run with `checkpoint_every` into a `checkpoint_dir` that holds
            run checkpoints: remove them first; without it such a run stops.
        keep_last: Keep only this many run checkpoints (at least 1): after each checkpoint the
            older ones are removed, manifests first; None keeps all.
        callback: Called as ``callback(result, agent)`` after each episode (and its checkpoint),
            before the result is yielded: e.g. a tracker of
            ``velto_kit.experiments.tracking`` (TensorBoard, Weights & Biases).

    Returns:
        An iterator of the episodes' results, in order, one as each episode ends.

    Raises:
        ValueError: `episodes` is below 0, `checkpoint_every` below 1 or without a
            `checkpoint_dir`, `keep_last` below 1, the mapping, features and agent do not fit
            the environment, `resume` holds more episodes than the run has, belongs to another
            run (another description) or `agent` is not its ``resume.agent``.
        RunFolderInUse: Another run holds `checkpoint_dir` (the message names the process).
        RunFolderHasRun: A fresh run's `checkpoint_dir` holds run checkpoints and `overwrite`
            is false (``velto_kit.state.run_folder``).
        OSError: The checkpoint folder or the log cannot be created or written.

    Examples:
        >>> import gymnasium as gym
        >>> from velto_kit import AgentSettings, action_mapping, features_for, make_agent
        >>> env = gym.make("CartPole-v1")
        >>> coder = features_for(env)
        >>> mapping = action_mapping("binary", 2)
        >>> agent = make_agent(coder.num_features, mapping.num_units, AgentSettings(), seed=0)
        >>> results = list(run_episodes(env, agent, coder, mapping, episodes=3, gamma=0.99, seed=0))
        >>> [result.episode for result in results]
        [0, 1, 2]
    """
    if episodes < 0:
        raise ValueError(f"episodes must be at least 0, not {episodes}")
    check_checkpoint_options(checkpoint_every, checkpoint_dir, keep_last)
    training = TrainingRun(
        env, agent, features, mapping, gamma=gamma, seed=seed, rng=rng,
        start_episode=start_episode, settings=settings, resume=resume,
    )  # fmt: skip
    end = start_episode + episodes
    if training.next_episode > end:
        raise ValueError(
            f"the run checkpoint holds {training.next_episode - start_episode} episodes,"
            f" more than episodes={episodes}"
        )
    directory = None if checkpoint_every is None else Path(checkpoint_dir or ".")
    lock = claim_checkpoint_folder(directory, fresh=resume is None, overwrite=overwrite)
    try:
        episode_log = None
        if log is not None:
            text = log_text(training.start_episode, training.returns, training.lengths)
            episode_log = EpisodeLog(log, text)
    except BaseException:
        if lock is not None:
            lock.release()
        raise
    results = _checkpointed(
        training, end - training.next_episode, checkpoint_every, directory, episode_log, lock,
        keep_last,
    )  # fmt: skip
    return results if callback is None else with_callback(results, callback, lambda _: agent)


def _checkpointed(
    training: TrainingRun,
    count: int,
    every: int | None,
    directory: Path | None,
    episode_log: EpisodeLog | None,
    lock: RunFolderLock | None,
    keep_last: int | None,
) -> Iterator[EpisodeResult]:
    """The run's episodes, each logged as it ends and every `every`-th checkpointed.

    A checkpoint follows its episode's log line, so a checkpoint's episodes are always in the
    log it cuts back to. The folder's lock is released when the episodes end or the iterator is
    closed (or dropped).
    """
    try:
        for result in training.episodes(count):
            if episode_log is not None:
                episode_log.append(result.episode, result.return_, result.length, result.steps)
            if every is not None and directory is not None and (result.episode + 1) % every == 0:
                write_run_checkpoint(directory, training.state(), episode_log, keep_last)
                result = dataclasses.replace(
                    result, checkpoint=checkpoint_path(directory, result.episode + 1)
                )
            yield result
    finally:
        if episode_log is not None:
            episode_log.close()
        if lock is not None:
            lock.release()


def evaluate(
    env: Any,
    agent: Any,
    features: Features,
    mapping: ActionMapping,
    *,
    episodes: int,
    seed: int | None = None,
    greedy: bool = False,
) -> list[EpisodeResult]:
    """Runs `episodes` episodes on `env` following `agent`'s policy without changing the agent.

    Each unit is taken with the probability ``velto_kit.action_probabilities`` gives it (a
    probability of 1 or more always, 0 or less and NaN never), drawn from a generator of the
    evaluation's own, ``numpy.random.default_rng(seed)``, which also serves the mapping; the
    environment is reset with `seed`. With `greedy`, each unit is taken exactly when its
    probability exceeds one half: a probability of exactly 0.5 (a unit with no preference, as
    every unit of a fresh agent) or NaN is not taken; the mapping still draws from the generator
    where the taken units name no single action. The agent, the features and the mapping are
    checked against each other and the environment first, as by ``run_episodes``. Nothing of the
    agent is stepped, so its weights, traces and engines stay exactly as they were. Use an
    environment of its own (it is reset here), with a time limit: a policy may never reach an
    end.

    Args:
        env: A Gymnasium environment with a ``Discrete(n)`` action space; it is reset here.
        agent: The agent whose policy is followed; it is not changed.
        features: The feature map from observations to the agent's active features.
        mapping: The action mapping from the units taken to `env`'s actions.
        episodes: The number of episodes, at least 0.
        seed: The seed of the environment's first reset and of the evaluation's generator.
        greedy: Take each unit exactly when its probability exceeds one half, instead of
            drawing it.

    Returns:
        The results of the episodes, in order; ``steps`` and ``seconds`` add up over them.

    Raises:
        ValueError: `episodes` is below 0, or the mapping, features and agent do not fit the
            environment (the message names both sides).

    Examples:
        >>> import gymnasium as gym
        >>> from velto_kit import AgentSettings, action_mapping, features_for, make_agent
        >>> env = gym.make("CartPole-v1")
        >>> coder, mapping = features_for(env), action_mapping("binary", 2)
        >>> agent = make_agent(coder.num_features, mapping.num_units, AgentSettings(), seed=0)
        >>> len(evaluate(env, agent, coder, mapping, episodes=2, seed=1))
        2
    """
    from velto_kit import action_probabilities
    from velto_kit.experiments.run_checks import check_run_inputs

    if episodes < 0:
        raise ValueError(f"episodes must be at least 0, not {episodes}")
    check_run_inputs(env, agent, features, mapping)
    rng = np.random.default_rng(seed)
    active = features.active_features
    choose = env_choice(env, mapping)
    results = []
    started = time.perf_counter()
    steps = 0
    observation, _ = env.reset(seed=seed)
    for episode in range(episodes):
        episode_return = 0.0
        length = 0
        while True:
            probabilities = np.asarray(action_probabilities(agent, active(observation)))
            if greedy:
                taken = np.flatnonzero(probabilities > np.float32(0.5)).tolist()
            else:
                draws = rng.random(probabilities.size)
                taken = np.flatnonzero(probabilities.astype(np.float64) > draws).tolist()
            observation, reward, terminated, truncated, _ = env.step(choose(taken, rng))
            length += 1
            episode_return += float(reward)
            if terminated or truncated:
                observation, _ = env.reset()
                break
        steps += length
        seconds = time.perf_counter() - started
        results.append(EpisodeResult(episode, episode_return, length, steps, seconds))
    return results


def run_random(env: Any, *, episodes: int, seed: int | None = None) -> Iterator[EpisodeResult]:
    """Episodes of a policy that picks every environment action uniformly at random.

    A baseline to compare a learner with. The action space is seeded with `seed` and the
    environment reset with it; the episodes run as the iterator is consumed.

    Args:
        env: A Gymnasium environment (any action space that can ``sample``); it is reset here.
        episodes: The number of episodes; 0 or less runs none.
        seed: The seed of the action space and of the environment's first reset.

    Yields:
        Each episode's result as it ends; ``steps`` and ``seconds`` add up over the episodes.

    Examples:
        >>> import gymnasium as gym
        >>> len(list(run_random(gym.make("CartPole-v1"), episodes=3, seed=0)))
        3
    """
    env.action_space.seed(seed)
    env.reset(seed=seed)
    started = time.perf_counter()
    steps = 0
    for episode in range(episodes):
        episode_return = 0.0
        length = 0
        while True:
            _, reward, terminated, truncated, _ = env.step(env.action_space.sample())
            length += 1
            episode_return += float(reward)
            if terminated or truncated:
                break
        env.reset()
        steps += length
        yield EpisodeResult(episode, episode_return, length, steps, time.perf_counter() - started)


def random_returns(env: Any, *, episodes: int, seed: int | None = None) -> list[float]:
    """The returns of ``run_random``.

    Args:
        env: A Gymnasium environment; it is reset here.
        episodes: The number of episodes; 0 or less runs none.
        seed: The seed of the action space and of the environment's first reset.

    Returns:
        The undiscounted return of each episode, in order.

    Examples:
        >>> import gymnasium as gym
        >>> len(random_returns(gym.make("CartPole-v1"), episodes=2, seed=0))
        2
    """
    return [result.return_ for result in run_random(env, episodes=episodes, seed=seed)]
