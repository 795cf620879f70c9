"""The full-horizon study: the agent and SARSA(lambda), each tuned over its own 16 candidates at
the horizon it is reported at, with the learning speed, the cost of tuning, the sensitivity to
every setting, two robustness rows and the presets it chooses.

The design was fixed before any of its results were seen (docs/how-to/full-study.md holds it
in prose):

- Horizons, long enough for both learners to level off: CartPole-v1 1000 episodes, Acrobot-v1
  and MountainCar-v0 500, MountainCar-v0 with 1000 steps 300, CliffWalking-v1 500. Tuning runs
  at the same horizon as the reported runs.
- Tuning: every candidate of each learner (``fair_study.candidates``) on the tuning seeds; the
  best mean final return (the last ``FINAL_WINDOW`` episodes) is chosen. Reported: the chosen
  settings on ten other seeds, beside a uniformly random policy.
- Learning speed: the area under the curve, normalised per row from the random policy's level
  (0) to the better learner's final level (1); and the episodes each run takes until a
  ``SPEED_WINDOW``-episode mean reaches 95 % of its own plateau (its final return).
- Tuning cost: the expected best of k candidates drawn without replacement from the 16, exactly
  (over all draws), its interval from resampling the tuning seeds.
- Robustness, each learner at its tuned settings on the reported seeds: ``DISTRACTORS`` extra
  active features per state from an extra block (``study_wrappers.Distractors``); and the
  action meanings swapped at half the horizon (``study_wrappers.SwapActions``), counting the
  episodes until a learner is back within ``RECOVERY_MARGIN`` of its earlier level.

Trials run in a process pool (the agent's plain trials on velto_kit's native loop where the
installed velto_kit has one for the task, checked against ``run_episodes`` first); each finished
trial is appended to ``OUT/trials.jsonl``, so a run stopped and started again with the same
``--out`` goes on where it stopped.

    python examples/studies/full_study.py                       # the whole study
    python examples/studies/full_study.py --pilot 2 --out /tmp/pilot   # its CPU time, estimated
    python examples/studies/full_study.py --smoke --out /tmp/full      # CI: well under a minute
"""

from __future__ import annotations

import argparse
import functools
import json
import resource
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import fair_study  # noqa: E402
import study_trials  # noqa: E402
from evidence_stats import check_disjoint  # noqa: E402
from fair_study import ROWS, TrialStore, base_config, candidates  # noqa: E402

HORIZONS = {
    "CartPole-v1": 1000,
    "Acrobot-v1": 500,
    "MountainCar-v0": 500,
    "MountainCar-v0, 1000 steps": 300,
    "CliffWalking-v1": 500,
}
FINAL_WINDOW = 50
SPEED_WINDOW = 20
PLATEAU_SHARE = 0.95
TUNING_SEEDS = (100, 101, 102, 103, 104)
REPORTED_SEEDS = tuple(range(10))
DISTRACTORS = (2, 8)
# The swap comes at this share of the horizon, so that a learner has had as long to learn the
# task before it as it has to learn it again after it.
CHANGE_SHARE = 0.5
RECOVERY_MARGIN = 0.1
LEARNERS = ("velto", "sarsa")
DEFAULT_OUT = Path(__file__).resolve().parents[2] / "docs" / "results" / "full_study"
PACKAGE_PRESETS = Path(__file__).resolve().parents[2] / "python" / "velto_kit" / "presets_data.json"


