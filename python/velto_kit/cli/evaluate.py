"""``velto evaluate``: follows trained agents' policies without learning, with intervals.

RUN_OR_AGENT is one of:

- a ``velto train`` output folder: each seed's trained agent (``agents/seed-S.npz``) on the task
  its ``run.json`` records;
- a run checkpoint folder (``checkpoints/seed-S`` or ``checkpoints/population``): its latest run
  checkpoint's agents, on the task, features and mapping its description records;
- an agent file (``velto_kit.save``): on the task that ``--env`` and the feature options give
  (their defaults are ``velto train``'s), or that the ``run.json`` of the run it lies in records.

Each agent runs ``--episodes`` episodes (velto_kit.evaluate): sampled, each unit taken with its
probability, or ``--greedy``, each unit taken when its probability exceeds one half. Nothing of
the agent changes. The table gives per agent the mean return with its 95 % bootstrap interval
over the episodes, and over several agents the mean of their means with its interval over the
agents.

    velto evaluate velto-output                       # every seed of a run
    velto evaluate velto-output --greedy --episodes 50
    velto evaluate velto-output/checkpoints/seed-0    # the seed's latest run checkpoint
    velto evaluate agent.npz --env CartPole-v1
"""

from __future__ import annotations

import argparse
import statistics
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import velto_kit
from velto_kit.cli import tasks

RESAMPLES = 10_000
BOOTSTRAP_SEED = 20_261_208
# The evaluation's default seed: far from the training's seeds, so that its episodes are not the
# training's first ones (velto train --evaluate uses seed + 1,000,000 alike).
EVALUATION_SEED = 1_000_000


@dataclass(frozen=True)
class Evaluated:
    """One agent's evaluation: where it came from and its episodes' returns and lengths."""

    name: str
    returns: list[float]
    lengths: list[int]


def bootstrap_interval(values: Sequence[float]) -> tuple[float, float]:
    """The 95 % percentile bootstrap interval of the mean of `values`.

    The 95 % percentile bootstrap interval of the mean of `values` (its own fixed generator,
    so a table is the same every time); zero width for one value.

    Examples:
        >>> bootstrap_interval([2.0, 2.0])
        (2.0, 2.0)
    """
    data = np.asarray(values, dtype=float)
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    means = data[rng.integers(data.size, size=(RESAMPLES, data.size))].mean(axis=1)
    low, high = np.quantile(means, [0.025, 0.975])
    return float(low), float(high)


def table(evaluated: Sequence[Evaluated], greedy: bool) -> str:
    """The evaluations as a Markdown table, with a row over all agents when there are several."""
    largest = max(abs(r) for item in evaluated for r in item.returns) if evaluated else 0.0
    decimals = 1 if largest >= 10 else 3
    lines = [
        "| agent | episodes | mean return | 95 % interval | min | max | mean length |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for item in evaluated:
        low, high = bootstrap_interval(item.returns)
        lines.append(
            f"| {item.name} | {len(item.returns)} | {statistics.fmean(item.returns):.{decimals}f}"
            f" | [{low:.{decimals}f}, {high:.{decimals}f}] | {min(item.returns):.{decimals}f}"
            f" | {max(item.returns):.{decimals}f} | {statistics.fmean(item.lengths):.1f} |"
        )
    if len(evaluated) > 1:
        means = [statistics.fmean(item.returns) for item in evaluated]
        low, high = bootstrap_interval(means)
        lines.append(
            f"| mean of {len(means)} agents | | {statistics.fmean(means):.{decimals}f}"
            f" | [{low:.{decimals}f}, {high:.{decimals}f}] | {min(means):.{decimals}f}"
            f" | {max(means):.{decimals}f} | |"
        )
    policy = "greedy (a unit is taken when its probability exceeds 1/2)" if greedy else "sampled"
    lines += ["", f"policy: {policy}; nothing learned; intervals: 95 % bootstrap of the mean"]
    return "\n".join(lines)


def build_parser(prog: str | None = "velto evaluate") -> argparse.ArgumentParser:
    """The command line's options; the documentation's reference is generated from it.

    Args:
        prog: The program's name in its usage and messages.

    Returns:
        A new parser.
    """
    parser = tasks.command_parser(prog, __doc__)
    tasks.add_source_options(parser, "RUN_OR_AGENT")
    parser.add_argument("--episodes", type=int, default=100, help="episodes per agent")
    parser.add_argument(
        "--greedy", action="store_true", help="take each unit when its probability exceeds 1/2"
    )
    parser.add_argument(
        "--seed", type=int, default=EVALUATION_SEED, help="seed of the resets and the draws"
    )
    return parser


def agents_of(arguments: argparse.Namespace) -> tuple[tasks.Task, list[tuple[str, Any]]]:
    """The task to evaluate on and the agents, named, that `arguments.source` holds.

    Raises:
        ValueError: The source is none of the three kinds, holds no agent, or its task cannot be
            rebuilt.
    """
    source: Path = arguments.source
    if source.is_file():
        run_file = source.parent.parent / tasks.RUN_FILE
        task = tasks.task_from_arguments(arguments, run_file if run_file.is_file() else None)
        return task, [(source.name, velto_kit.load(source))]
    if not source.is_dir():
        raise ValueError(f"{source}: no such file or folder")
    if (source / tasks.RUN_FILE).is_file():
        task = tasks.task_from_arguments(arguments, source / tasks.RUN_FILE)
        files = sorted(
            (source / "agents").glob("seed-*.npz"), key=lambda path: int(path.stem.split("-")[1])
        )
        if not files:
            raise ValueError(f"{source} holds no trained agent (agents/seed-S.npz) yet")
        return task, [(path.stem, velto_kit.load(path)) for path in files]
    if velto_kit.run_checkpoints(source):
        run = velto_kit.latest_run(source, trust_pickles=arguments.trust_run_pickles)
        if run is None:
            raise ValueError(f"{source} holds no run checkpoint that can be read")
        task = tasks.task_from_description(run.description, arguments)
        if len(run.members) == 1:
            return task, [(f"{source.name} @ episode {run.next_episode}", run.agent)]
        return task, [
            (f"{source.name} agent {i} @ episode {run.next_episode}", member.agent)
            for i, member in enumerate(run.members)
        ]
    raise ValueError(
        f"{source} is no velto train output folder (no {tasks.RUN_FILE}), no run checkpoint"
        " folder and no agent file"
    )


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``velto evaluate``.

    Args:
        argv: The options (None: the process's own).

    Returns:
        The exit status, 0.
    """
    parser = build_parser()
    arguments = parser.parse_args(argv)
    if arguments.episodes < 1:
        parser.error("--episodes must be at least 1")
    try:
        task, agents = agents_of(arguments)
        evaluated = []
        for name, agent in agents:
            env = task.make_env()
            results = velto_kit.evaluate(
                env, agent, task.make_features(env), task.make_mapping(env),
                episodes=arguments.episodes, seed=arguments.seed, greedy=arguments.greedy,
            )  # fmt: skip
            env.close()
            evaluated.append(
                Evaluated(name, [r.return_ for r in results], [r.length for r in results])
            )
    except (ValueError, OSError, velto_kit.CheckpointError) as error:
        sys.exit(f"error: {error}")
    print(f"{task.env_id}: {len(evaluated)} agent(s), {arguments.episodes} episodes each")
    print(table(evaluated, arguments.greedy))
    return 0
