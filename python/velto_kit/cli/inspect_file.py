"""``velto inspect``: what a saved agent or a run holds, as text (and a figure with --plot).

FILE is an agent file (``velto_kit.save``), a run checkpoint folder (its latest checkpoint) or a
``velto train`` output folder (each seed's trained agent). For each agent the summary gives its
sizes, its settings and, per learner (the critic and each unit), the quantiles of the step sizes
of the features that have entered a trace and of all weights, with how many are near zero.
``--plot PNG`` draws the first agent's inspection figure: its critic's learned step sizes and
its learned value over the observation (the task as ``velto evaluate`` finds it).

    velto inspect velto-output
    velto inspect velto-output/agents/seed-0.npz --plot seed0.png
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import velto_kit
from velto_kit.cli import evaluate, tasks
from velto_kit.experiments.tracking import NEAR_ZERO, agent_arrays, summary

# The agent's learning parameters as its critic and units keep them (alpha is not kept).
CRITIC_SETTINGS = ("lambda_", "epsilon", "meta_step_size", "eta", "decay")


def describe(name: str, agent: Any) -> str:
    """The text summary of one agent."""
    state = velto_kit.inspect(agent)
    critic = state.critic
    lines = [
        f"{name}: {state.num_features} features, {state.num_actions} unit(s)",
        "  settings: "
        + ", ".join(f"{key} {float(getattr(critic, key)):g}" for key in CRITIC_SETTINGS)
        + "".join(
            f", eta_actor {float(unit.eta_actor):g}, action_prob_at_init"
            f" {float(unit.action_prob_at_init):g}"
            for unit in state.units[:1]
        ),
        f"  {'learner':<8} {'values':<10} {'count':>8} {'near 0':>8} {'min':>10} {'5 %':>10}"
        f" {'median':>10} {'95 %':>10} {'max':>10}",
    ]
    for learner, arrays in agent_arrays(agent).items():
        for kind, values in arrays.items():
            s = summary(values)
            label = "step size" if kind == "step_sizes" else "weight"
            lines.append(
                f"  {learner:<8} {label:<10} {int(s['count']):>8} {int(s['near_zero']):>8}"
                f" {s['min']:>10.3g} {s['q05']:>10.3g} {s['q50']:>10.3g} {s['q95']:>10.3g}"
                f" {s['max']:>10.3g}"
            )
    return "\n".join(lines)


def build_parser(prog: str | None = "velto inspect") -> argparse.ArgumentParser:
    """The command line's options; the documentation's reference is generated from it.

    Args:
        prog: The program's name in its usage and messages.

    Returns:
        A new parser.
    """
    parser = tasks.command_parser(prog, __doc__)
    tasks.add_source_options(parser, "FILE")
    parser.add_argument("--plot", type=Path, help="PNG of the first agent's inspection figure")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``velto inspect``.

    Args:
        argv: The options (None: the process's own).

    Returns:
        The exit status, 0.
    """
    arguments = build_parser().parse_args(argv)
    try:
        task, agents = evaluate.agents_of(arguments)
        for name, agent in agents:
            print(describe(name, agent))
        print(
            f"step sizes: of the features that have entered a trace; near 0: below {NEAR_ZERO:g}"
            " in magnitude"
        )
        if arguments.plot is not None:
            write_figure(task, agents[0], arguments.plot)
            print(f"inspection figure written to {arguments.plot}")
    except (ValueError, OSError, velto_kit.CheckpointError) as error:
        sys.exit(f"error: {error}")
    return 0


def write_figure(task: tasks.Task, named: tuple[str, Any], path: Path) -> None:
    """The inspection figure of one trained agent: its step sizes now and its learned value."""
    from velto_kit.cli import inspection_figure as figure

    name, agent = named
    env = task.make_env()
    features = task.make_features(env)
    dims, names = figure.DIMENSIONS.get(task.env_id, ((0, 1), ("observation[0]", "observation[1]")))
    if isinstance(features, velto_kit.TileCoder) and features.num_dimensions <= max(dims):
        dims, names = (0, 1), ("observation[0]", "observation[1]")
    figure.plot(
        [figure.critic_snapshot(agent, 0, 0)],
        figure.value_view(agent, features, dims),
        title=f"Inside {name} on {task.env_id} (velto_kit.inspect and velto_kit.value)",
        alpha=None,
        dim_names=names,
        path=path,
        labels=["as saved"],
    )
    env.close()
