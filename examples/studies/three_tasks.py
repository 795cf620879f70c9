"""Three classic-control tasks and a one-hot task: the agent against SARSA(lambda) and random.

For each task, the agent and the SARSA(lambda) baseline (``velto_kit.sweeps.baselines``, same
features) are tuned with the same budget: the same number of candidate settings, each run on the
tuning seeds. The candidate with the best mean final return on those seeds is then run on the
reported seeds, which were not used for tuning, beside a uniformly random policy on the same seeds.

    python examples/studies/three_tasks.py                   # the README's study, local Ray
    python examples/studies/three_tasks.py --backend local --workers 2
    python examples/studies/three_tasks.py --smoke --out /tmp/three   # CI: about a minute
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from study_grid import (  # noqa: E402
    GroupRunner,
    TrialRecord,
    grid_points,
    mean_sd,
    start_ray,
    task_grid,
)

TUNING_SEEDS = (100, 101)
REPORTED_SEEDS = (0, 1, 2, 3, 4)
# Episodes per trial and the window of the final return.
TASK_LENGTHS = {
    "CartPole-v1": (300, 20),
    "Acrobot-v1": (200, 20),
    "MountainCar-v0": (200, 20),
    "CliffWalking-v1": (200, 20),
}
# Candidates: the grid of each learner on each task, two axes of two values: four candidates
# each, so both learners get the same number of tuning runs. The agent's mapping axis holds the
# mapping the example used before (opposing pair for 3 actions, one unit per action for 4) and
# the binary code.
AGENT_CANDIDATES: dict[str, dict[str, list[Any]]] = {
    "CartPole-v1": {"lambda_": [0.3, 0.5], "eta_actor": [0.005, 0.01]},
    "Acrobot-v1": {"mapping": ["opposing", "binary"], "eta_actor": [0.005, 0.05]},
    "MountainCar-v0": {"mapping": ["opposing", "binary"], "eta_actor": [0.005, 0.05]},
    "CliffWalking-v1": {"mapping": ["one-per-action", "binary"], "alpha": [0.01, 0.1]},
}
# SARSA(lambda) starts from zero weights, optimistic under rewards of -1 per step, which is its
# exploration on Acrobot and MountainCar (epsilon 0, as in the textbook); the other two explore
# with epsilon 0.01 as well.
SARSA_CANDIDATES: dict[str, dict[str, list[Any]]] = {
    task: {
        "sarsa_alpha": [0.1, 0.5],
        "sarsa_lambda": [0.5, 0.9],
        "sarsa_epsilon": [0.01 if task in ("CartPole-v1", "CliffWalking-v1") else 0.0],
    }
    for task in TASK_LENGTHS
}
LEARNER_NAMES = {"velto": "agent", "sarsa": "SARSA(λ)", "random": "random"}
COLOURS = {"velto": "C0", "sarsa": "C1", "random": "C2"}


def build_parser() -> argparse.ArgumentParser:
    """The command line's options; the documentation's reference is generated from it."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("results/three_tasks"))
    parser.add_argument("--plot", type=Path, default=None, help="figure path (default OUT/...)")
    parser.add_argument("--tasks", nargs="+", default=list(TASK_LENGTHS))
    parser.add_argument("--episodes", type=int, default=None, help="instead of each task's own")
    parser.add_argument("--backend", choices=("ray", "local"), default="ray")
    parser.add_argument("--address", default=None, help="Ray cluster (default: a local Ray)")
    parser.add_argument(
        "--workers", type=int, default=2, help="trials at a time (local Ray CPUs or processes)"
    )
    parser.add_argument("--smoke", action="store_true", help="a tiny version, for CI")
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    arguments.tuning_seeds, arguments.seeds = list(TUNING_SEEDS), list(REPORTED_SEEDS)
    if arguments.smoke:
        arguments.tasks, arguments.episodes = ["CliffWalking-v1"], 3
        arguments.tuning_seeds, arguments.seeds = [100], [0]
    unknown = [task for task in arguments.tasks if task not in TASK_LENGTHS]
    if unknown:
        parser.error(f"--tasks: unknown {unknown}; known: {list(TASK_LENGTHS)}")
    check_seeds(arguments.tuning_seeds, arguments.seeds)
    return arguments


