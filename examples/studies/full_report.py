"""Tables, figures and presets of the full-horizon study (``full_study.py``).

Every number comes with its 95 % bootstrap interval over seeds (``evidence_stats``) and every
band in a figure is an interval of the mean. The report is written whole from the trials on
disk, so drawing it again changes nothing.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import platform
import statistics
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
from evidence_stats import (
    BOOTSTRAP_SEED,
    Interval,
    bootstrap_ci,
    difference_ci,
    episodes_to_plateau,
    expected_best_curve,
    recovery_after_change,
    verdict,
)
from fair_report import describe, finals, mean_band, spread_scale, tuning_table

NAMES = {"velto": "agent", "sarsa": "SARSA(λ)", "random": "random"}
COLOURS = {"velto": "C0", "sarsa": "C1", "random": "black"}
TUNING_COST_KS = (1, 2, 4, 8, 16)


def floor_of(results: dict[str, Any], row: str) -> float:
    """The random policy's level on `row`: its mean return over every episode and seed."""
    runs = results["reported"][row]["random"]
    return statistics.fmean(value for run in runs for value in run)


def normalised_area(
    results: dict[str, Any], row: str, arguments: argparse.Namespace
) -> dict[str, list[float]]:
    """Each reported run's area under the curve, per learner: its mean return over all episodes,
    placed on the row's scale from the random policy's level (0) to the better learner's mean
    final return (1). One scale per row, so the learners' numbers and their difference compare
    as the raw areas do. NaN where neither learner ends above the random policy."""
    window = arguments.lengths[row][1]
    floor = floor_of(results, row)
    top = max(
        statistics.fmean(finals(results["reported"][row][learner], window))
        for learner in ("velto", "sarsa")
    )
    span = top - floor
    return {
        learner: [
            (statistics.fmean(run) - floor) / span if span > 0 else math.nan
            for run in results["reported"][row][learner]
        ]
        for learner in ("velto", "sarsa")
    }


def plateau_episodes(
    results: dict[str, Any], row: str, learner: str, arguments: argparse.Namespace
) -> list[int | None]:
    """Per reported run of `learner`, the episodes until it reaches 95 % of its own plateau."""
    floor = floor_of(results, row)
    return [
        episodes_to_plateau(
            run, floor, final_window=arguments.lengths[row][1], window=arguments.speed_window
        )
        for run in results["reported"][row][learner]
    ]


def cell(values: Sequence[float]) -> str:
    return str(bootstrap_ci(values)) if values and not any(map(math.isnan, values)) else "n/a"


