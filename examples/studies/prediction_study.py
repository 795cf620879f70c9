"""The prediction study: the agent's critic against LMS, normalised LMS, TD(lambda), IDBD and
Autostep on online prediction tasks, each learner tuned over its own standard settings.

The design, fixed before any of its results were seen:

- Tasks (``velto_kit.experiments.prediction_tasks``): the tracking regression (20 binary inputs,
  5 relevant, one flipping sign every 200 steps; 20,000 steps, scored by the mean squared error
  of steps 5,000 to 20,000); the 19-state random walk, stationary and with exit rewards
  swapping sign every 100 episodes (400 episodes, scored by the root mean squared error of the
  predictions against the true values over episodes 101 to 400, every visited state counted
  once per visit); the drifting sensor (20,000 steps, discount 0.9, scored by the root mean
  squared error of steps 5,000 to 20,000 against the realised discounted sum).
- Learners, the same budget of ``CANDIDATES`` settings each, from each learner's standard
  range: the agent (``num_actions=0``; ``meta_step_size`` by ``eta``, the rest at the defaults);
  fixed-step TD(lambda) (LMS where the discount is 0) and normalised LMS over their step size;
  IDBD and Autostep over their first step size by their meta step size. Every trace decay is
  0.5 (it does nothing at discount 0). On the tracking task two more rows, the agent with
  ``meta_step_size`` 0 over the step sizes of LMS (the delayed-LMS property: what the critic's
  own update costs against LMS when nothing is meta-learned) and LMS told which 5 inputs matter
  (a floor, not a competitor).
- Tuning: every candidate on the tuning seeds (``TUNING_SEEDS``); the lowest mean score is
  chosen; a run whose prediction passes ``BOUND`` or stops being finite is diverged and scores
  infinity. Reported: the chosen settings on ten other seeds (the study refuses overlapping
  sets). Every number is a mean over seeds with its 95 % percentile bootstrap interval; a
  learner is called ahead only where the interval of the difference excludes 0. The cost of
  tuning is the expected best score of k candidates drawn from the learner's grid.

Every trial goes to ``OUT/trials.jsonl`` as it ends, so a run stopped and started again with
the same ``--out`` goes on where it stopped.

    python examples/studies/prediction_study.py                  # docs/results/prediction_study
    python examples/studies/prediction_study.py --smoke --out /tmp/prediction   # a few seconds
"""

from __future__ import annotations

import argparse
import functools
import itertools
import json
import math
import sys
import time
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from evidence_stats import (  # noqa: E402
    bootstrap_ci,
    check_disjoint,
    difference_ci,
    expected_best_of_k,
    verdict,
)
from trial_lines import read_trials  # noqa: E402
from velto_kit import AgentSettings, make_agent, run_prediction  # noqa: E402
from velto_kit.experiments.prediction_baselines import IDBD, Autostep, TDLambda  # noqa: E402
from velto_kit.experiments.prediction_tasks import (  # noqa: E402
    RandomWalk,
    SensorNexting,
    TrackingRegression,
)

OUT = Path(__file__).resolve().parents[2] / "docs" / "results" / "prediction_study"
TUNING_SEEDS = [100, 101, 102]
REPORTED_SEEDS = list(range(10))
BOUND = 1e4
LAMBDA = 0.5
CURVE_BINS = 40
CANDIDATES = 9

STEP_SIZES = [0.3, 0.2, 0.1, 0.05, 0.03, 0.02, 0.01, 0.005, 0.002]
NORMALISED_STEP_SIZES = [1.0, 0.5, 0.3, 0.2, 0.1, 0.05, 0.03, 0.01, 0.003]
META = [0.001, 0.01, 0.1]
FIRST_STEPS = [0.01, 0.03, 0.1]

# Each learner's grid of its own standard settings, CANDIDATES each.
GRIDS: dict[str, list[dict[str, float]]] = {
    "agent": [{"meta_step_size": m, "eta": e} for m, e in itertools.product(META, [0.1, 0.5, 2.0])],
    "TD(λ)/LMS": [{"alpha": a} for a in STEP_SIZES],
    "normalised LMS": [{"alpha": a} for a in NORMALISED_STEP_SIZES],
    "IDBD": [{"alpha": a, "theta": t} for a, t in itertools.product(FIRST_STEPS, META)],
    "Autostep": [{"alpha": a, "mu": m} for a, m in itertools.product(FIRST_STEPS, META)],
    # Tracking only: the critic with nothing meta-learned, its step sizes never over budget,
    # over LMS's step sizes; and LMS on the 5 relevant inputs alone.
    "agent, meta 0": [{"alpha": a, "meta_step_size": 0.0, "eta": 1e6} for a in STEP_SIZES],
    "LMS on the 5 relevant": [{"alpha": a} for a in STEP_SIZES],
}
MAIN = ["agent", "TD(λ)/LMS", "normalised LMS", "IDBD", "Autostep"]
EXTRA = ["agent, meta 0", "LMS on the 5 relevant"]