def check_seeds(tuning: Sequence[int], reported: Sequence[int]) -> None:
    """Reported numbers must come from seeds that tuning never saw.

    Example:
        >>> check_seeds([100], [0, 100])
        Traceback (most recent call last):
        ValueError: seeds [100] are used both for tuning and for the reported runs
    """
    shared = sorted(set(tuning) & set(reported))
    if shared:
        raise ValueError(f"seeds {shared} are used both for tuning and for the reported runs")


def lengths(env_id: str, arguments: argparse.Namespace) -> tuple[int, int]:
    episodes, window = TASK_LENGTHS[env_id]
    if arguments.episodes is not None:
        episodes = arguments.episodes
    return episodes, min(window, episodes)


def finals_of(records: list[TrialRecord], candidate: dict[str, Any], window: int) -> list[float]:
    """The final returns of the records run with `candidate`'s settings."""
    return [
        record.final(window)
        for record in records
        if all(record.config[key] == value for key, value in candidate.items())
    ]


def best_candidate(
    records: list[TrialRecord], axes: dict[str, list[Any]], window: int
) -> tuple[dict[str, Any], float]:
    """The candidate (values of `axes`) with the best mean final return over its seeds."""
    best: tuple[dict[str, Any], float] | None = None
    for candidate in grid_points(axes):
        score = mean_sd(finals_of(records, candidate, window))[0]
        if best is None or score > best[1]:
            best = (candidate, score)
    assert best is not None
    return best


def study_task(env_id: str, arguments: argparse.Namespace, runner: GroupRunner) -> dict[str, Any]:
    """Tunes both learners on `env_id`, then runs them and the random policy on the reported
    seeds."""
    episodes, window = lengths(env_id, arguments)
    outcome: dict[str, Any] = {"episodes": episodes, "window": window, "chosen": {}, "tuning": {}}
    for learner, candidates in (("velto", AGENT_CANDIDATES), ("sarsa", SARSA_CANDIDATES)):
        axes = candidates[env_id]
        common = {"learner": [learner], "episodes": [episodes]}
        tuning = runner.run(
            f"tune-{learner}-{env_id}",
            task_grid(env_id, **common, **axes, seed=arguments.tuning_seeds),
        )
        chosen, score = best_candidate(tuning, axes, window)
        outcome["chosen"][learner] = chosen
        outcome["tuning"][learner] = [
            (candidate, mean_sd(finals_of(tuning, candidate, window)))
            for candidate in grid_points(axes)
        ]
        fixed = {key: [value] for key, value in chosen.items()}
        outcome[learner] = runner.run(
            f"report-{learner}-{env_id}",
            task_grid(env_id, **common, **fixed, seed=arguments.seeds),
        )
    outcome["random"] = runner.run(
        f"report-random-{env_id}",
        task_grid(env_id, learner=["random"], episodes=[episodes], seed=arguments.seeds),
    )
    return outcome