def build_parser() -> argparse.ArgumentParser:
    """The study's command line (also the source of its command-line reference)."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="data, tables and figures")
    parser.add_argument("--workers", type=int, default=2, help="trials at a time")
    parser.add_argument("--rows", nargs="+", default=list(ROWS), help="tasks to run")
    parser.add_argument(
        "--backend",
        choices=["auto", "gymnasium"],
        default="auto",
        help="auto: the agent's plain trials on the native loop where velto_kit has one (the same"
        " returns, checked first); gymnasium: every trial through run_episodes",
    )
    parser.add_argument(
        "--pilot",
        type=int,
        metavar="N",
        help="run N candidates of each learner per task at full horizon on one seed, with one"
        " distractor and one swap trial each, and estimate the full study's CPU time from them",
    )
    parser.add_argument("--smoke", action="store_true", help="a tiny version, for CI")
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    unknown = [row for row in arguments.rows if row not in ROWS]
    if unknown:
        parser.error(f"--rows: unknown {unknown}; known: {list(ROWS)}")
    if arguments.pilot is not None and not 1 <= arguments.pilot <= 16:
        parser.error("--pilot takes 1 to 16 candidates")
    arguments.lengths = {row: (HORIZONS[row], FINAL_WINDOW) for row in ROWS}
    arguments.speed_window = SPEED_WINDOW
    arguments.tuning_seeds, arguments.seeds = list(TUNING_SEEDS), list(REPORTED_SEEDS)
    arguments.distractors = list(DISTRACTORS)
    if arguments.smoke:
        arguments.rows = ["CliffWalking-v1"]
        arguments.lengths = {"CliffWalking-v1": (8, 2)}
        arguments.speed_window = 2
        arguments.tuning_seeds, arguments.seeds = [100, 101], [0, 1, 2]
    check_disjoint(arguments.tuning_seeds, arguments.seeds)
    # A package file only from a run of the whole design: every task, every seed, full horizons.
    arguments.complete = not arguments.smoke and arguments.pilot is None
    arguments.complete = arguments.complete and sorted(arguments.rows) == sorted(ROWS)
    return arguments


def change_at(arguments: argparse.Namespace, row: str) -> int:
    """The first episode with swapped actions on `row`."""
    return int(arguments.lengths[row][0] * CHANGE_SHARE)


def tuning_configs(row: str, learner: str, arguments: argparse.Namespace) -> list[dict[str, Any]]:
    return fair_study.tuning_configs(row, learner, arguments)


def reported_configs(
    row: str, learner: str, chosen: dict[str, Any], arguments: argparse.Namespace, **extra: Any
) -> list[dict[str, Any]]:
    """The reported seeds' trials of `learner` at `chosen`, with `extra` study keys (the
    distractors or the swap)."""
    return [
        {**config, **extra}
        for config in fair_study.reported_configs(row, learner, chosen, arguments)
    ]


def robustness_configs(
    row: str, learner: str, chosen: dict[str, Any], arguments: argparse.Namespace
) -> dict[str, list[dict[str, Any]]]:
    """The robustness rows' trials of `learner` on `row`, by name."""
    runs = {
        f"distractors {k}": reported_configs(row, learner, chosen, arguments, distractors=k)
        for k in arguments.distractors
    }
    runs["swap"] = reported_configs(
        row, learner, chosen, arguments, change_at=change_at(arguments, row)
    )
    return runs


def check_native(arguments: argparse.Namespace) -> list[str]:
    """The tasks whose plain agent trials run natively: those where the native loop exists and
    gives a short run of the task's first candidate exactly ``run_episodes``' returns."""
    if arguments.backend == "gymnasium":
        return []
    native = []
    for env_id in sorted({ROWS[row][0] for row in arguments.rows}):
        if not study_trials.native_available(env_id):
            continue
        row = next(r for r in arguments.rows if ROWS[r][0] == env_id)
        config = {**base_config(row, "velto", 3), **candidates("velto", row)[0], "seed": 0}
        if study_trials.native_matches(env_id, config):
            native.append(env_id)
        else:
            print(f"  {env_id}: the native loop differs from run_episodes; not used", flush=True)
    return native


