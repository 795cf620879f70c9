"""Gymnasium's classic tasks in C++ as a vector environment, and ``run_population`` on it.

``make_vector_env(env_id, n, seed=..., backend="native")`` gives a ``NativeVectorEnv``: a
synchronous vector of n native tasks, sub-environment i behaving exactly as
``gymnasium.make(env_id, **kwargs)`` reset with ``seed + i``. ``run_population`` on it runs the
whole loop in C++ (``velto_kit.experiments.native_loop``, where the docs say what another thread
sees of the agents meanwhile).

Each agent's episodes run in units of whole episodes; a unit ends at the agent's checkpoint
episodes, so an agent is handed over exactly after each episode it is saved after
(``member_checkpoint_path``, as the other backends do).

A run checkpoint (``save_run``'s files) is written each time the slowest agent has finished
another `checkpoint_every` episodes, its number that agent's episode count, as for a population
on Gymnasium. Since the agents do not move in lockstep, each member is stored as of its own last
hand-over, always between two of its episodes: the agent, its pending units, its generator, its
task's state and its episodes so far. The log (``agent,episode,return,length,steps``) has one line
per episode as it is handed over, and a resumed run rewrites it from its checkpoint's records.
"""

from __future__ import annotations

import copy
import warnings
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from velto_kit import _native
from velto_kit.experiments.actions import ActionMapping
from velto_kit.experiments.native_loop import UNIT_STEPS, NativeRunLoop, native_task_ids
from velto_kit.experiments.population_loop import MemberResult, member_checkpoint_path, per_agent
from velto_kit.experiments.run_bookkeeping import (
    check_resumed_agents,
    claim_checkpoint_folder,
    member_history,
    population_description,
    population_log,
    population_log_line,
    write_run_checkpoint,
)
from velto_kit.experiments.training_run import check_same_run
from velto_kit.state import env_state
from velto_kit.state.checkpoint import save
from velto_kit.state.run_state import MemberState, RunState


class NativeVectorEnv:
    """`num_envs` native copies of a Gymnasium task, as a synchronous vector environment.

    Sub-environment i behaves as ``gymnasium.make(env_id, **kwargs)``: ``reset(seed=s)`` seeds
    it with ``s + i``, and a sub-environment that ended resets on the next ``step`` (its action
    ignored, reward 0), as Gymnasium's ``SyncVectorEnv`` does by default. The spaces, spec and
    time limit are those of ``gymnasium.make(env_id, **kwargs)``.

    Args:
        env_id: A native task's id (``native_task_ids``).
        num_envs: The number of sub-environments, at least 1.
        seed: The seed of sub-environment 0 at the first reset (made here).
        **kwargs: The task's keyword arguments, as ``gymnasium.make`` takes them (e.g.
            ``max_episode_steps``): bools, ints, floats or strings.

    Raises:
        ValueError: An id that has no native task, an option it refuses, or `num_envs` below 1.

    Example:
        >>> envs = NativeVectorEnv("CartPole-v1", 2, seed=0)
        >>> observations, rewards, terminated, truncated, _ = envs.step(np.array([0, 1]))
        >>> observations.shape, rewards.tolist()
        ((2, 4), [1.0, 1.0])
    """

    native = True

    def __init__(self, env_id: str, num_envs: int, *, seed: int, **kwargs: Any) -> None:
        """Makes the tasks and resets them with ``seed + i`` (see the class's description)."""
        import gymnasium as gym
        from gymnasium.vector import AutoresetMode
        from gymnasium.vector.utils import batch_space

        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, not {num_envs}")
        if env_id not in native_task_ids():
            raise ValueError(f"{env_id!r} has no native task; native tasks: {native_task_ids()}")
        if env_id not in _native.exact_native_task_ids():
            warnings.warn(
                f"the native {env_id} is not exact: its numbers may differ from Gymnasium's in"
                " the last bit (velto_kit._native.exact_native_task_ids() lists the exact tasks)",
                stacklevel=2,
            )
        self.env_id = env_id
        self.num_envs = int(num_envs)
        self.kwargs = dict(kwargs)
        template = gym.make(env_id, **kwargs)
        self.spec = template.spec
        self.single_observation_space = template.observation_space
        self.single_action_space = template.action_space
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self.metadata = dict(template.metadata)
        self.metadata["autoreset_mode"] = AutoresetMode.NEXT_STEP
        self.max_episode_steps = None if template.spec is None else template.spec.max_episode_steps
        template.close()
        self._tasks = [_native.NativeTask(env_id, self.kwargs) for _ in range(self.num_envs)]
        self._discrete = isinstance(self.single_observation_space, gym.spaces.Discrete)
        self._autoreset = np.zeros(self.num_envs, dtype=bool)
        self.reset(seed=seed)

    def _stack(self, observations: list[Any]) -> Any:
        if self._discrete:
            return np.array(observations, dtype=np.int64)
        return np.stack(observations)

    def reset(
        self, *, seed: int | Sequence[int | None] | None = None, options: Any = None
    ) -> tuple[Any, dict[str, Any]]:
        """Resets every sub-environment: seeded ``seed + i`` (or ``seed[i]``), or unseeded.

        Args:
            seed: None (each task's generator goes on), an int, or one seed (or None) each.
            options: Not supported; must be None or empty.

        Returns:
            The stacked first observations and an empty info.

        Raises:
            ValueError: `options` given, or a list of seeds of another length.
        """
        if options:
            raise ValueError(f"native tasks take no reset options, not {options!r}")
        if seed is None or isinstance(seed, int | np.integer):
            seeds: list[int | None] = [
                None if seed is None else int(seed) + i for i in range(self.num_envs)
            ]
        else:
            seeds = [None if value is None else int(value) for value in seed]
            if len(seeds) != self.num_envs:
                raise ValueError(f"seed has {len(seeds)} values, not {self.num_envs}")
        observations = [task.reset(seed=s) for task, s in zip(self._tasks, seeds, strict=True)]
        self._autoreset[:] = False
        return self._stack(observations), {}

    def step(self, actions: Any) -> tuple[Any, Any, Any, Any, dict[str, Any]]:
        """Steps every sub-environment; one that ended on the last step resets instead.

        Args:
            actions: One action per sub-environment.

        Returns:
            Observations, rewards (float64), terminations, truncations and an empty info.
        """
        actions = np.asarray(actions)
        observations = []
        rewards = np.zeros(self.num_envs, dtype=np.float64)
        terminated = np.zeros(self.num_envs, dtype=bool)
        truncated = np.zeros(self.num_envs, dtype=bool)
        for i, task in enumerate(self._tasks):
            if self._autoreset[i]:
                observations.append(task.reset())
                continue
            observation, reward, ended, cut = task.step(int(actions[i]))
            observations.append(observation)
            rewards[i], terminated[i], truncated[i] = reward, ended, cut
        self._autoreset = terminated | truncated
        return self._stack(observations), rewards, terminated, truncated, {}

    def close(self) -> None:
        """Nothing to release: the tasks are plain native objects."""

    def native_run(self, agents: Sequence[Any], threads: int, *args: Any, **kwargs: Any) -> Any:
        """``run_population`` on this environment, in C++ (``native_runs.run_native``).

        Args:
            agents: The agents, agent i on sub-environment i.
            threads: Native threads.
            *args: ``run_native``'s features and mapping.
            **kwargs: ``run_native``'s keyword arguments.

        Returns:
            The iterator of ``MemberResult``.
        """
        return run_native(self, agents, threads, *args, **kwargs)