def table(outcomes: dict[str, dict[str, Any]], seeds: int) -> str:
    """Markdown: final return (mean ± sd over the reported seeds) of each learner per task."""
    lines = [
        "| task | episodes | final window | random | SARSA(λ) | agent | agent − SARSA(λ) |"
        " agent settings (tuned) | SARSA(λ) settings (tuned) |",
        "|---|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    for env_id, outcome in outcomes.items():
        window = outcome["window"]
        finals = {
            learner: [record.final(window) for record in outcome[learner]]
            for learner in ("random", "sarsa", "velto")
        }
        cells = [f"{m:.1f} ± {s:.1f}" for m, s in (mean_sd(finals[k]) for k in finals)]
        gap = mean_sd(finals["velto"])[0] - mean_sd(finals["sarsa"])[0]
        settings = [describe(outcome["chosen"][learner]) for learner in ("velto", "sarsa")]
        lines.append(
            f"| {env_id} | {outcome['episodes']} | last {window} | "
            + " | ".join(cells)
            + f" | {gap:+.1f} | {settings[0]} | {settings[1]} |"
        )
    lines.append(f"\nmean ± sd over {seeds} reported seeds of each seed's mean final return")
    return "\n".join(lines)


def tuning_table(outcomes: dict[str, dict[str, Any]], seeds: Sequence[int]) -> str:
    """Markdown: every candidate's final return on the tuning seeds; the chosen one in bold."""
    lines = [
        f"| task | learner | candidate | tuning seeds {', '.join(map(str, seeds))} |",
        "|---|---|---|---:|",
    ]
    for env_id, outcome in outcomes.items():
        for learner in ("velto", "sarsa"):
            for candidate, (mean, sd) in outcome["tuning"][learner]:
                text = describe(candidate)
                if candidate == outcome["chosen"][learner]:
                    text = f"**{text}**"
                lines.append(
                    f"| {env_id} | {LEARNER_NAMES[learner]} | {text} | {mean:.1f} ± {sd:.1f} |"
                )
    return "\n".join(lines)


def describe(candidate: dict[str, Any]) -> str:
    """`key value` pairs of a candidate."""
    return ", ".join(
        f"{key} {value:g}" if isinstance(value, float) else f"{key} {value}"
        for key, value in candidate.items()
    )


def plot(outcomes: dict[str, dict[str, Any]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    columns = 2 if len(outcomes) > 1 else 1
    rows = (len(outcomes) + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(6 * columns, 4 * rows), squeeze=False)
    for axis, (env_id, outcome) in zip(axes.flat, outcomes.items(), strict=False):
        curves = {}
        for learner in ("random", "sarsa", "velto"):
            returns = np.array([record.returns for record in outcome[learner]], dtype=float)
            width = max(1, min(10, returns.shape[1] // 10))
            kernel = np.ones(width) / width
            smooth = np.array([np.convolve(row, kernel, mode="valid") for row in returns])
            curves[learner] = (smooth.mean(axis=0), smooth.std(axis=0), returns.mean())
        episodes = np.arange(width, returns.shape[1] + 1)
        # The learners' range; a random policy far below it (CliffWalking) would flatten the
        # learners' curves, so it is then left below the axis and its mean named in the legend.
        low = min(float((mean - sd).min()) for mean, sd, _ in (curves["sarsa"], curves["velto"]))
        high = max(float((mean + sd).max()) for mean, sd, _ in (curves["sarsa"], curves["velto"]))
        margin = 0.1 * max(high - low, 1.0)
        clipped = float(curves["random"][0].max()) < low - 2 * (high - low + margin)
        for learner, (mean, sd, overall) in curves.items():
            label = LEARNER_NAMES[learner]
            if learner == "random" and clipped:
                label += f" (mean of all episodes {overall:.0f}, below the axis)"
            axis.plot(episodes, mean, label=label, color=COLOURS[learner])
            axis.fill_between(episodes, mean - sd, mean + sd, alpha=0.2, color=COLOURS[learner])
        if clipped:
            axis.set_ylim(low - margin, high + margin)
        axis.set_title(f"{env_id} ({len(outcome['velto'])} seeds, mean ± sd)")
        axis.set_xlabel("episode")
        axis.set_ylabel(f"return (moving mean of {width})")
        axis.legend(fontsize=8)
    for axis in list(axes.flat)[len(outcomes) :]:
        axis.set_visible(False)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    started = time.perf_counter()
    if arguments.backend == "ray":
        start_ray(arguments.address, arguments.workers)
    runner = GroupRunner(arguments.out, backend=arguments.backend, workers=arguments.workers)
    outcomes = {env_id: study_task(env_id, arguments, runner) for env_id in arguments.tasks}
    text = table(outcomes, len(arguments.seeds))
    tuning = tuning_table(outcomes, arguments.tuning_seeds)
    print(text + "\n\nTuning (mean ± sd of the final return over the tuning seeds):\n" + tuning)
    (arguments.out / "three_tasks.md").write_text(text + "\n\n" + tuning + "\n")
    plot(outcomes, arguments.plot or arguments.out / "three_tasks.png")
    print(f"{time.perf_counter() - started:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