def run_study(arguments: argparse.Namespace) -> dict[str, Any]:
    """Runs (or reads back) every trial of the study; the results the report draws from."""
    native = check_native(arguments)
    runner = functools.partial(study_trials.run_task, native=tuple(native))
    store = TrialStore(arguments.out, arguments.workers, population=bool(native), runner=runner)
    store.run(
        config
        for row in arguments.rows
        for learner in LEARNERS
        for config in tuning_configs(row, learner, arguments)
    )
    choices = {
        row: {learner: fair_study.tuned(store, row, learner, arguments) for learner in LEARNERS}
        for row in arguments.rows
    }
    later: list[dict[str, Any]] = []
    robust: dict[str, dict[str, dict[str, list[dict[str, Any]]]]] = {}
    for row in arguments.rows:
        robust[row] = {}
        for learner in LEARNERS:
            chosen = choices[row][learner]["chosen"]
            later += reported_configs(row, learner, chosen, arguments)
            robust[row][learner] = robustness_configs(row, learner, chosen, arguments)
            later += [c for runs in robust[row][learner].values() for c in runs]
        later += reported_configs(row, "random", {}, arguments)
        later += reported_configs(row, "random", {}, arguments, change_at=change_at(arguments, row))
    store.run(later)
    verify_native(store, native, choices, arguments)

    def returns(configs: list[dict[str, Any]]) -> list[list[float]]:
        return [store.record(config).returns for config in configs]

    tuning = {
        row: {
            learner: [
                [
                    returns([c])[0]
                    for c in by_seed(tuning_configs(row, learner, arguments), candidate)
                ]
                for candidate in candidates(learner, row)
            ]
            for learner in LEARNERS
        }
        for row in arguments.rows
    }
    reported = {
        row: {
            learner: returns(
                reported_configs(
                    row, learner, choices[row].get(learner, {"chosen": {}})["chosen"], arguments
                )
            )
            for learner in (*LEARNERS, "random")
        }
        for row in arguments.rows
    }
    robustness = {
        row: {
            learner: {name: returns(configs) for name, configs in runs.items()}
            for learner, runs in by_learner.items()
        }
        for row, by_learner in robust.items()
    }
    for row in arguments.rows:
        swapped_random = reported_configs(
            row, "random", {}, arguments, change_at=change_at(arguments, row)
        )
        robustness[row]["random"] = {"swap": returns(swapped_random)}
    cpu = sum(row.get("cpu_seconds", 0.0) for row in store.done.values())
    return {
        "choices": choices,
        "candidates": {
            row: {learner: candidates(learner, row) for learner in LEARNERS}
            for row in arguments.rows
        },
        "tuning": tuning,
        "reported": reported,
        "robustness": robustness,
        "native": native,
        "steps": sum(row["steps"] for row in store.done.values()),
        "seconds": store.seconds,
        "cpu_seconds": cpu,
        "sensitivity": {},
    }


def verify_native(
    store: TrialStore, native: Sequence[str], choices: dict[str, Any], arguments: argparse.Namespace
) -> None:
    """Runs the first reported agent trial of every row whose task ran natively again through
    ``run_episodes``, at full horizon, and stops the study if its returns differ from the stored
    ones: the short check before the study cannot see a difference that shows late.

    Raises:
        RuntimeError: A stored native trial that ``run_episodes`` does not reproduce.
    """
    for row in arguments.rows:
        if ROWS[row][0] not in native:
            continue
        config = reported_configs(row, "velto", choices[row]["velto"]["chosen"], arguments)[0]
        if study_trials.run_trial(config)["returns"] != store.record(config).returns:
            raise RuntimeError(
                f"{row}: the native loop's trial {config} differs from run_episodes; run the"
                " study again with --backend gymnasium into another --out"
            )


def by_seed(configs: list[dict[str, Any]], candidate: dict[str, Any]) -> list[dict[str, Any]]:
    """The configs of `candidate`, in the order of their seeds."""
    own = [c for c in configs if all(c.get(k) == v for k, v in candidate.items())]
    return sorted(own, key=lambda c: c["seed"])