def _resumed_members(
    resume: RunState, agents: Sequence[Any]
) -> list[tuple[Any, list[int], int, int] | None]:
    """Each member's progress as the checkpoint holds it, None for one that had not begun."""
    check_resumed_agents(resume, agents)
    members = resume.loop.get("members")
    if resume.loop.get("native") is not True or not isinstance(members, list):
        raise ValueError("the run checkpoint is not a native run's")
    resumed: list[tuple[Any, list[int], int, int] | None] = []
    for progress in members:
        if not progress["begun"]:
            resumed.append(None)
            continue
        resumed.append(
            (
                env_state.decode(progress["task"]),
                [int(unit) for unit in progress["taken"]],
                int(progress["next_episode"]),
                int(progress["steps"]),
            )
        )
    return resumed


def run_native(
    envs: NativeVectorEnv,
    agents: Sequence[Any],
    threads: int,
    features: Any,
    mapping: ActionMapping,
    *,
    episodes: int | Sequence[int],
    gamma: float,
    seed: int | None,
    rngs: Sequence[np.random.Generator],
    start_episode: int | Sequence[int],
    checkpoint_every: int | None,
    checkpoint_dir: Path | str | None,
    learn: bool,
    greedy: bool,
    log: Path | str | None,
    resume: RunState | None,
    settings: Mapping[str, Any] | None = None,
    overwrite: bool = False,
    keep_last: int | None = None,
    unit_steps: int | None = None,
) -> Iterator[MemberResult]:
    """``run_population``'s results on a native vector environment, every episode run in C++.

    The arguments are ``run_population``'s, already checked there; agent i is ``agents[i]``.

    Args:
        envs: The native vector environment.
        agents: The agents.
        threads: Native threads (at most one per agent is used).
        features: The feature map (a kit's own: ``native_features``).
        mapping: The action mapping.
        episodes: Episodes per agent.
        gamma: The discount.
        seed: Sub-environment i is first reset with ``seed + i``; a native run needs one.
        rngs: The mapping's generators, one per agent (PCG64).
        start_episode: Each agent's first episode.
        checkpoint_every: Save each agent after every such episode, and a run checkpoint each
            time the slowest agent has done that many more.
        checkpoint_dir: The checkpoints' folder.
        learn: False to follow the policies without learning.
        greedy: With `learn` false, take each unit exactly when its probability exceeds 0.5.
        log: The population's CSV log.
        resume: A native run's checkpoint to go on from; `episodes` may be larger than the
            checkpointed run's, and every agent then goes on exactly as in a run started with
            the larger count.
        settings: Plain data stored in the run's description.
        overwrite: For a fresh run into a `checkpoint_dir` holding run checkpoints: remove them.
        keep_last: Keep only this many run checkpoints; None keeps all.
        unit_steps: Steps after which a unit hands over at its next episode end (None: the
            default, ``native_vector_env.UNIT_STEPS``).

    Yields:
        A ``MemberResult`` per finished episode, each agent's in episode order.

    Raises:
        ValueError: No `seed`, features the native loop cannot code, generators other than
            PCG64, a mapping made by hand, or a `resume` of another run or with more episodes
            than `episodes`.
        RuntimeError: An agent was changed by another caller while the run stepped it.
        RunFolderInUse: Another run holds `checkpoint_dir`.
        RunFolderHasRun: A fresh run's `checkpoint_dir` holds run checkpoints and `overwrite`
            is false.
    """
    if seed is None:
        raise ValueError("a native run needs a seed: sub-environment i is reset with seed + i")
    count = len(agents)
    starts = per_agent("start_episode", start_episode, count)
    ends = [s + e for s, e in zip(starts, per_agent("episodes", episodes, count), strict=True)]
    description = population_description(
        envs, features, mapping, gamma=gamma, seed=seed, starts=starts, settings=settings
    )
    records: list[list[Any]] = []
    resumed = None
    saved = min(starts)
    rngs = list(rngs)
    if resume is not None:
        check_same_run(resume.description, description)
        resumed = _resumed_members(resume, agents)
        for rng, member in zip(rngs, resume.members, strict=True):
            rng.bit_generator.state = member.rng.bit_generator.state
        records = [list(record) for record in resume.loop["records"]]
        saved = resume.next_episode
    if resumed is not None:
        for i, progress in enumerate(resumed):
            if progress is not None and progress[2] > ends[i]:
                raise ValueError(
                    f"the run checkpoint holds {progress[2] - starts[i]} episodes of agent {i},"
                    f" more than episodes={ends[i] - starts[i]}"
                )
    mode = "learn" if learn else ("greedy" if greedy else "sample")
    loop = NativeRunLoop(
        envs.env_id, envs.kwargs, agents, features, mapping, gamma=gamma, seed=seed, rngs=rngs,
        starts=starts, ends=ends, mode=mode, threads=threads, checkpoint_every=checkpoint_every,
        unit_steps=UNIT_STEPS if unit_steps is None else unit_steps, resumed=resumed,
    )  # fmt: skip
    directory = Path(checkpoint_dir) if checkpoint_dir is not None else Path(".")
    # One writer per run folder, taken before the log is touched (as the other backends do).
    lock = claim_checkpoint_folder(
        directory if checkpoint_every is not None and checkpoint_dir is not None else None,
        fresh=resume is None, overwrite=overwrite,
    )  # fmt: skip
    episode_log = None
    batches = loop.batches()
    try:
        if log is not None:
            episode_log = population_log(log, records)
        for batch in batches:
            for agent, episode, episode_return, length, steps in batch:
                record = [agent, episode, episode_return, length, steps]
                records.append(record)
                if episode_log is not None:
                    episode_log.append_line(population_log_line(record))
                checkpoint = None
                if checkpoint_every is not None and (episode + 1) % checkpoint_every == 0:
                    # A unit ends after every such episode: the agent is exactly there.
                    checkpoint = member_checkpoint_path(directory, agent, episode + 1)
                    checkpoint.parent.mkdir(parents=True, exist_ok=True)
                    save(agents[agent], checkpoint)
                yield MemberResult(
                    agent, episode, episode_return, length, steps, loop.seconds, checkpoint
                )
            slowest = min(loop.next_episode)
            if (
                checkpoint_every is not None
                and slowest // checkpoint_every > saved // checkpoint_every
            ):
                run = _state(loop, description, records, slowest)
                write_run_checkpoint(directory, run, episode_log, keep_last)
                saved = slowest
    finally:
        batches.close()
        if episode_log is not None:
            episode_log.close()
        if lock is not None:
            lock.release()


def _state(
    loop: NativeRunLoop, description: dict[str, Any], records: list[list[Any]], slowest: int
) -> RunState:
    """The run as of each member's last hand-over, as a run checkpoint after `slowest` episodes."""
    members = []
    progress = []
    for i, agent in enumerate(loop.agents):
        returns, lengths = member_history(records, i)
        member = loop.member_progress(i)
        progress.append(member)
        members.append(
            MemberState(
                agent,
                member["taken"],
                copy.deepcopy(loop.rngs[i]),
                None,
                returns,
                lengths,
                member["steps"],
            )  # fmt: skip
        )
    state = {"native": True, "members": progress, "records": records}
    return RunState(description, min(loop.starts), slowest, loop.seconds, members, loop=state)