def comparison_table(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    """Final return and learning speed per row, each learner's with its interval, their
    difference and the verdict."""
    lines = [
        "| task | episodes | random | SARSA(λ) | agent | agent − SARSA(λ) | verdict |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    for row in arguments.rows:
        episodes, window = arguments.lengths[row]
        cells = {k: finals(runs, window) for k, runs in results["reported"][row].items()}
        gap = difference_ci(cells["velto"], cells["sarsa"])
        lines.append(
            f"| {row} | {episodes} (last {window}) | {cell(cells['random'])} | "
            f"{cell(cells['sarsa'])} | {cell(cells['velto'])} | {gap} | "
            f"{verdict(gap, 'agent', 'SARSA(λ)')} |"
        )
    lines.append(
        "\nFinal return: the mean return of the last episodes, over"
        f" {len(arguments.seeds)} reported seeds ({arguments.seeds[0]}–{arguments.seeds[-1]})"
        " [95 % bootstrap interval]; a verdict"
        " only where the interval of the difference excludes 0."
    )
    lines += [
        "",
        "| task | SARSA(λ) area | agent area | agent − SARSA(λ) | verdict | SARSA(λ) episodes to"
        " 95 % | agent episodes to 95 % | SARSA(λ) − agent | verdict |",
        "|---|---:|---:|---:|---|---:|---:|---:|---|",
    ]
    for row in arguments.rows:
        area = normalised_area(results, row, arguments)
        if any(math.isnan(v) for v in area["velto"] + area["sarsa"]):
            area_cells = ["n/a", "n/a", "n/a", "no learner above random"]
        else:
            gap = difference_ci(area["velto"], area["sarsa"])
            area_cells = [
                f"{bootstrap_ci(area['sarsa']):.2f}"
                if False
                else _two(bootstrap_ci(area["sarsa"])),
                _two(bootstrap_ci(area["velto"])),
                _two(gap),
                verdict(gap, "agent", "SARSA(λ)"),
            ]
        reach = {
            learner: plateau_episodes(results, row, learner, arguments)
            for learner in ("velto", "sarsa")
        }
        known = {
            learner: [float(v) for v in values if v is not None]
            for learner, values in reach.items()
        }
        speed_cells = []
        for learner in ("sarsa", "velto"):
            count = len(known[learner])
            text = cell(known[learner]) if known[learner] else "n/a"
            speed_cells.append(text + ("" if count == len(reach[learner]) else f" ({count} runs)"))
        if known["velto"] and known["sarsa"]:
            # Fewer is faster: SARSA(λ)'s count minus the agent's puts a faster agent ahead.
            gap = difference_ci(known["sarsa"], known["velto"])
            speed_cells += [str(gap), call(gap, "agent faster", "SARSA(λ) faster")]
        else:
            speed_cells += ["n/a", "no runs above random"]
        lines.append(f"| {row} | " + " | ".join(area_cells + speed_cells) + " |")
    lines.append(
        "\nArea: the mean return over all episodes of a run, from the random policy's level (0) to"
        " the better learner's mean final return on that task (1). Episodes to 95 %: the last"
        f" episode of the first {arguments.speed_window}-episode mean at or above 95 % of the way"
        " from the random policy's level to the run's own final return (runs that end no higher"
        " than the random policy have none, and are left out, with the count shown)."
    )
    lines += ["", "| task | agent (tuned) | SARSA(λ) (tuned) |", "|---|---|---|"]
    for row in arguments.rows:
        chosen = [describe(results["choices"][row][k]["chosen"]) for k in ("velto", "sarsa")]
        lines.append(f"| {row} | {chosen[0]} | {chosen[1]} |")
    return "\n".join(lines)


def call(difference: Interval, above: str, below: str) -> str:
    """`above` where the interval of a difference lies above 0, `below` where below, and that it
    shows none where it touches 0 (``evidence_stats.verdict``'s rule, in other words).

    Example:
        >>> call(Interval(-2.0, -3.0, -1.0), "better", "worse")
        'worse'
    """
    if difference.low > 0.0:
        return above
    if difference.high < 0.0:
        return below
    return "no difference shown"


def _two(interval: Interval) -> str:
    return f"{interval.mean:.3f} [{interval.low:.3f}, {interval.high:.3f}]"


def tuning_scores(
    results: dict[str, Any], row: str, learner: str, arguments: argparse.Namespace
) -> np.ndarray:
    """Candidates x tuning seeds: each tuning run's final return."""
    window = arguments.lengths[row][1]
    return np.array([finals(runs, window) for runs in results["tuning"][row][learner]])


def tuning_cost_table(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    """The expected best of k candidates per row and learner, with intervals."""
    ks = [k for k in TUNING_COST_KS if k <= 16]
    lines = [
        "| task | learner | " + " | ".join(f"best of {k}" for k in ks) + " |",
        "|---|---|" + "---:|" * len(ks),
    ]
    for row in arguments.rows:
        for learner in ("velto", "sarsa"):
            table = tuning_scores(results, row, learner, arguments)
            curve = expected_best_curve(table)
            cells = [str(curve[k - 1]) for k in ks if k <= len(curve)]
            lines.append(f"| {row} | {NAMES[learner]} | " + " | ".join(cells) + " |")
    lines.append(
        "\nExpected best of k: the mean, over every draw of k of a learner's 16 candidates without"
        " replacement, of the best mean final return over the tuning seeds "
        f"({', '.join(map(str, arguments.tuning_seeds))}) in the draw, computed exactly over all"
        " draws; the interval resamples the tuning seeds (95 % percentile bootstrap). Best of 1"
        " is what a candidate picked blindly gives; best of 16 what the full tuning gives."
    )
    return "\n".join(lines)


def setting_effects(
    results: dict[str, Any], row: str, learner: str, arguments: argparse.Namespace
) -> dict[str, dict[Any, list[float]]]:
    """Per setting of `learner`'s grid, the candidates' mean tuning scores grouped by its value."""
    scores = tuning_scores(results, row, learner, arguments).mean(axis=1)
    effects: dict[str, dict[Any, list[float]]] = {}
    for index, candidate in enumerate(results["candidates"][row][learner]):
        for key, value in candidate.items():
            effects.setdefault(key, {}).setdefault(value, []).append(float(scores[index]))
    return effects


def sensitivity_table(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    """Per row, learner and setting: the candidates' mean score at each value, with intervals
    over the candidates, and the spread between the best and worst value."""
    lines = [
        "| task | learner | setting | mean final return of its candidates, by value | spread |",
        "|---|---|---|---|---:|",
    ]
    for row in arguments.rows:
        for learner in ("velto", "sarsa"):
            for key, groups in setting_effects(results, row, learner, arguments).items():
                means = {value: statistics.fmean(scores) for value, scores in groups.items()}
                parts = [f"{value}: {bootstrap_ci(scores)}" for value, scores in groups.items()]
                spread = max(means.values()) - min(means.values())
                name = key.removeprefix("sarsa_")
                lines.append(
                    f"| {row} | {NAMES[learner]} | {name} | {'; '.join(parts)} | {spread:.1f} |"
                )
    lines.append(
        "\nEach value's cell: the mean, over the candidates that have that value, of their mean"
        " final return over the tuning seeds [95 % bootstrap interval over those candidates]."
        " Spread: the best value's mean minus the worst's: how much choosing that setting matters."
    )
    return "\n".join(lines)


def robustness_tables(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    """Distractors: final return with and without, and what it costs; the swap: the earlier
    level, the level just after, and the episodes until back."""
    lines = [
        "| task | learner | distractors | final return | change from none | verdict |",
        "|---|---|---:|---:|---:|---|",
    ]
    for row in arguments.rows:
        window = arguments.lengths[row][1]
        for learner in ("velto", "sarsa"):
            plain = finals(results["reported"][row][learner], window)
            lines.append(f"| {row} | {NAMES[learner]} | 0 | {cell(plain)} | | |")
            for k in arguments.distractors:
                runs = results["robustness"][row][learner][f"distractors {k}"]
                values = finals(runs, window)
                gap = difference_ci(values, plain)
                text = call(gap, "better with them", "worse with them")
                lines.append(
                    f"| {row} | {NAMES[learner]} | {k} | {cell(values)} | {gap} | {text} |"
                )
    lines.append(
        "\nDistractors: k features of an extra block of 1024, drawn afresh at every step from a"
        " generator of their own, active beside the task's own; the same for both learners."
        " Final return over the reported seeds [95 % bootstrap interval]; the change from the"
        " run without them, with the interval of the difference."
    )
    lines += [
        "",
        "| task | learner | level before | first window after | back within margin | episodes to"
        " come back |",
        "|---|---|---:|---:|---:|---:|",
    ]
    from full_study import RECOVERY_MARGIN, change_at

    window = arguments.speed_window
    for row in arguments.rows:
        change = change_at(arguments, row)
        for learner in ("velto", "sarsa"):
            runs = results["robustness"][row][learner]["swap"]
            before = [statistics.fmean(run[change - window : change]) for run in runs]
            after = [statistics.fmean(run[change : change + window]) for run in runs]
            back = [
                recovery_after_change(run, change, window=window, margin=RECOVERY_MARGIN)
                for run in runs
            ]
            remaining = len(runs[0]) - change
            came = [b for b in back if b is not None]
            # A run that never came back counts at the episodes it had: a lower bound.
            censored = [float(remaining if b is None else b) for b in back]
            bound = (
                ""
                if len(came) == len(back)
                else f" (a lower bound: runs not back count with the {remaining} episodes they had)"
            )
            lines.append(
                f"| {row} | {NAMES[learner]} | {cell(before)} | {cell(after)} | "
                f"{len(came)}/{len(back)} | {cell(censored)}{bound} |"
            )
    lines.append(
        "\nSwap: from half the horizon on (episode H/2, counting from 0), action a does what"
        " action n − 1 − a did. Level before: the mean of the"
        f" {window} episodes before the swap; first window"
        f" after: the mean of the {window} after it. Back: a {window}-episode mean wholly after the"
        f" swap within {RECOVERY_MARGIN:.0%} of the earlier level (of its size: −20 is back at −22,"
        " 480 at 432); episodes to come back: up to the last episode of that window (so at"
        f" least {window}), [95 % bootstrap interval over the reported seeds]. A run that had not"
        " risen above the random policy before the swap has nothing to lose and counts as back at"
        " once: read the level before beside it, and the random policy's level in the first table."
    )
    return "\n".join(lines)


def timing_text(results: dict[str, Any]) -> str:
    cpu = results["cpu_seconds"]
    native = ", ".join(results["native"]) or "none (every trial through run_episodes)"
    return (
        f"{results['steps']:,} environment steps over all trials; {cpu / 3600:.2f} CPU-hours in"
        f" the trials ({cpu:.0f} s, each trial's process time), {results['seconds'] / 3600:.2f}"
        f" hours of wall time over every invocation, on {platform.machine()} {platform.system()}"
        f" with {_cores()} cores. Agent trials on the native loop: {native}."
    )


def _cores() -> int:
    import os

    return os.cpu_count() or 1


def write_report(results: dict[str, Any], arguments: argparse.Namespace) -> str:
    """Writes ``full_study.md`` and ``summary.json`` into ``--out``; returns the markdown."""
    text = "\n\n".join(
        [
            comparison_table(results, arguments),
            "Tuning cost:\n\n" + tuning_cost_table(results, arguments),
            "Sensitivity to every setting:\n\n" + sensitivity_table(results, arguments),
            "Robustness:\n\n" + robustness_tables(results, arguments),
            "Tuning (every candidate; the chosen one in bold):\n\n"
            + tuning_table(results, arguments),
            timing_text(results),
        ]
    )
    (arguments.out / "full_study.md").write_text(text + "\n")
    summary = {
        "choices": results["choices"],
        "seconds": results["seconds"],
        "cpu_seconds": results["cpu_seconds"],
        "native": results["native"],
    }
    (arguments.out / "summary.json").write_text(json.dumps(summary, indent=1))
    return text


def preset_entries(results: dict[str, Any], arguments: argparse.Namespace) -> list[dict[str, Any]]:
    """The agent's tuned settings per row as ``velto_kit.presets`` reads them."""
    from fair_study import ROWS, base_config
    from velto_kit import AgentSettings

    entries = []
    for row in arguments.rows:
        episodes, window = arguments.lengths[row]
        config = {
            **base_config(row, "velto", episodes),
            **results["choices"][row]["velto"]["chosen"],
        }
        agent = {
            field.name: config.get(field.name, field.default)
            for field in dataclasses.fields(AgentSettings)
        }
        value = bootstrap_ci(finals(results["reported"][row]["velto"], window))
        env_id = ROWS[row][0]
        limit = config.get("max_episode_steps")
        seeds = " ".join(map(str, arguments.seeds))
        # A task's preset at another limit than its usual one is asked for by that limit.
        limit_option = "" if not ROWS[row][1] else f" --max-episode-steps {limit}"
        entries.append(
            {
                "env_id": env_id,
                "row": row,
                "max_episode_steps": limit,
                "usual_limit": not ROWS[row][1],
                "gamma": config["gamma"],
                "episodes": episodes,
                "agent": agent,
                "features": {
                    "tiles": config.get("tiles", 6),
                    "tilings": config.get("tilings", 8),
                    "hash_size": config.get("hash_size"),
                },
                "mapping": config["mapping"],
                "final_return": value.mean,
                "interval": [value.low, value.high],
                "window": window,
                "seeds": list(arguments.seeds),
                "command": f"python examples/train.py --env {env_id} --preset{limit_option}"
                f" --episodes {episodes} --window {window} --seeds {seeds}",
            }
        )
    return entries


def write_presets(
    results: dict[str, Any], arguments: argparse.Namespace, package_file: Path | None
) -> None:
    """Writes the presets into ``--out`` (marked as what the run was) and, from a complete run
    of the whole design, into `package_file`, the file ``velto_kit.presets`` reads."""
    status = "complete" if package_file is not None else ("smoke" if arguments.smoke else "partial")
    data = {
        "status": status,
        "written_by": "examples/studies/full_study.py",
        "presets": preset_entries(results, arguments),
    }
    text = json.dumps(data, indent=1) + "\n"
    (arguments.out / "presets_data.json").write_text(text)
    if package_file is not None:
        package_file.write_text(text)


def estimate_text(estimate: dict[str, Any]) -> str:
    """The pilot's estimate of the full study's CPU time, as a table."""
    lines = [
        "| task | trials | count in the study | pilot CPU s per trial | estimate, CPU hours |",
        "|---|---|---:|---|---:|",
    ]
    for row, kinds in estimate["rows"].items():
        for kind, entry in kinds.items():
            costs = ", ".join(f"{c:.1f}" for c in entry["cpu_seconds"])
            mean, low, high = (value / 3600 for value in entry["estimate"])
            lines.append(
                f"| {row} | {kind} | {entry['count']} | {costs} |"
                f" {mean:.2f} [{low:.2f}, {high:.2f}] |"
            )
    mean, low, high = (value / 3600 for value in estimate["total_cpu_seconds"])
    native = ", ".join(estimate["native"]) or "none"
    lines.append(
        f"\nThe whole study: about {mean:.1f} CPU-hours (from the cheapest to the dearest pilot"
        f" trial of each kind: {low:.1f} to {high:.1f}); the pilot itself took"
        f" {estimate['pilot_cpu_seconds'] / 3600:.2f} CPU-hours. Agent trials on the native loop:"
        f" {native}."
    )
    return "\n".join(lines)


def figures(results: dict[str, Any], arguments: argparse.Namespace, folder: Path) -> None:
    """The study's figures in `folder`: learning curves, tuning cost, sensitivity per task and
    the robustness curves, every band a 95 % bootstrap interval of the mean."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from fair_report import figures as curves_figure

    folder.mkdir(parents=True, exist_ok=True)
    curves_figure(results, arguments, folder)  # evidence_learning_curves.png
    rows = arguments.rows

    figure, axes = plt.subplots(1, len(rows), figsize=(4.5 * len(rows), 3.6), squeeze=False)
    for axis, row in zip(axes[0], rows, strict=True):
        for learner in ("velto", "sarsa"):
            curve = expected_best_curve(tuning_scores(results, row, learner, arguments))
            ks = np.arange(1, len(curve) + 1)
            axis.plot(
                ks,
                [c.mean for c in curve],
                marker="o",
                color=COLOURS[learner],
                label=NAMES[learner],
            )
            axis.fill_between(
                ks,
                [c.low for c in curve],
                [c.high for c in curve],
                color=COLOURS[learner],
                alpha=0.2,
                linewidth=0,
            )
        axis.set_title(row)
        axis.set_xticks([k for k in TUNING_COST_KS if k <= len(curve)])
        axis.set_xlabel("candidates tried (k)")
        axis.set_ylabel("expected best final return")
        axis.legend(fontsize=8, title="exact mean, 95 % CI band", title_fontsize=8)
    figure.tight_layout()
    figure.savefig(folder / "tuning_cost.png", dpi=100)
    plt.close(figure)

    for row in rows:
        effects = {
            learner: setting_effects(results, row, learner, arguments)
            for learner in ("velto", "sarsa")
        }
        columns = max(len(e) for e in effects.values())
        # One scale for both learners, so that how much each one's settings matter compares.
        figure, axes = plt.subplots(
            2, columns, figsize=(3.2 * columns, 6.4), squeeze=False, sharey=True
        )
        for line, learner in enumerate(("velto", "sarsa")):
            for column, (key, groups) in enumerate(effects[learner].items()):
                axis = axes[line][column]
                labels = [str(value) for value in groups]
                for position, scores in enumerate(groups.values()):
                    jitter = np.linspace(-0.12, 0.12, len(scores))
                    axis.scatter(position + jitter, scores, s=14, color=COLOURS[learner], alpha=0.6)
                    interval = bootstrap_ci(scores)
                    axis.errorbar(
                        position + 0.3, interval.mean,
                        yerr=[[interval.mean - interval.low], [interval.high - interval.mean]],
                        fmt="s", color="black", capsize=3,
                    )  # fmt: skip
                axis.set_xticks(range(len(labels)), labels)
                axis.set_xlim(-0.5, len(labels) - 0.2)
                axis.set_title(f"{NAMES[learner]}: {key.removeprefix('sarsa_')}", fontsize=9)
                axis.set_ylabel("final return (tuning seeds)")
            for column in range(len(effects[learner]), columns):
                axes[line][column].set_visible(False)
        figure.suptitle(
            f"{row}: each candidate (dots) by the value of each setting;"
            " mean and 95 % CI (squares)",
            fontsize=10,
        )
        figure.tight_layout()
        figure.savefig(folder / f"sensitivity_{slug(row)}.png", dpi=100)
        plt.close(figure)

    from full_study import change_at

    figure, axes = plt.subplots(2, len(rows), figsize=(5.6 * len(rows), 7.5), squeeze=False)
    for column, row in enumerate(rows):
        for learner in ("velto", "sarsa"):
            for k, style in zip([0, *arguments.distractors], ["-", "--", ":"], strict=False):
                runs = (
                    results["reported"][row][learner]
                    if k == 0
                    else results["robustness"][row][learner][f"distractors {k}"]
                )
                _band(axes[0][column], runs, COLOURS[learner], f"{NAMES[learner]}, k={k}", style)
            runs = results["robustness"][row][learner]["swap"]
            _band(axes[1][column], runs, COLOURS[learner], NAMES[learner], "-")
        _band(
            axes[1][column], results["robustness"][row]["random"]["swap"], "black", "random", "--"
        )
        axes[1][column].axvline(change_at(arguments, row), color="grey", linewidth=1)
        axes[0][column].set_title(f"{row}: distractors", fontsize=10)
        axes[1][column].set_title(f"{row}: actions swapped at the grey line", fontsize=10)
        for axis in axes[:, column]:
            spread_scale(
                axis, [line.get_ydata() for line in axis.get_lines() if len(line.get_ydata()) > 2]
            )
            axis.set_xlabel("episode")
            axis.set_ylabel("return (moving mean)")
            axis.legend(fontsize=7, title="mean, 95 % CI band", title_fontsize=7)
    figure.tight_layout()
    figure.savefig(folder / "robustness.png", dpi=100)
    plt.close(figure)


def _band(axis: Any, runs: list[list[float]], colour: str, label: str, style: str) -> None:
    returns = np.asarray(runs, dtype=float)
    width = max(1, min(10, returns.shape[1] // 10))
    kernel = np.ones(width) / width
    smooth = np.array([np.convolve(r, kernel, mode="valid") for r in returns])
    mean, low, high = mean_band(smooth)
    episodes = np.arange(width, returns.shape[1] + 1)
    axis.plot(episodes, mean, color=colour, linestyle=style, label=label)
    axis.fill_between(episodes, low, high, color=colour, alpha=0.15, linewidth=0)


def slug(row: str) -> str:
    """A file-name form of a row's name.

    Example:
        >>> slug("MountainCar-v0, 1000 steps")
        'mountaincar-v0-1000-steps'
    """
    return "-".join(row.lower().replace(",", " ").split())


__all__ = ["BOOTSTRAP_SEED", "estimate_text", "figures", "write_presets", "write_report"]