def pilot(arguments: argparse.Namespace) -> dict[str, Any]:
    """Runs the pilot trials and estimates the CPU time of the whole study from them.

    Per task and learner: `arguments.pilot` candidates spread over the grid, on the first tuning
    seed at full horizon, and one trial with distractors and one with the swap at the first of
    them; the random policy once. A trial kind's cost per trial times its count in the study
    gives the estimate; the cheapest and dearest pilot trial of the kind give its range.
    """
    native = check_native(arguments)
    runner = functools.partial(study_trials.run_task, native=tuple(native))
    store = TrialStore(arguments.out, arguments.workers, population=False, runner=runner)
    seed = arguments.tuning_seeds[0]
    plan: list[tuple[str, str, str, dict[str, Any]]] = []
    for row in arguments.rows:
        episodes = arguments.lengths[row][0]
        for learner in LEARNERS:
            grid = candidates(learner, row)
            picks = sorted(
                {
                    round(i * (len(grid) - 1) / max(1, arguments.pilot - 1))
                    for i in range(arguments.pilot)
                }
            )
            base = base_config(row, learner, episodes)
            for index in picks:
                plan.append((row, learner, "plain", {**base, **grid[index], "seed": seed}))
            first = {**base, **grid[picks[0]], "seed": seed}
            most = max(arguments.distractors)
            plan.append((row, learner, "distractors", {**first, "distractors": most}))
            plan.append((row, learner, "swap", {**first, "change_at": change_at(arguments, row)}))
        plan.append(
            (row, "random", "plain", {**base_config(row, "random", episodes), "seed": seed})
        )
    store.run(config for *_, config in plan)
    reported = len(arguments.seeds)
    counts = {
        ("velto", "plain"): 0,  # per row below: the grid's candidates times the tuning seeds
        ("sarsa", "plain"): 0,
        ("velto", "distractors"): reported * len(arguments.distractors),
        ("sarsa", "distractors"): reported * len(arguments.distractors),
        ("velto", "swap"): reported,
        ("sarsa", "swap"): reported,
        ("random", "plain"): 2 * reported,  # on the task and with the swap
    }
    estimate: dict[str, Any] = {"rows": {}, "native": native}
    total = [0.0, 0.0, 0.0]
    for row in arguments.rows:
        estimate["rows"][row] = {}
        for learner in LEARNERS:
            tuning = len(candidates(learner, row)) * len(arguments.tuning_seeds)
            counts[(learner, "plain")] = tuning + reported
        for (learner, kind), count in counts.items():
            costs = [
                store.done[fair_study.key_of(config)]["cpu_seconds"]
                for *where, config in plan
                if tuple(where) == (row, learner, kind)
            ]
            mean = sum(costs) / len(costs)
            cell = [count * mean, count * min(costs), count * max(costs)]
            estimate["rows"][row][f"{learner} {kind}"] = {
                "count": count,
                "cpu_seconds": costs,
                "estimate": cell,
            }
            total = [a + b for a, b in zip(total, cell, strict=True)]
    estimate["total_cpu_seconds"] = total
    estimate["pilot_cpu_seconds"] = sum(row["cpu_seconds"] for row in store.done.values())
    (arguments.out / "pilot_estimate.json").write_text(json.dumps(estimate, indent=1))
    return estimate


def cpu_of_children() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    own = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime + own.ru_utime + own.ru_stime


def main(argv: Sequence[str] | None = None) -> int:
    from full_report import estimate_text, figures, write_presets, write_report

    arguments = parse_arguments(argv)
    started = time.perf_counter()
    if arguments.pilot is not None:
        text = estimate_text(pilot(arguments))
        (arguments.out / "pilot_estimate.md").write_text(text + "\n")
        print(text)
    else:
        results = run_study(arguments)
        text = write_report(results, arguments)
        figures(results, arguments, arguments.out)
        write_presets(results, arguments, PACKAGE_PRESETS if arguments.complete else None)
        print(text)
        if arguments.complete:
            print(f"presets written to {PACKAGE_PRESETS}: install velto_kit again to use them")
    wall = time.perf_counter() - started
    print(f"{wall:.0f} s wall, {cpu_of_children():.0f} s CPU in this invocation")
    return 0


if __name__ == "__main__":
    sys.exit(main())