@dataclass(frozen=True)
class Task:
    """One row of the study: a stream, its length and where its score starts."""

    name: str
    stream: Any
    length: int  # steps, or episodes for a random walk
    scored_from: int  # the first step (or episode) scored
    metric: str  # "MSE" or "RMSE"

    def transitions(self, seed: int) -> list[Any]:
        return _transitions(self, seed)

    def first_scored(self, seed: int) -> int:
        """The first transition scored."""
        if isinstance(self.stream, RandomWalk):
            return self.stream.episode_starts(seed, self.length)[self.scored_from]
        return self.scored_from


@functools.lru_cache(maxsize=2)
def _transitions(task: Task, seed: int) -> list[Any]:
    """A seed's stream, made once for the trials that run on it one after the other."""
    return list(task.stream.transitions(seed, task.length))


def tasks(smoke: bool) -> list[Task]:
    """The study's rows; the smoke run's are short."""
    steps, episodes = (1000, 20) if smoke else (20_000, 400)
    skip_steps, skip_episodes = (250, 5) if smoke else (5000, 100)
    return [
        Task("tracking", TrackingRegression(), steps, skip_steps, "MSE"),
        Task("random walk", RandomWalk(), episodes, skip_episodes, "RMSE"),
        Task("random walk, swapping", RandomWalk(swap_every=100), episodes, skip_episodes, "RMSE"),
        Task("sensor", SensorNexting(), steps, skip_steps, "RMSE"),
    ]


def make_learner(learner: str, settings: dict[str, float], num_features: int, seed: int) -> Any:
    """A fresh learner of that kind with those settings."""
    if learner.startswith("agent"):
        return make_agent(num_features, 0, AgentSettings(lambda_=LAMBDA, **settings), seed)
    if learner == "IDBD":
        return IDBD(num_features, lambda_=LAMBDA, **settings)
    if learner == "Autostep":
        return Autostep(num_features, lambda_=LAMBDA, **settings)
    return TDLambda(
        num_features, lambda_=LAMBDA, normalised=learner == "normalised LMS", **settings
    )


def relevant_only(items: list[Any], relevant: int) -> list[Any]:
    """The tracking stream with the irrelevant inputs left out."""
    return [([i for i in features if i < relevant], *rest) for features, *rest in items]


