"""Tables and figures of the fair study (``fair_study.py``): every number with its 95 % bootstrap
interval over seeds, every band an interval of the mean (so it stays within the returns a task
can give), and every line drawn so that one on top of another stays visible."""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
from evidence_stats import (
    BOOTSTRAP_SEED,
    bootstrap_ci,
    difference_ci,
    near_best_fraction,
    verdict,
)

COLOURS = {"velto": "C0", "sarsa": "C1", "random": "black"}
CURVE_COLOURS = {"learned": "C0", "fixed": "C2", "sarsa": "C1"}
NAMES = {"velto": "agent", "sarsa": "SARSA(λ)", "random": "random"}
CURVES = {
    "learned": "agent, learned step sizes",
    "fixed": "agent, meta_step_size 0",
    "sarsa": "SARSA(λ)",
}


def finals(runs: Sequence[Sequence[float]], window: int) -> list[float]:
    """Each run's mean return over its last `window` episodes."""
    return [float(np.mean(returns[-window:])) for returns in runs]


def describe(candidate: dict[str, Any]) -> str:
    """`key value` pairs of a candidate, the ``sarsa_`` prefix dropped."""
    return ", ".join(
        f"{key.removeprefix('sarsa_')} {value:g}"
        if isinstance(value, float)
        else f"{key.removeprefix('sarsa_')} {value}"
        for key, value in candidate.items()
    )


def near_best_ci(
    step_sizes: Sequence[float], groups: Sequence[Sequence[float]], floor: float
) -> tuple[float, float, float]:
    """``near_best_fraction`` of the mean curve, and its 95 % interval from resampling the
    seeds (the same resampled seeds at every step size, as each seed ran every step size)."""
    data = np.asarray(groups, dtype=float)  # step sizes x seeds
    point = near_best_fraction(step_sizes, data.mean(axis=1).tolist(), floor)
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    picks = rng.integers(data.shape[1], size=(2000, data.shape[1]))
    values = [
        near_best_fraction(step_sizes, data[:, p].mean(axis=1).tolist(), floor) for p in picks
    ]
    low, high = np.quantile(values, [0.025, 0.975])
    return point, float(low), float(high)


