"""Run checkpoints and the log of a population run (``run_population``).

The agents of a population end their episodes at different vector steps, so there is no moment
at which all of them are between episodes. A population's run checkpoint is therefore taken
between two vector steps, right after a batch of ended episodes has been handed out, and holds,
beside every agent: the vector environment's state, each agent's pending actions and generator,
and the loop's bookkeeping (each agent's episode count, the running return and length of the
episode it is in, which sub-environments reset on the next step and the reward a termination
still owes). One is written each time the slowest agent has finished another `checkpoint_every`
episodes; its number (``run-NNNNNN.json``) is that agent's episode count.

The log has one line per finished episode, ``agent,episode,return,length,steps``, in the order
the episodes end; a resumed run rewrites it from its checkpoint, as ``run_episodes`` does.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from velto_kit.experiments.run_bookkeeping import (
    LOG_COLUMNS,
    check_resumed_agents,
    member_history,
    population_description,
    population_log,
    population_log_line,
    write_run_checkpoint,
)
from velto_kit.experiments.training_run import check_same_run
from velto_kit.state import env_state
from velto_kit.state.run_state import MemberState, RunState

__all__ = ["LOG_COLUMNS", "PopulationRun", "population_log_line"]


class PopulationRun:
    """Checkpoints and logs one ``run_population`` run.

    With `resume`, it first sets the loop, its agents' bookkeeping and the vector environment to
    the checkpoint's state. `loop` and `members` are ``run_population``'s own
    (``velto_kit.experiments.population_loop``); users reach this class through
    ``run_population``.

    Attributes:
        description: What makes the run the run it is (``describe_run``).
        records: One ``[agent, episode, return, length, steps]`` per episode handed out.
        saved: The slowest agent's episode count at the last checkpoint (or at the start).
        storable: False once the vector environment's state could not be captured; no run
            checkpoint is written after that.
    """

    def __init__(
        self,
        loop: Any,
        members: Any,
        features: Any,
        *,
        seed: int | None,
        starts: list[int],
        every: int | None,
        directory: Path | None,
        log: Path | None,
        resume: RunState | None,
        settings: Mapping[str, Any] | None = None,
        keep_last: int | None = None,
    ) -> None:
        """Prepares checkpoints and log, restoring the checkpoint's state first with `resume`.

        Args:
            loop: The population loop (its agents, vector environment, mapping and gamma).
            members: The loop's bookkeeping of its agents.
            features: The feature map the agents read.
            seed: The run's seed.
            starts: Each agent's episode count at the start of the run.
            every: Write a run checkpoint each time the slowest agent has finished this many
                more episodes; None writes none.
            directory: The run checkpoints' folder (the working folder when None).
            log: The population's CSV log, rewritten from the checkpoint's records; None keeps
                none.
            resume: The run checkpoint to continue; None starts afresh.
            settings: Plain data stored in the run's description (e.g. the agents' settings);
                a resumed run must give the same.
            keep_last: Keep only this many run checkpoints; None keeps all.

        Raises:
            ValueError: With `resume`: the run's description differs from the checkpoint's,
                the agents are not the checkpoint's, the checkpoint holds no state of the
                vector environment, or that environment is not made like this one.
            OSError: The log cannot be written.
        """
        self.loop, self.members = loop, members
        self.every, self.directory, self.keep_last = every, directory, keep_last
        self.description = population_description(
            loop.envs, features, loop.mapping, gamma=loop.gamma, seed=seed, starts=starts,
            settings=settings,
        )  # fmt: skip
        self.records: list[list[Any]] = []
        self.saved = min(starts)
        self.storable = True
        if resume is not None:
            self._restore(resume)
        self.log = None if log is None else population_log(log, self.records)
        if every is not None:
            loop.after_episodes = self._after_episodes

    def _restore(self, resume: RunState) -> None:
        check_same_run(resume.description, self.description)
        agents = self.loop.population.agents
        check_resumed_agents(resume, agents)
        if resume.env is None:
            raise ValueError("the run checkpoint holds no state of the vector environment")
        env_state.restore(self.loop.envs, *resume.env)
        state, members = resume.loop, self.members
        for i, member in enumerate(resume.members):
            if type(members.rngs[i].bit_generator) is type(member.rng.bit_generator):
                # The caller's generator goes on from the checkpoint's state and ends where the
                # run leaves it, as on the native loop and in run_episodes.
                members.rngs[i].bit_generator.state = member.rng.bit_generator.state
            else:
                members.rngs[i] = member.rng
        members.episode = [int(e) for e in state["episode"]]
        members.pending = {int(i): bool(v) for i, v in state["pending"]}
        members.owed = {int(i): float(v) for i, v in state["owed"]}
        members.returns = np.array(state["returns"], dtype=np.float64)
        members.lengths = np.array(state["lengths"], dtype=np.int64)
        members.steps = [member.steps for member in resume.members]
        members.joining = {int(i) for i in state.get("joining", [])}
        members.joined = {int(i) for i in state.get("joined", [])}
        members.done = np.array(
            [episode >= last for episode, last in zip(members.episode, members.last, strict=True)]
        )
        # Idle are exactly the agents done with this run's episodes, those waiting to join and
        # the rows resetting on the next step; the stored flags say which agents were done with
        # the checkpointed run's, whose sub-environments have gone on without them since.
        stored_idle = [bool(flag) for flag in state["idle"]]
        for i, was_idle in enumerate(stored_idle):
            waiting = i in members.pending or i in members.joining
            if was_idle and not waiting and not members.done[i]:
                members.joining.add(i)
        members.idle = members.done.copy()
        members.idle[[*members.pending, *members.joining]] = True
        members.remaining = len(agents) - int(members.done.sum())
        taken = np.zeros((len(agents), self.loop.population.num_actions), dtype=bool)
        for row, member in enumerate(resume.members):
            taken[row, member.taken] = True
        self.loop.resumed_taken = taken
        self.loop.seconds = resume.seconds
        self.records = [list(record) for record in state["records"]]
        self.saved = resume.next_episode

    def results(self, results: Iterator[Any]) -> Iterator[Any]:
        """`results` (the loop's), each logged as it is handed out.

        The log is closed when the results are exhausted or the iterator is closed.

        Args:
            results: The loop's iterator of finished episodes.

        Yields:
            Each result of `results`, unchanged, after its line is in the log.
        """
        try:
            for result in results:
                record = [result.agent, result.episode, result.return_, result.length]
                record.append(result.steps)
                self.records.append(record)
                if self.log is not None:
                    self.log.append_line(population_log_line(record))
                yield result
        finally:
            if self.log is not None:
                self.log.close()

    def _after_episodes(self, members: Any, taken: Any) -> None:
        slowest = min(members.episode)
        if not self.storable or self.every is None:
            return
        if slowest // self.every <= self.saved // self.every:
            return
        try:
            run = self.state(slowest, taken)
        except env_state.EnvStateError as error:
            warnings.warn(
                f"{error}; the population's run checkpoints are skipped (each agent is still"
                " saved), so it cannot be resumed exactly",
                stacklevel=2,
            )
            self.storable = False
            return
        write_run_checkpoint(self.directory or Path("."), run, self.log, self.keep_last)
        self.saved = slowest

    def state(self, slowest: int, taken: Any) -> RunState:
        """The run between two vector steps, as a run checkpoint after `slowest` episodes.

        Args:
            slowest: The slowest agent's episode count, the checkpoint's number.
            taken: One row per agent of the units it takes in its current state.

        Returns:
            The run's state with every agent and the vector environment's state.

        Raises:
            EnvStateError: The vector environment's state cannot be captured.
        """
        members = self.members
        states = []
        for i, agent in enumerate(self.loop.population.agents):
            returns, lengths = member_history(self.records, i)
            states.append(
                MemberState(
                    agent,
                    np.flatnonzero(taken[i]).tolist(),
                    members.rngs[i],
                    None,
                    returns,
                    lengths,
                    members.steps[i],
                )  # fmt: skip
            )
        loop_state = {
            "episode": list(members.episode),
            "idle": members.idle.tolist(),
            "pending": [[i, v] for i, v in members.pending.items()],
            "owed": [[i, v] for i, v in members.owed.items()],
            "returns": members.returns.tolist(),
            "lengths": members.lengths.tolist(),
            "records": self.records,
            "joining": sorted(members.joining),
            "joined": sorted(members.joined),
        }
        env = env_state.capture(self.loop.envs)
        return RunState(
            self.description, min(self.description["start_episodes"]), slowest,
            self.loop.seconds, states, env=env, loop=loop_state,
        )  # fmt: skip