def run_trial(task: Task, learner: str, settings: dict[str, float], seed: int) -> dict[str, Any]:
    """One learner with one setting on one seed: its score, divergence and error curve."""
    started = time.process_time()
    items = task.transitions(seed)
    if learner == "LMS on the 5 relevant":
        items = relevant_only(items, task.stream.relevant)
    model = make_learner(learner, settings, task.stream.num_features, seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # divergence is recorded below
        result = run_prediction(model, items, bound=BOUND)
    first = task.first_scored(seed)
    score = result.mean_squared_error(first)
    if task.metric == "RMSE":
        score = math.sqrt(score)
    curve: list[float | None] = [None] * CURVE_BINS
    if not result.diverged and result.errors is not None:
        squared = np.square(result.errors)
        curve = [float(np.mean(part)) for part in np.array_split(squared, CURVE_BINS)]
    return {
        "task": task.name,
        "learner": learner,
        "settings": settings,
        "seed": seed,
        "score": score if math.isfinite(score) else None,
        "diverged_at": result.diverged_at,
        "transitions": len(items),
        "curve": curve,
        "cpu_seconds": time.process_time() - started,
    }


def trial_key(task: str, learner: str, settings: dict[str, float], seed: int) -> str:
    return json.dumps([task, learner, settings, seed], sort_keys=True)


class Trials:
    """Finished trials, one JSON line each in ``trials.jsonl``; runs only those not there."""

    def __init__(self, out: Path) -> None:
        out.mkdir(parents=True, exist_ok=True)
        self.path = out / "trials.jsonl"
        self.done: dict[str, dict[str, Any]] = {}
        for row in read_trials(self.path):
            key = trial_key(row["task"], row["learner"], row["settings"], row["seed"])
            self.done[key] = row

    def get(self, task: Task, learner: str, settings: dict[str, float], seed: int) -> dict:
        key = trial_key(task.name, learner, settings, seed)
        if key not in self.done:
            row = run_trial(task, learner, settings, seed)
            with self.path.open("a") as file:
                file.write(json.dumps(row) + "\n")
            self.done[key] = row
        return self.done[key]


def diverged_seeds(rows: Sequence[dict[str, Any]]) -> list[int]:
    return [row["seed"] for row in rows if row["score"] is None]


def mean_score(rows: Sequence[dict[str, Any]]) -> float:
    """The mean score over seeds; infinite where any run diverged."""
    scores = [row["score"] for row in rows]
    return math.inf if any(s is None for s in scores) else float(np.mean(scores))


def study(arguments: argparse.Namespace) -> dict[str, Any]:
    """Runs (or reads back) every trial and gathers the summary."""
    check_disjoint(arguments.tuning_seeds, arguments.reported_seeds)
    trials = Trials(arguments.out)
    summary: dict[str, Any] = {"tasks": {}, "design": design(arguments)}
    for task in tasks(arguments.smoke):
        entry: dict[str, Any] = {"metric": task.metric, "learners": {}}
        learners = MAIN + (EXTRA if task.name == "tracking" else [])
        grids = {learner: GRIDS[learner][: arguments.candidates] for learner in learners}
        # Seed by seed, so that each seed's stream is made once (``Task.transitions``).
        for seed in arguments.tuning_seeds:
            for learner in learners:
                for settings in grids[learner]:
                    trials.get(task, learner, settings, seed)
        chosen = {}
        for learner in learners:
            table = [
                [trials.get(task, learner, settings, seed) for seed in arguments.tuning_seeds]
                for settings in grids[learner]
            ]
            means = [mean_score(rows) for rows in table]
            chosen[learner] = grids[learner][int(np.argmin(means))]
            entry["learners"][learner] = {
                "grid": grids[learner],
                "tuning_means": means,
                "chosen": chosen[learner],
                "diverged_in_tuning": [
                    {"settings": grids[learner][i], "seeds": diverged_seeds(rows)}
                    for i, rows in enumerate(table)
                    if diverged_seeds(rows)
                ],
                "expected_best_of_k": expected_best(means),
            }
        for seed in arguments.reported_seeds:
            for learner in learners:
                trials.get(task, learner, chosen[learner], seed)
        for learner in learners:
            reported = [
                trials.get(task, learner, chosen[learner], seed)
                for seed in arguments.reported_seeds
            ]
            entry["learners"][learner]["reported"] = [row["score"] for row in reported]
            entry["learners"][learner]["curves"] = [row["curve"] for row in reported]
        summary["tasks"][task.name] = entry
    summary["cpu_seconds"] = sum(row["cpu_seconds"] for row in trials.done.values())
    summary["trials"] = len(trials.done)
    return summary


def expected_best(means: Sequence[float]) -> list[float | None]:
    """The expected lowest tuning score of k candidates drawn from the grid, k = 1 .. n.

    None (infinite) where a draw of k can hold diverged candidates alone; otherwise every draw
    holds a finite one, which is its best, and a diverged candidate stands in as any number
    above all the finite ones.
    """
    diverged = sum(not math.isfinite(m) for m in means)
    finite = [m if math.isfinite(m) else 1e300 for m in means]
    return [
        None if k <= diverged else -expected_best_of_k([-m for m in finite], k)
        for k in range(1, len(means) + 1)
    ]


def design(arguments: argparse.Namespace) -> dict[str, Any]:
    return {
        "smoke": arguments.smoke,
        "tuning_seeds": arguments.tuning_seeds,
        "reported_seeds": arguments.reported_seeds,
        "candidates": arguments.candidates,
        "bound": BOUND,
        "lambda": LAMBDA,
    }


def interval(values: Sequence[float | None]) -> str:
    """A mean with its interval, or how many runs diverged."""
    diverged = sum(v is None for v in values)
    if diverged:
        return f"diverged on {diverged} of {len(values)} seeds"
    return format_interval(bootstrap_ci([float(v) for v in values if v is not None]))


def format_interval(found: Any) -> str:
    return f"{found.mean:.4g} [{found.low:.4g}, {found.high:.4g}]"


def compare(agent: Sequence[float | None], other: Sequence[float | None], name: str) -> list[str]:
    """The baseline's error minus the agent's with its interval, and the verdict."""
    if any(v is None for v in agent) or any(v is None for v in other):
        return ["—", "no comparison (a run diverged)"]
    difference = difference_ci([float(v) for v in other], [float(v) for v in agent])  # type: ignore[arg-type]
    return [format_interval(difference), verdict(difference, "agent", name)]


def report(summary: dict[str, Any]) -> str:
    """The study's tables, as Markdown."""
    design_ = summary["design"]
    smoke = " in its smoke mode (short tasks, small grids: not evidence)"
    lines = [
        "# Prediction study: records",
        "",
        "Written by `examples/studies/prediction_study.py`"
        + (smoke if design_["smoke"] else "")
        + f"; {summary['trials']} trials, {summary['cpu_seconds']:.0f} CPU-seconds in them."
        f" Tuning seeds {design_['tuning_seeds']}, reported seeds {design_['reported_seeds']},"
        f" {design_['candidates']} candidates per learner, divergence bound {design_['bound']:g},"
        f" trace decay {design_['lambda']} for every learner. Lower is better; intervals are"
        " 95 % percentile bootstrap intervals over the reported seeds.",
        "",
        "## Main table",
        "",
        "| task | score | learner | chosen settings | reported | baseline − agent | verdict |",
        "|---|---|---|---|---:|---:|---|",
    ]
    for task, entry in summary["tasks"].items():
        agent = entry["learners"]["agent"]["reported"]
        for learner, data in entry["learners"].items():
            cells = ["", ""] if learner == "agent" else compare(agent, data["reported"], learner)
            chosen = ", ".join(f"{k} {v:g}" for k, v in data["chosen"].items())
            lines.append(
                f"| {task} | {entry['metric']} | {learner} | {chosen} |"
                f" {interval(data['reported'])} | {cells[0]} | {cells[1]} |"
            )
    learners = summary["tasks"].get("tracking", {}).get("learners", {})
    if "agent, meta 0" in learners:
        lms, critic = learners["TD(λ)/LMS"]["reported"], learners["agent, meta 0"]["reported"]
        difference, called = compare(lms, critic, "the critic")
        called = called.replace("agent ahead", "LMS ahead")
        lines += [
            "",
            "Delayed LMS at discount 0, tracking: the critic with `meta_step_size` 0 minus LMS,"
            f" each at its tuned step size: {difference} ({called}).",
        ]
    lines += ["", "## Tuning: every candidate's mean score on the tuning seeds", ""]
    for task, entry in summary["tasks"].items():
        for learner, data in entry["learners"].items():
            cells = [
                f"{', '.join(f'{k} {v:g}' for k, v in s.items())}: "
                + (f"{m:.4g}" if math.isfinite(m) else "diverged")
                for s, m in zip(data["grid"], data["tuning_means"], strict=True)
            ]
            lines.append(f"- {task}, {learner}: " + "; ".join(cells))
    lines += ["", "## Cost of tuning: expected best tuning score of k candidates", ""]
    lines.append("| task | learner | " + " | ".join(f"k={k}" for k in (1, 2, 4)) + " |")
    lines.append("|---|---|" + "---:|" * 3)
    for task, entry in summary["tasks"].items():
        for learner, data in entry["learners"].items():
            values = data["expected_best_of_k"]
            shown = [
                "∞ (diverged draws)" if values[k - 1] is None else f"{values[k - 1]:.4g}"
                for k in (1, 2, 4)
                if k <= len(values)
            ]
            lines.append(f"| {task} | {learner} | " + " | ".join(shown) + " |")
    lines += ["", "## Settings that diverged in tuning", ""]
    for task, entry in summary["tasks"].items():
        for learner, data in entry["learners"].items():
            for item in data["diverged_in_tuning"]:
                settings = ", ".join(f"{k} {v:g}" for k, v in item["settings"].items())
                lines.append(f"- {task}, {learner}, {settings}: seeds {item['seeds']}")
    return "\n".join(lines) + "\n"


def figure(summary: dict[str, Any], path: Path) -> None:
    """The mean squared error over the run, per task and learner, on the reported seeds."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(summary["tasks"])
    fig, axes = plt.subplots(1, len(names), figsize=(4.2 * len(names), 3.4))
    for axis, name in zip(np.atleast_1d(axes), names, strict=True):
        for learner, data in summary["tasks"][name]["learners"].items():
            curves = [c for c in data["curves"] if c[0] is not None]
            if curves:
                axis.plot(np.mean(curves, axis=0), label=learner)
        axis.set_yscale("log")
        axis.set_title(name)
        axis.set_xlabel(f"run, in {CURVE_BINS} equal parts")
    np.atleast_1d(axes)[0].set_ylabel("squared error (mean over seeds)")
    np.atleast_1d(axes)[0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=OUT, help="folder of the records")
    parser.add_argument("--smoke", action="store_true", help="short tasks, small grids")
    arguments = parser.parse_args(argv)
    arguments.tuning_seeds = TUNING_SEEDS[:1] if arguments.smoke else TUNING_SEEDS
    arguments.reported_seeds = REPORTED_SEEDS[:2] if arguments.smoke else REPORTED_SEEDS
    arguments.candidates = 2 if arguments.smoke else CANDIDATES
    return arguments


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    summary = study(arguments)
    out = arguments.out
    (out / "summary.json").write_text(json.dumps(summary, indent=1) + "\n")
    (out / "prediction_study.md").write_text(report(summary))
    figure(summary, out / "prediction_errors.png")
    print(report(summary).split("## Tuning")[0])
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