def comparison_table(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    lines = [
        "| task | episodes | random | SARSA(λ) | agent | agent − SARSA(λ) | verdict |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    for row in arguments.rows:
        episodes, window = arguments.lengths[row]
        cells = {
            learner: finals(runs, window) for learner, runs in results["reported"][row].items()
        }
        gap = difference_ci(cells["velto"], cells["sarsa"])
        lines.append(
            f"| {row} | {episodes} (last {window}) | {bootstrap_ci(cells['random'])} | "
            f"{bootstrap_ci(cells['sarsa'])} | {bootstrap_ci(cells['velto'])} | {gap} | "
            f"{verdict(gap, 'agent', 'SARSA(λ)')} |"
        )
    lines.append(
        f"\nMean final return over {len(arguments.seeds)} reported seeds "
        f"({arguments.seeds[0]}–{arguments.seeds[-1]}) [95 % bootstrap interval]; a verdict only "
        "where the interval of the difference excludes 0."
    )
    lines += ["", "| task | agent (tuned) | SARSA(λ) (tuned) |", "|---|---|---|"]
    for row in arguments.rows:
        chosen = [describe(results["choices"][row][k]["chosen"]) for k in ("velto", "sarsa")]
        lines.append(f"| {row} | {chosen[0]} | {chosen[1]} |")
    return "\n".join(lines)


def tuning_table(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    seeds = ", ".join(map(str, arguments.tuning_seeds))
    lines = [f"| task | learner | candidate | mean final return, tuning seeds {seeds} |"]
    lines.append("|---|---|---|---:|")
    for row in arguments.rows:
        for learner in ("velto", "sarsa"):
            choice = results["choices"][row][learner]
            for candidate, score in choice["scores"]:
                text = describe(candidate)
                if candidate == choice["chosen"]:
                    text = f"**{text}**"
                lines.append(f"| {row} | {NAMES[learner]} | {text} | {score:.1f} |")
    return "\n".join(lines)


def sensitivity_table(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    lines = []
    for row, curves in results["sensitivity"].items():
        window = arguments.lengths[row][1]
        floor = float(np.mean(finals(results["reported"][row]["random"], window)))
        header = "| step size | " + " | ".join(CURVES[c] for c in curves) + " |"
        lines += [f"**{row}** (last {window} episodes)", "", header]
        lines.append("|---:|" + "---:|" * len(curves))
        for index, size in enumerate(arguments.step_sizes):
            cells = [str(bootstrap_ci(finals(runs[index], window))) for runs in curves.values()]
            lines.append(f"| {size:g} | " + " | ".join(cells) + " |")
        fractions = []
        for runs in curves.values():
            groups = [finals(group, window) for group in runs]
            point, low, high = near_best_ci(arguments.step_sizes, groups, floor)
            fractions.append(f"{point:.2f} [{low:.2f}, {high:.2f}]")
        lines.append("| **near-best fraction** | " + " | ".join(fractions) + " |")
        lines.append("")
    lines.append(
        f"Mean final return over seeds {', '.join(map(str, arguments.sensitivity_seeds))} "
        "[95 % bootstrap interval]. Near-best fraction: the share of the log step-size range "
        "over which the mean curve stays within 10 % of its best (0 if its best is not above "
        "the random policy's mean), with its interval from resampling the seeds."
    )
    return "\n".join(lines)


def write_report(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    """Writes ``fair_study.md`` and ``summary.json`` into ``--out``; returns the markdown."""
    minutes, seconds = divmod(round(results["seconds"]), 60)
    text = "\n\n".join(
        [
            comparison_table(results, arguments),
            "Tuning (every candidate; the chosen one in bold):\n\n"
            + tuning_table(results, arguments),
            "Sensitivity:\n\n" + sensitivity_table(results, arguments),
            f"{results['steps']:,} environment steps over all trials; "
            f"{minutes} min {seconds} s for the trials.",
        ]
    )
    (arguments.out / "fair_study.md").write_text(text + "\n")
    summary = {"choices": results["choices"], "seconds": results["seconds"]}
    (arguments.out / "summary.json").write_text(json.dumps(summary, indent=1))
    return text


def mean_band(curves: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Mean over seeds (rows) and the 95 % bootstrap interval of that mean, per column."""
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    picks = rng.integers(curves.shape[0], size=(2000, curves.shape[0]))
    means = curves[picks].mean(axis=1)
    low, high = np.quantile(means, [0.025, 0.975], axis=0)
    return curves.mean(axis=0), low, high


def spread_scale(axis: Any, lines: Sequence[np.ndarray]) -> None:
    """A symmetric-log return axis where negative lines lie orders of magnitude apart
    (CliffWalking's random policy near -2000, the learners near -20), so that each stays visible
    and apart; a linear one otherwise."""
    values = np.concatenate([np.ravel(line) for line in lines])
    levels = sorted(float(np.median(np.abs(line))) for line in lines)
    if values.max() < 0.0 and levels[0] > 0.0 and levels[-1] / levels[0] > 20.0:
        axis.set_yscale("symlog", linthresh=max(1.0, levels[0] / 2.0))
        axis.set_ylim(1.5 * float(values.min()), float(values.max()) / 1.5)
        axis.set_ylabel(axis.get_ylabel() + " (symmetric log scale)")


def figures(results: dict[str, Any], arguments: argparse.Namespace, folder: Path) -> None:
    """``evidence_learning_curves.png`` (return over episodes per task) and
    ``evidence_step_size_sensitivity.png``
    (final return against the step size) in `folder`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    folder.mkdir(parents=True, exist_ok=True)
    rows = arguments.rows
    columns = 2 if len(rows) > 1 else 1
    lines = (len(rows) + columns - 1) // columns
    figure, axes = plt.subplots(lines, columns, figsize=(6 * columns, 3.8 * lines), squeeze=False)
    for axis, row in zip(axes.flat, rows, strict=False):
        curves = {}
        for learner in ("sarsa", "velto", "random"):
            returns = np.asarray(results["reported"][row][learner], dtype=float)
            width = max(1, min(10, returns.shape[1] // 10))
            kernel = np.ones(width) / width
            smooth = np.array([np.convolve(r, kernel, mode="valid") for r in returns])
            curves[learner] = mean_band(smooth)
        episodes = np.arange(width, returns.shape[1] + 1)
        for learner, (mean, low, high) in curves.items():
            label = NAMES[learner]
            if learner != "random" and np.array_equal(mean, curves["random"][0]):
                label += " (on the random policy's line throughout)"
            # The random policy is drawn last, thin and dashed, so that it and a learner that
            # scores the same (MountainCar's agent at the time limit) both stay visible.
            style = (
                {"linestyle": "--", "linewidth": 1.2, "zorder": 5}
                if learner == "random"
                else {"linewidth": 3.5 if learner == "velto" else 2.2}
            )
            axis.plot(episodes, mean, color=COLOURS[learner], label=label, **style)
            axis.fill_between(episodes, low, high, color=COLOURS[learner], alpha=0.2, linewidth=0)
        axis.set_title(f"{row}, {len(arguments.seeds)} seeds")
        axis.set_xlabel("episode")
        axis.set_ylabel(f"return (moving mean of {width})")
        spread_scale(axis, [c[0] for c in curves.values()])
        axis.legend(fontsize=8, title="mean, 95 % CI band", title_fontsize=8)
    for axis in list(axes.flat)[len(rows) :]:
        axis.set_visible(False)
    figure.tight_layout()
    figure.savefig(folder / "evidence_learning_curves.png", dpi=100)
    plt.close(figure)

    sensitivity = results["sensitivity"]
    if not sensitivity:
        return
    figure, axes = plt.subplots(
        1, len(sensitivity), figsize=(5.5 * len(sensitivity), 4), squeeze=False
    )
    for axis, (row, curves) in zip(axes[0], sensitivity.items(), strict=True):
        window = arguments.lengths[row][1]
        lines = []
        for curve, runs in curves.items():
            data = np.array([finals(group, window) for group in runs]).T  # seeds x step sizes
            mean, low, high = mean_band(data)
            lines.append(mean)
            axis.plot(
                arguments.step_sizes,
                mean,
                marker="o",
                color=CURVE_COLOURS[curve],
                label=CURVES[curve],
            )
            axis.fill_between(
                arguments.step_sizes, low, high, color=CURVE_COLOURS[curve], alpha=0.2, linewidth=0
            )
        floor = float(np.mean(finals(results["reported"][row]["random"], window)))
        axis.axhline(floor, color="black", linestyle="--", linewidth=1, label="random policy")
        axis.set_xscale("log")
        axis.set_xlabel("step size (agent: alpha per feature; SARSA(λ): alpha / active features)")
        axis.set_ylabel(f"mean return, last {window} episodes")
        spread_scale(axis, [np.array([floor]), *lines])
        axis.set_title(f"{row}, {len(arguments.sensitivity_seeds)} seeds")
        axis.legend(fontsize=8, title="mean, 95 % CI band", title_fontsize=8)
    figure.tight_layout()
    figure.savefig(folder / "evidence_step_size_sensitivity.png", dpi=100)
    plt.close(figure)
