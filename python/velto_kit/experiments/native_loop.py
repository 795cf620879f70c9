"""The native loop's Python side: one run of whole populations of agents on native tasks, in C++.

``make_vector_env(env_id, n, seed=..., backend="native")`` gives a ``NativeVectorEnv``: a
synchronous vector of n native tasks, sub-environment i behaving exactly as
``gymnasium.make(env_id, **kwargs)`` reset with ``seed + i`` (the same observations, rewards,
terminations and truncations, bit for bit, for the tasks of ``_native.exact_native_task_ids()``;
the native Acrobot-v1 is not among them). It can be stepped by hand like Gymnasium's
``SyncVectorEnv`` (a finished sub-environment resets on the next step). ``run_population`` on it
runs the whole loop in C++: each agent's episodes back to back (task, features, mapping and the
agent's own ``step``), on ``population.threads`` native threads that never touch Python and run
while the interpreter lock is released.

What another Python thread sees while such a run goes on: the loop steps private copies of the
agents. A Python agent object changes only at a hand-over, when the run gives Python a batch of
finished episodes (with the lock held), and then in one piece, to its state right after the last
of them. Between hand-overs every call on it (``step``, ``save``, ``dumps``, ``copy``,
``inspect``) sees that last handed-over state, never one half-stepped. A change made to an agent
meanwhile (its ``step``, a load into it, another run) is never overwritten: the next hand-over
of that agent finds it and the run stops with ``RuntimeError``, the change kept. A hand-over copies
into the agent's own arrays, so views from an earlier ``inspect`` follow it.

Signals and forks: while the run waits for its units (or runs one on the calling thread), Python's
signal handlers run every 20 ms; one that raises (Ctrl-C) stops every unit between two steps, drops
those not yet handed over, and its exception leaves ``run.next()``. In a process forked while the
run is open, ``run.next()`` raises ``RuntimeError``, and closing the run there frees nothing that
the parent's threads may hold.
"""

from __future__ import annotations

import time
from collections.abc import Generator, Sequence
from typing import Any

import numpy as np

from velto_kit import _native
from velto_kit.experiments.actions import MAPPINGS, ActionMapping, built_in
from velto_kit.experiments.features import Flattened, OneHot
from velto_kit.state import env_state

UNIT_STEPS = 1 << 16
"""Steps after which a unit of work ends at its next episode end and hands its episodes over."""


def native_task_ids() -> list[str]:
    """The ids of the tasks that run natively (``make_vector_env(..., backend="native")``).

    Returns:
        The ids, e.g. ``"CartPole-v1"``.

    Example:
        >>> "CartPole-v1" in native_task_ids()
        True
    """
    return list(_native.native_task_ids())


def native_features(features: Any) -> Any:
    """The native loop's form of a feature map: the tile coder itself or a one-hot ``(n, start)``.

    Args:
        features: A ``TileCoder``, a ``Flattened`` one, or a ``OneHot``.

    Returns:
        The ``TileCoder``, or ``(n, start)``.

    Raises:
        ValueError: Any other feature map: the native loop codes only the kit's own.

    Example:
        >>> native_features(OneHot(16))
        (16, 0)
    """
    if isinstance(features, OneHot):
        return (features.n, features.start)
    if isinstance(features, Flattened):
        features = features.coder
    if isinstance(features, _native.TileCoder):
        return features
    raise ValueError(
        "the native loop codes observations with the kit's own feature maps (features_for):"
        f" a TileCoder, Flattened or OneHot, not {type(features).__name__}"
    )


def _generator_state(rng: np.random.Generator) -> dict[str, Any]:
    state = rng.bit_generator.state
    if state.get("bit_generator") != "PCG64":
        name = state.get("bit_generator")
        raise ValueError(f"the native loop draws from PCG64 generators (default_rng), not {name}")
    return dict(state)


