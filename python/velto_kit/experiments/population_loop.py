"""A population of agents on a Gymnasium vector environment: agent i on sub-environment i.

``run_population`` is ``run_episodes`` for N agents at once. Each vector step is one
``Population.step`` over the agents whose sub-environment moved, so agent i makes exactly the calls
``run_episodes(env_i, agent_i, ..., seed=seed + i)`` makes, with the same features, rewards and
discounts, and draws the same numbers from its own generator ``default_rng(seed + i)``:

- termination: one call into the next episode's first observation, with the reward and
  discount 0;
- truncation: a call into the final observation with the usual discount (the bootstrap), then one
  into the next first observation, reward 0 and the usual discount.

Gymnasium's vector environments reset a finished sub-environment themselves, in one of two ways
(``envs.metadata["autoreset_mode"]``): on the next step (the default: that step ignores its action
and returns the first observation, so the agent draws nothing for it), or on the same step (the
first observation is returned at once, the final one in ``info["final_obs"]``). Both give the
agents the same calls; only when they happen within the vector's steps differs.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velto_kit.experiments.actions import ActionMapping
from velto_kit.experiments.episode_result import checkpoint_path
from velto_kit.experiments.features import Features
from velto_kit.experiments.population import Population
from velto_kit.experiments.population_runs import PopulationRun
from velto_kit.experiments.run_bookkeeping import check_checkpoint_options, claim_checkpoint_folder
from velto_kit.experiments.run_checks import check_run_inputs
from velto_kit.experiments.tracking import EpisodeCallback, with_callback
from velto_kit.state.run_state import RunState

NEXT_STEP, SAME_STEP = "NextStep", "SameStep"


@dataclass(frozen=True)
class MemberResult:
    """One finished episode of one agent of a population.

    ``agent`` is the agent's row (and sub-environment); ``episode`` counts from the run's
    ``start_episode``; ``length`` is the episode's environment steps; ``steps`` adds up this
    agent's steps over the run; ``seconds`` is the run's own wall time so far (not the time its
    caller spends between results); ``checkpoint`` is the file saved after this episode, if any.

    Example:
        >>> MemberResult(3, 0, 21.0, 21, 21, 0.01).as_dict()["agent"]
        3
    """

    agent: int
    episode: int
    return_: float
    length: int
    steps: int
    seconds: float
    checkpoint: Path | None = None

    def as_dict(self) -> dict[str, Any]:
        """The result under plain names (``return`` without the underscore), for reports.

        Returns:
            A dict of plain values (the checkpoint as a string, or None).
        """
        return {
            "agent": self.agent,
            "episode": self.episode,
            "return": self.return_,
            "length": self.length,
            "steps": self.steps,
            "seconds": self.seconds,
            "checkpoint": None if self.checkpoint is None else str(self.checkpoint),
        }


def member_checkpoint_path(directory: Path | str, agent: int, episodes_done: int) -> Path:
    """Where ``run_population`` saves agent `agent` after `episodes_done` episodes.

    It is the file ``run_episodes`` would write, in a folder of the agent's own.

    Args:
        directory: The run's ``checkpoint_dir``.
        agent: The agent's row in the population.
        episodes_done: The agent's episodes so far, counted from 0 for a fresh agent.

    Returns:
        ``directory / f"agent-{agent}" / "agent-<episodes_done, 6 digits>.npz"``.

    Example:
        >>> member_checkpoint_path(Path("out"), 3, 200).as_posix()
        'out/agent-3/agent-000200.npz'
    """
    return checkpoint_path(Path(directory) / f"agent-{agent}", episodes_done)


def autoreset_mode(envs: Any) -> str:
    """The vector environment's autoreset mode, ``"NextStep"`` or ``"SameStep"``.

    Gymnasium's vector environments name theirs in ``metadata["autoreset_mode"]``; one that names
    none resets on the next step, Gymnasium's default.

    Args:
        envs: The vector environment.

    Returns:
        ``"NextStep"`` or ``"SameStep"``.

    Raises:
        ValueError: The environment leaves resets to its user (``"Disabled"``) or names a mode
            Gymnasium does not know.

    Example:
        >>> class Envs:
        ...     metadata = {"autoreset_mode": "SameStep"}
        >>> autoreset_mode(Envs())
        'SameStep'
    """
    mode = getattr(envs, "metadata", {}).get("autoreset_mode", NEXT_STEP)
    name = str(getattr(mode, "value", mode))
    if name not in (NEXT_STEP, SAME_STEP):
        raise ValueError(
            f"envs.metadata['autoreset_mode'] is {mode!r}; run_population needs"
            f" {NEXT_STEP!r} or {SAME_STEP!r}"
        )
    return name


Rows = NDArray[np.integer[Any]] | list[list[int]]


def batch_features(features: Features) -> Callable[[Any], Rows]:
    """A function from a batch of observations to one row of active features each.

    It is the feature map's own ``active_features_batch`` where it has one, else one
    ``active_features`` call per observation (the same indices either way).

    Args:
        features: The feature map.

    Returns:
        A function of an (N, ...) batch of observations, giving N rows of indices.

    Example:
        >>> from velto_kit import OneHot
        >>> np.asarray(batch_features(OneHot(4))(np.array([2, 0]))).tolist()
        [[2], [0]]
    """
    batch = getattr(features, "active_features_batch", None)
    if batch is not None:
        return batch  # type: ignore[no-any-return]
    active = features.active_features
    return lambda observations: [active(observation) for observation in observations]


def _with_rows(rows: Rows, indices: NDArray[np.intp], replacements: Rows) -> Rows:
    """`rows` with the rows at `indices` replaced (a copy: `rows` is the caller's)."""
    if isinstance(rows, np.ndarray) and isinstance(replacements, np.ndarray):
        if rows.shape[1:] == replacements.shape[1:]:
            merged = rows.copy()
            merged[indices] = replacements
            return merged
    listed = [list(row) for row in rows]
    for index, row in zip(indices, replacements, strict=True):
        listed[int(index)] = list(row)
    return listed


def _final_observations(info: dict[str, Any], indices: NDArray[np.intp]) -> NDArray[Any]:
    """The final observations of the sub-environments at `indices`, from a same-step reset."""
    if "final_obs" not in info:
        raise ValueError("a same-step autoreset environment gave no info['final_obs']")
    final = info["final_obs"]
    return np.stack([np.asarray(final[int(i)]) for i in indices])


class _Members:
    """Per agent: its generator, its episode's running return and length, and its progress.

    ``idle`` marks the rows that neither draw nor move on the coming vector step: agents whose
    episodes are done (``done``) and, in next-step mode, sub-environments that reset on it
    (``pending``: row -> whether the episode ended by termination, ``owed``: its last reward,
    which a termination's call still has to deliver). Episode ends are few per vector step, so
    they are kept per row in Python rather than as whole-array masks.

    ``joining`` holds the rows of agents given more episodes by a resumed run after they had
    finished theirs: their sub-environments went on stepping without them, so each waits, idle,
    for its sub-environment's next episode to begin; ``joined`` the rows (next-step mode) whose
    sub-environment ended and resets on the coming step, where the agent meets its first state.
    """

    def __init__(
        self, episodes: list[int], start_episode: list[int], rngs: list[np.random.Generator]
    ) -> None:
        count = len(episodes)
        self.rngs = rngs
        self.episode = list(start_episode)
        self.last = [start + more for start, more in zip(start_episode, episodes, strict=True)]
        self.done = np.array([more == 0 for more in episodes], dtype=bool)
        self.idle = self.done.copy()
        self.remaining = count - int(self.done.sum())
        self.pending: dict[int, bool] = {}
        self.owed: dict[int, float] = {}
        self.returns = np.zeros(count, dtype=np.float64)
        self.lengths = np.zeros(count, dtype=np.int64)
        self.steps = [0] * count
        self.joining: set[int] = set()
        self.joined: set[int] = set()

    def stepping(self) -> NDArray[np.bool_] | None:
        """The rows an episode-end step steps (None: all): neither done nor waiting to join."""
        if not self.joining and not self.done.any():
            return None
        rows = ~self.done
        rows[list(self.joining)] = False
        return rows


def per_agent(name: str, value: int | Sequence[int], count: int) -> list[int]:
    """`value` for each of `count` agents: one int for all, or one per agent, each at least 0.

    Args:
        name: The argument's name, for the error message.
        value: One int, or a sequence of `count` ints.
        count: The number of agents.

    Returns:
        A list of `count` ints.

    Raises:
        ValueError: A sequence of another length, or a number below 0.

    Example:
        >>> per_agent("episodes", 3, 2), per_agent("episodes", [1, 0], 2)
        ([3, 3], [1, 0])
    """
    values = [int(value)] * count if isinstance(value, int | np.integer) else list(value)
    if len(values) != count:
        raise ValueError(f"{name} has {len(values)} values, the population {count} agents")
    for i, number in enumerate(values):
        if number < 0:
            raise ValueError(f"{name} must be at least 0, not {number} (agent {i})")
    return [int(number) for number in values]


def _check(envs: Any, population: Population, mapping: ActionMapping) -> None:
    count = len(population)
    if getattr(envs, "num_envs", None) != count:
        raise ValueError(
            f"envs has {getattr(envs, 'num_envs', None)} sub-environments, the population"
            f" {count} agents"
        )
    if mapping.num_units != population.num_actions:
        raise ValueError(
            f"mapping {mapping.name!r} has {mapping.num_units} units, the agents"
            f" {population.num_actions}"
        )


def run_population(
    envs: Any,
    population: Population,
    features: Features,
    mapping: ActionMapping,
    *,
    episodes: int | Sequence[int],
    gamma: float,
    seed: int | None = None,
    rngs: Sequence[np.random.Generator] | None = None,
    start_episode: int | Sequence[int] = 0,
    checkpoint_every: int | None = None,
    checkpoint_dir: Path | str | None = None,
    learn: bool = True,
    log: Path | str | None = None,
    resume: RunState | None = None,
    settings: Mapping[str, Any] | None = None,
    overwrite: bool = False,
    keep_last: int | None = None,
    greedy: bool = False,
    callback: EpisodeCallback | None = None,
) -> Iterator[MemberResult]:
    """Trains every agent of `population` online on its own sub-environment of `envs`.

    Each agent runs `episodes` episodes; the run yields each agent's episodes as they end.

    Agent i gets exactly the calls and draws of ``run_episodes(env_i, agent_i, features,
    mapping, episodes=episodes, gamma=gamma, seed=seed + i)``, where ``env_i`` behaves as
    sub-environment i: the vector environment is reset with seeds ``seed, seed + 1, ...`` and
    agent i's mapping draws come from ``rngs[i]`` (default ``numpy.random.default_rng(seed + i)``).
    An agent whose episodes are done stops learning while the others go on; its sub-environment
    keeps stepping, its steps are not counted. With `learn` false nothing is stepped: each agent
    follows its policy as ``velto_kit.evaluate`` does (the same draws from its generator; with
    `greedy`, as ``evaluate(..., greedy=True)``), and nothing of it changes.

    On a native vector environment (``make_vector_env(..., backend="native")``) the whole loop
    runs in C++ (``velto_kit.experiments.native_vector_env``) with the same results, on
    ``population.threads`` native threads; `seed` is then required.

    Args:
        envs: A Gymnasium 1.x vector environment of ``len(population)`` sub-environments, with a
            ``Discrete`` action space per sub-environment, resetting on the next step or the
            same step.
        population: The agents, agent i on sub-environment i.
        features: The feature map of one sub-environment's observations.
        mapping: The action mapping of the agents' units.
        episodes: Episodes per agent, one number for all or one each (0 still shows the agent
            its first state, as ``run_episodes`` does).
        gamma: The discount of every non-terminal transition.
        seed: The seed of sub-environment and generator 0; i adds to it for agent i: any
            int of 0 or more, as Gymnasium's reset takes it.
        rngs: One generator per agent, instead of ``default_rng(seed + i)``; with `resume`,
            each is set to the checkpoint's generator state (of the same kind of bit
            generator) and goes on from there.
        start_episode: As ``run_episodes``, one for all or one each: a resumed agent
            (``start_episode > 0``) meets its first state with `gamma`.
        checkpoint_every: Save each agent after every such episode of its own.
        checkpoint_dir: The folder of the checkpoints, one folder per agent
            (``member_checkpoint_path``).
        learn: False to follow the policies without learning.
        log: A CSV file to which each finished episode is appended and flushed as it ends
            (``agent,episode,return,length,steps``).
        resume: A run checkpoint of this run (``velto_kit.latest_run(checkpoint_dir)``; give
            ``Population([m.agent for m in resume.members])`` and everything else as the first
            time): the run goes on exactly where it was, the log cut back to the checkpoint
            (``velto_kit.experiments.population_runs``). Nothing is unpickled here:
            ``latest_run`` and ``load_run`` unpickle an environment state that is not plain
            data only when called with ``trust_pickles=True``, for a folder you trust. Run
            checkpoints are written with `checkpoint_every`, each time the slowest agent has
            done that many more episodes.
            `episodes` may grow on a resume, and the run then finishes with every agent at its
            new count: an agent that had not finished its episodes at the checkpoint goes on
            exactly as in a run started with the larger count; one that had finished them joins
            again where its sub-environment (which went on stepping without it) next begins an
            episode, meeting that first state with reward 0 and `gamma`, as an agent of
            ``start_episode > 0`` does.

        settings: Plain data stored in the run's description (e.g. the agents' settings);
            a resumed run must give the same. The description also holds the task, every
            sub-environment's time limit and wrapper classes, the features, the mapping,
            `gamma`, `seed` and the agents' start episodes: a resume that differs in any of them
            stops before its first step with a ValueError naming both values.

        overwrite: For a fresh run with `checkpoint_every` into a `checkpoint_dir` that holds
            run checkpoints: remove them first; without it such a run stops. While the run goes
            on it holds the folder's lock: a second run or resume of the folder stops at once
            (``velto_kit.state.run_folder``).
        keep_last: Keep only this many run checkpoints (at least 1): after each one the older
            ones are removed, manifests first; None keeps all. The agents' own files
            (``member_checkpoint_path``) are all kept.
        greedy: With `learn` false, take each unit exactly when its probability exceeds one
            half instead of drawing it.
        callback: Called as ``callback(result, agent)`` after each episode, before the result
            is yielded, with the agent that ran it (on a native run, as of its latest
            hand-over, which each checkpoint is): e.g. a tracker of
            ``velto_kit.experiments.tracking`` (TensorBoard, Weights & Biases).

    Yields:
        A ``MemberResult`` per finished episode, in the order the episodes end (ties by agent).

    Raises:
        ValueError: Sizes that do not match (sub-environments, agents, mapping units, `rngs`,
            per-agent `episodes` or `start_episode`), a negative `seed`, `episodes` or
            `start_episode`, a checkpoint setting that cannot be met (`checkpoint_every` below
            1, without `checkpoint_dir`, or with ``learn=False``), or an environment whose
            autoreset mode is not supported. Raised at the first ``next()``, as the call is
            a generator.
        RunFolderInUse: Another run holds `checkpoint_dir` (the message names the process).
        RunFolderHasRun: A fresh run's `checkpoint_dir` holds run checkpoints and `overwrite`
            is false.

    Example:
        >>> import gymnasium as gym
        >>> from velto_kit import AgentSettings, Population, action_mapping, make_agent
        >>> from velto_kit import features_for
        >>> envs = gym.make_vec("CartPole-v1", 2, vectorization_mode="sync")
        >>> coder, mapping = features_for(envs), action_mapping("binary", 2)
        >>> agents = [make_agent(coder.num_features, 1, AgentSettings(), s) for s in (0, 1)]
        >>> results = run_population(envs, Population(agents), coder, mapping,
        ...                          episodes=2, gamma=0.99, seed=0)
        >>> sorted((r.agent, r.episode) for r in results)
        [(0, 0), (0, 1), (1, 0), (1, 1)]
    """
    if callback is not None:
        results = run_population(
            envs, population, features, mapping, episodes=episodes, gamma=gamma, seed=seed,
            rngs=rngs, start_episode=start_episode, checkpoint_every=checkpoint_every,
            checkpoint_dir=checkpoint_dir, learn=learn, log=log, resume=resume,
            settings=settings, overwrite=overwrite, keep_last=keep_last, greedy=greedy,
        )  # fmt: skip
        yield from with_callback(results, callback, lambda result: population.agents[result.agent])
        return
    _check(envs, population, mapping)
    for agent in population.agents:
        check_run_inputs(envs, agent, features, mapping)
    if checkpoint_every is not None and not learn:
        raise ValueError("checkpoint_every needs learn=True: an evaluation changes nothing")
    check_checkpoint_options(checkpoint_every, checkpoint_dir, keep_last)
    count = len(population)
    if seed is not None and (
        isinstance(seed, bool) or not isinstance(seed, int | np.integer) or seed < 0
    ):
        # Any size, as Gymnasium's reset takes it: seed + i may pass 2**64.
        raise ValueError(
            "seed must be an int of 0 or more (sub-environment i is first reset with seed + i),"
            f" not {seed!r}"
        )
    if rngs is None:
        rngs = [
            np.random.default_rng(None if seed is None else int(seed) + i) for i in range(count)
        ]
    elif len(rngs) != count:
        raise ValueError(f"rngs has {len(rngs)} generators, the population {count} agents")
    native_run = getattr(envs, "native_run", None)
    if native_run is not None:
        yield from native_run(
            population.agents, population.threads, features, mapping, episodes=episodes,
            gamma=gamma, seed=seed, rngs=rngs, start_episode=start_episode,
            checkpoint_every=checkpoint_every, checkpoint_dir=checkpoint_dir, learn=learn,
            greedy=greedy, log=log, resume=resume, settings=settings, overwrite=overwrite,
            keep_last=keep_last,
        )  # fmt: skip
        return
    loop = _Loop(envs, population, features, mapping, float(gamma), learn, greedy)
    loop.checkpoints = (checkpoint_every, checkpoint_dir)
    starts = per_agent("start_episode", start_episode, count)
    members = _Members(per_agent("episodes", episodes, count), starts, list(rngs))
    # An int, not the list of seed + i: Gymnasium's synchronous vector environment (and
    # EnvPool's here) seed sub-environment i with seed + i from it, and a vectorised task such as
    # CartPole's takes only an int, for the one generator of all its sub-environments.
    if log is None and resume is None and checkpoint_every is None:
        yield from loop.run(members, seed, starts)
        return
    directory = None if checkpoint_dir is None else Path(checkpoint_dir)
    lock = claim_checkpoint_folder(
        directory if checkpoint_every is not None else None,
        fresh=resume is None, overwrite=overwrite,
    )  # fmt: skip
    try:
        run = PopulationRun(
            loop, members, features, seed=seed, starts=starts, every=checkpoint_every,
            directory=directory, log=None if log is None else Path(log), resume=resume,
            settings=settings, keep_last=keep_last,
        )  # fmt: skip
        yield from run.results(loop.run(members, seed, starts))
    finally:
        if lock is not None:
            lock.release()


class _Loop:
    """The state of one ``run_population``: what stays fixed over its vector steps."""

    def __init__(
        self,
        envs: Any,
        population: Population,
        features: Features,
        mapping: ActionMapping,
        gamma: float,
        learn: bool,
        greedy: bool = False,
    ) -> None:
        self.envs = envs
        self.greedy = greedy
        self.population = population
        self.encode = batch_features(features)
        self.mapping = mapping
        self.gamma = gamma
        self.learn = learn
        self.mode = autoreset_mode(envs)
        space = getattr(envs, "single_action_space", None)
        self.start = int(getattr(space, "start", 0))
        self.checkpoints: tuple[int | None, Path | str | None] = (None, None)
        self.count = len(population)
        self.started = 0.0
        self.seconds = 0.0
        # A resumed run's pending actions: it goes on from them, its environment restored, where
        # a fresh run resets and shows the agents their first states.
        self.resumed_taken: NDArray[np.bool_] | None = None
        # Called after each batch of ended episodes has been yielded, before the next vector
        # step: where the loop's state is whole and can be checkpointed.
        self.after_episodes: Callable[[_Members, NDArray[np.bool_] | None], None] | None = None

    def actions(
        self,
        members: _Members,
        taken: NDArray[np.bool_] | None,
        rows: Rows,
        moved: NDArray[np.bool_] | None,
    ) -> NDArray[np.int64]:
        """The vector's actions: drawn for the rows in `moved` (None: all), the first elsewhere.

        A sub-environment that resets on this step, or whose agent is done, ignores its action.
        """
        if moved is None:
            if taken is None:
                taken = self.policy_draws(rows, np.arange(self.count), members.rngs)
            return self.mapping.actions(taken, members.rngs) + self.start
        actions = np.full(self.count, self.start, dtype=np.int64)
        indices = np.flatnonzero(moved)
        if indices.size == 0:
            return actions
        rngs = [members.rngs[i] for i in indices]
        if taken is None:
            taken = self.policy_draws(rows, indices, rngs)
        else:
            taken = taken[indices]
        actions[indices] += self.mapping.actions(taken, rngs)
        return actions

    def policy_draws(
        self, rows: Rows, indices: NDArray[np.intp], rngs: list[np.random.Generator]
    ) -> NDArray[np.bool_]:
        """Each unit taken with its probability, drawn (or greedily) as ``velto_kit.evaluate``."""
        from velto_kit import action_probabilities

        agents = self.population.agents
        taken = np.zeros((indices.size, self.population.num_actions), dtype=bool)
        for row, (i, rng) in enumerate(zip(indices, rngs, strict=True)):
            features = rows[int(i)]
            listed = features.tolist() if isinstance(features, np.ndarray) else list(features)
            probabilities = np.asarray(action_probabilities(agents[int(i)], listed))
            if self.greedy:
                taken[row] = probabilities > np.float32(0.5)
            else:
                taken[row] = probabilities.astype(np.float64) > rng.random(probabilities.size)
        return taken

    def ended(self, members: _Members, indices: list[int]) -> list[MemberResult]:
        """Closes the episodes of the agents at `indices`, saving those due a checkpoint."""
        every, directory = self.checkpoints
        now = time.perf_counter()
        self.seconds += now - self.started
        self.started = now
        results = []
        for i in indices:
            episode = members.episode[i]
            members.steps[i] += int(members.lengths[i])
            checkpoint = None
            if every is not None and (episode + 1) % every == 0:
                from velto_kit import save

                checkpoint = member_checkpoint_path(Path(directory or "."), i, episode + 1)
                checkpoint.parent.mkdir(parents=True, exist_ok=True)
                save(self.population.agents[i], checkpoint)
            results.append(
                MemberResult(
                    i,
                    episode,
                    float(members.returns[i]),
                    int(members.lengths[i]),
                    members.steps[i],
                    self.seconds,
                    checkpoint,
                )
            )
            members.returns[i] = 0.0
            members.lengths[i] = 0
            members.episode[i] += 1
            if members.episode[i] >= members.last[i]:
                members.done[i] = members.idle[i] = True
                members.remaining -= 1
        return results

    def run(self, members: _Members, seed: int | None, starts: list[int]) -> Iterator[MemberResult]:
        self.started = time.perf_counter()
        taken: NDArray[np.bool_] | None = self.resumed_taken
        rows: Rows = []  # only an evaluation (no pending actions) reads the rows
        if taken is None:
            observations, _ = self.envs.reset(seed=seed)
            rows = self.encode(observations)
        if self.learn and taken is None:
            first_gammas = np.array([0.0 if start == 0 else self.gamma for start in starts])
            taken = self.population.step(rows, 0.0, first_gammas)
        step = self.next_step if self.mode == NEXT_STEP else self.same_step
        while members.remaining:
            # Most rows move on most vector steps: with none idle, no per-row selection at all.
            everyone = not members.idle.any()
            moved = None if everyone else ~members.idle
            actions = self.actions(members, taken, rows, moved)
            observations, rewards, terminated, truncated, info = self.envs.step(actions)
            rewards = np.asarray(rewards, dtype=np.float64)
            ends = np.flatnonzero(np.logical_or(terminated, truncated)).tolist()
            rows = self.encode(observations)
            joins: list[int] = []
            if moved is None:
                members.lengths += 1
                members.returns += rewards
            else:
                members.lengths[moved] += 1
                members.returns[moved] += rewards[moved]
                if members.joining:
                    joins = [i for i in ends if i in members.joining]
                ends = [i for i in ends if moved[i]]
            if not ends and not members.pending and not joins:
                if self.learn:
                    active = None if moved is None else moved
                    taken = self.population.step(rows, rewards, self.gamma, active=active)
                continue
            taken, finished = step(members, rows, rewards, terminated, ends, info)
            if joins:
                taken = self.join(members, rows, joins, taken)
            if finished:
                yield from self.ended(members, finished)
                if self.after_episodes is not None:
                    self.after_episodes(members, taken)
                self.started = time.perf_counter()

    def next_step(
        self,
        members: _Members,
        rows: Rows,
        rewards: NDArray[np.float64],
        terminated: Any,
        ends: list[int],
        info: dict[str, Any],
    ) -> tuple[NDArray[np.bool_] | None, list[int]]:
        """A vector step with episode ends, of an environment that resets on the step after.

        The rows that reset now (``members.pending``) show their agent the first observation; a
        termination's call waits for it.
        """
        del info
        resetting = list(members.pending)
        if self.learn:
            rewards = rewards.copy()
            gammas = np.full(self.count, self.gamma)
            for i in resetting:
                if members.pending[i]:
                    rewards[i], gammas[i] = members.owed[i], 0.0
                else:
                    rewards[i] = 0.0
            stepping = members.stepping()
            active = ~members.done if stepping is None else stepping
            for i in ends:
                if terminated[i]:
                    active[i] = False
            taken = self.population.step(rows, rewards, gammas, active=active)
        else:
            taken = None
        for i in resetting:
            members.idle[i] = members.done[i]
        members.pending.clear()
        for i in ends:
            members.pending[i] = bool(terminated[i])
            members.owed[i] = float(rewards[i])
            members.idle[i] = True
        # A joining agent's first state is no end of an episode of its own.
        finished = [i for i in resetting if i not in members.joined]
        members.joined.clear()
        # Evaluation closes an episode as it ends; training once the agent is in the next one.
        return taken, finished if self.learn else ends

    def same_step(
        self,
        members: _Members,
        rows: Rows,
        rewards: NDArray[np.float64],
        terminated: Any,
        ends: list[int],
        info: dict[str, Any],
    ) -> tuple[NDArray[np.bool_] | None, list[int]]:
        """A vector step with episode ends, of an environment that resets at once.

        `rows` already hold the next first observations, the final ones are in `info`.
        """
        if not self.learn:
            return None, ends
        cut = np.array([i for i in ends if not terminated[i]], dtype=np.intp)
        first_rows = rows
        if cut.size:
            rows = _with_rows(rows, cut, self.encode(_final_observations(info, cut)))
        gammas = np.full(self.count, self.gamma)
        for i in ends:
            if terminated[i]:
                gammas[i] = 0.0
        taken = self.population.step(rows, rewards, gammas, active=members.stepping())
        if cut.size:
            bridge = np.zeros(self.count, dtype=bool)
            bridge[cut] = True
            bridged = self.population.step(first_rows, 0.0, self.gamma, active=bridge)
            taken[cut] = bridged[cut]
        return taken, ends

    def join(
        self,
        members: _Members,
        rows: Rows,
        joins: list[int],
        taken: NDArray[np.bool_] | None,
    ) -> NDArray[np.bool_] | None:
        """Lets the joining agents at `joins`, whose sub-environments just ended, join the run.

        Each meets its sub-environment's next first state with reward 0 and the usual discount,
        as an agent of ``start_episode > 0`` does: at once where the sub-environment reset on
        this step, on the next step where it resets then.
        """
        for i in joins:
            members.joining.discard(i)
        if self.mode == NEXT_STEP:
            for i in joins:
                members.pending[i] = False
                members.owed[i] = 0.0
                members.joined.add(i)
            return taken
        mask = np.zeros(self.count, dtype=bool)
        mask[joins] = True
        first = self.population.step(rows, 0.0, self.gamma, active=mask)
        if taken is None:
            taken = first
        else:
            taken[mask] = first[mask]
        members.idle[mask] = False
        return taken