class NativeRunLoop:
    """One ``run_population`` on a ``NativeVectorEnv``: the native run and its bookkeeping.

    Users reach it through ``run_population``; the checkpoints, the log and resuming are those of
    ``velto_kit.experiments.native_vector_env``.

    Attributes:
        run: The native run (``velto_kit._native.NativeRun``).
        agents: The agents, agent i on task i.
        rngs: The mapping's generators, set to the run's at each hand-over.
        starts: Each agent's ``start_episode``.
        ends: Each agent's last episode + 1.
        begun: Whether each agent has been shown its first state.
        next_episode: Each agent's next episode at its last hand-over.
        seconds: The run's wall time so far.
    """

    def __init__(
        self,
        env_id: str,
        options: dict[str, Any],
        agents: Sequence[Any],
        features: Any,
        mapping: ActionMapping,
        *,
        gamma: float,
        seed: int,
        rngs: Sequence[np.random.Generator],
        starts: list[int],
        ends: list[int],
        mode: str,
        threads: int,
        checkpoint_every: int | None,
        unit_steps: int = UNIT_STEPS,
        record_agent_calls: bool = False,
        resumed: list[tuple[Any, list[int], int, int] | None] | None = None,
        seeds: Sequence[int] | None = None,
    ) -> None:
        """Makes the native run (see the class's description).

        Args:
            env_id: The task's id.
            options: The task's keyword arguments.
            agents: The agents.
            features: The feature map (``native_features`` takes it).
            mapping: The action mapping.
            gamma: The discount.
            seed: Agent i's task is first reset with ``seed + i``.
            rngs: The mapping's generators, PCG64 only.
            starts: Each agent's first episode.
            ends: Each agent's last episode + 1.
            mode: ``"learn"``, ``"sample"`` or ``"greedy"``.
            threads: Native threads (at most one per agent is used).
            checkpoint_every: Each agent's units end after every such episode of its own.
            unit_steps: Steps after which a unit hands its episodes over at its next episode end.
            record_agent_calls: Record every agent step (``run.replay_agent_calls``), for the
                benchmark.
            resumed: Per agent, None for a fresh one or ``(task state, taken, next episode,
                steps)`` to go on from.
            seeds: The first reset's seed of each agent's task, in place of ``seed + i``.

        Raises:
            ValueError: The features, generators or settings do not fit the native loop, or
                `mapping` is not one of the kit's own (``action_mapping``).
        """
        if not built_in(mapping):
            # The loop runs its own copy of each kit rule, on threads without the interpreter
            # lock: a rule written in Python would need the lock at every step.
            raise ValueError(
                f"the native loop runs the kit's own action mappings ({', '.join(MAPPINGS)} of"
                f" action_mapping), and this {mapping.name!r} mapping has a rule of its own: run"
                ' it on Gymnasium (make_vector_env(..., backend="gymnasium"))'
            )
        count = len(agents)
        self.agents = list(agents)
        self.rngs = list(rngs)
        self.starts, self.ends = list(starts), list(ends)
        resumed = resumed or [None] * count
        self.begun = [state is not None for state in resumed]
        self.next_episode = [
            starts[i] if state is None else int(state[2]) for i, state in enumerate(resumed)
        ]
        progress = [
            None if state is None else (state[0], list(state[1]), int(state[3]))
            for state in resumed
        ]
        self.run = _native.NativeRun(
            self.agents, env_id, options,
            [int(seed) + i for i in range(count)] if seeds is None else [int(s) for s in seeds],
            native_features(features), mapping.name, mapping.num_actions, float(gamma), mode,
            self.next_episode, list(ends), [_generator_state(rng) for rng in self.rngs],
            progress, min(threads, count), unit_steps, checkpoint_every or 0, record_agent_calls,
        )  # fmt: skip
        self.seconds = 0.0

    def batches(self) -> Generator[list[tuple[int, int, float, int, int]]]:
        """Each hand-over's episodes ``(agent, episode, return, length, steps)``, in order.

        At each, the agents and generators of the units handed over are already updated.

        Yields:
            The episodes of the units that finished since the last batch (never empty).
        """
        started = time.perf_counter()
        try:
            while True:
                records = self.run.next()
                if not records:
                    return
                for agent in {record[0] for record in records}:
                    _, generator, _, next_episode, _ = self.run.progress(agent)
                    self.rngs[agent].bit_generator.state = generator
                    self.next_episode[agent] = next_episode
                    self.begun[agent] = True
                now = time.perf_counter()
                self.seconds += now - started
                yield records
                started = time.perf_counter()
        finally:
            self.run.close()

    def member_progress(self, agent: int) -> dict[str, Any]:
        """Agent `agent`'s loop as of its last hand-over, as plain data for a run checkpoint.

        Args:
            agent: The agent's index.

        Returns:
            ``task`` (its state, ``env_state.encode``d), ``taken``, ``begun``, ``next_episode``
            and ``steps``.
        """
        task, _, taken, next_episode, steps = self.run.progress(agent)
        return {
            "task": env_state.encode(task),
            "taken": [int(unit) for unit in taken],
            "begun": self.begun[agent],
            "next_episode": int(next_episode),
            "steps": int(steps),
        }
