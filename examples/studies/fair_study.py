"""The fair comparison: the agent and SARSA(lambda), each tuned over its own standard settings
with the same budget, reported on seeds tuning never saw, with 95 % bootstrap intervals; then
final return against the step size for the agent (learned and fixed step sizes) and SARSA(lambda).

Protocol (docs/explanation/evidence.md holds it in prose):

1. Each learner has 16 candidates per task (``agent_candidates``, ``sarsa_candidates``), each run
   on the tuning seeds; the best mean final return is chosen.
2. The chosen settings run on the reported seeds, disjoint from the tuning ones, beside a
   uniformly random policy on the same seeds.
3. Sensitivity: the tuned settings again, with only the step size moved over five decades.

Trials run in a process pool; each finished trial is appended to ``OUT/trials.jsonl``, so a run
interrupted and started again with the same ``--out`` continues where it stopped.

    python examples/studies/fair_study.py --out results/fair_study --figures docs
    python examples/studies/fair_study.py --smoke --out /tmp/fair   # CI: well under a minute
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

from evidence_stats import check_disjoint  # noqa: E402
from study_grid import TASKS, TrialRecord, grid_points  # noqa: E402
from trial_lines import read_trials  # noqa: E402

TUNING_SEEDS = (100, 101)
REPORTED_SEEDS = tuple(range(10))
# Rows of the table: a task and what differs from its own settings.
ROWS: dict[str, tuple[str, dict[str, Any]]] = {
    "CartPole-v1": ("CartPole-v1", {}),
    "Acrobot-v1": ("Acrobot-v1", {}),
    "MountainCar-v0": ("MountainCar-v0", {}),
    "MountainCar-v0, 1000 steps": ("MountainCar-v0", {"max_episode_steps": 1000}),
    "CliffWalking-v1": ("CliffWalking-v1", {}),
}
# Episodes per trial and the final window, per row.
LENGTHS = {
    "CartPole-v1": (200, 20),
    "Acrobot-v1": (150, 20),
    "MountainCar-v0": (200, 20),
    "MountainCar-v0, 1000 steps": (100, 20),
    "CliffWalking-v1": (150, 20),
}
SENSITIVITY_ROWS = ("CartPole-v1", "CliffWalking-v1")
SENSITIVITY_SEEDS = REPORTED_SEEDS[:5]
STEP_SIZES = (1e-5, 1e-4, 1e-3, 1e-2, 0.1, 1.0)
CURVES = {"learned": "agent, learned step sizes", "fixed": "agent, meta_step_size 0"}
CURVES["sarsa"] = "SARSA(λ)"
NAMES = {"velto": "agent", "sarsa": "SARSA(λ)", "random": "random"}


def agent_candidates(row: str) -> dict[str, list[Any]]:
    """The agent's 16 candidates on `row`: two values on each of four of its settings. Its
    action mapping is an axis where the task has more than two actions; on CartPole (one unit,
    one mapping) the meta step size takes its place.

    Example:
        >>> len(grid_points(agent_candidates("Acrobot-v1")))
        16
    """
    axes: dict[str, list[Any]] = {
        "alpha": [0.01, 0.1],
        "eta_actor": [0.005, 0.05],
        "lambda_": [0.5, 0.9],
    }
    env_id = ROWS[row][0]
    if env_id == "CartPole-v1":
        axes["meta_step_size"] = [1e-3, 1e-2]
    elif env_id == "CliffWalking-v1":
        axes["mapping"] = ["one-per-action", "binary"]
    else:
        axes["mapping"] = ["opposing", "binary"]
    return axes


def sarsa_candidates(row: str) -> dict[str, list[Any]]:
    """SARSA(lambda)'s 16 candidates on `row`: the textbook step sizes (0.1 and 0.5 over the
    active features), lambda 0.7 and 0.9, and its exploration. Where every reward is +1
    (CartPole), zero start values are pessimistic, so the start value is an axis (0 and the
    optimistic 1 / (1 - gamma)) beside epsilon 0.1 and 0.01; where rewards are negative, 0 is
    already optimistic and epsilon takes four values, 0 (the textbook's MountainCar) to 0.1.

    Example:
        >>> sarsa_candidates("CartPole-v1")["sarsa_initial_value"]
        [0.0, 100.0]
    """
    axes: dict[str, list[Any]] = {"sarsa_alpha": [0.1, 0.5], "sarsa_lambda": [0.7, 0.9]}
    if ROWS[row][0] == "CartPole-v1":
        gamma = TASKS["CartPole-v1"]["gamma"]
        axes["sarsa_epsilon"] = [0.1, 0.01]
        axes["sarsa_initial_value"] = [0.0, round(1.0 / (1.0 - gamma), 6)]
    else:
        axes["sarsa_epsilon"] = [0.1, 0.05, 0.01, 0.0]
    return axes


def candidates(learner: str, row: str) -> list[dict[str, Any]]:
    """Every candidate of `learner` on `row`."""
    axes = agent_candidates(row) if learner == "velto" else sarsa_candidates(row)
    return grid_points(axes)


def base_config(row: str, learner: str, episodes: int) -> dict[str, Any]:
    """The settings every trial of `learner` on `row` shares."""
    env_id, extra = ROWS[row]
    config: dict[str, Any] = {"env_id": env_id, **TASKS[env_id], **extra}
    config.update(learner=learner, episodes=episodes)
    if learner != "velto":
        config.pop("mapping", None)  # the baselines act on the environment's actions
    return config


def key_of(config: dict[str, Any]) -> str:
    return json.dumps(config, sort_keys=True)


def run_trial(config: dict[str, Any]) -> dict[str, Any]:
    """One trial in this process (the learners of ``velto_kit.sweeps.trial_learners``)."""
    from study_grid import _local_trial

    record = _local_trial(config)
    return {"config": config, "returns": record.returns, "steps": record.steps}


def run_task(configs: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """One task of the pool: a single trial, or agent trials of one setting as a population."""
    if len(configs) == 1:
        return [run_trial(configs[0])]
    from population_trials import run_agents

    return run_agents(configs)


def group_seeds(configs: list[dict[str, Any]]) -> list[list[dict[str, Any]]]:
    """`configs` as tasks: the agent's trials that differ in their seeds alone together, in the
    order of their first trial; every other trial on its own.

    Example:
        >>> tasks = group_seeds([{"learner": "velto", "a": 1, "seed": s} for s in (0, 1)])
        >>> [[c["seed"] for c in task] for task in tasks]
        [[0, 1]]
    """
    groups: dict[str, list[dict[str, Any]]] = {}
    tasks: list[list[dict[str, Any]]] = []
    for config in configs:
        if config["learner"] != "velto":
            tasks.append([config])
            continue
        key = key_of({k: v for k, v in config.items() if k != "seed"})
        if key not in groups:
            groups[key] = []
            tasks.append(groups[key])
        groups[key].append(config)
    return tasks


class TrialStore:
    """Finished trials on disk, one JSON line each; runs only the trials not yet there."""

    def __init__(
        self,
        out: Path,
        workers: int,
        *,
        population: bool = False,
        runner: Callable[[list[dict[str, Any]]], list[dict[str, Any]]] | None = None,
    ) -> None:
        out.mkdir(parents=True, exist_ok=True)
        self.population = population
        # What runs one task of the pool (a module-level function: the pool's processes import
        # it by name).
        self.runner = run_task if runner is None else runner
        # Seconds spent running trials, over every invocation on this folder: a later run that
        # only redraws the tables keeps the time the trials took.
        self.timing = out / "timing.json"
        self.seconds = (
            json.loads(self.timing.read_text())["trial_seconds"] if self.timing.exists() else 0.0
        )
        self.path = out / "trials.jsonl"
        self.workers = workers
        self.done: dict[str, dict[str, Any]] = {}
        for row in read_trials(self.path):
            self.done[key_of(row["config"])] = row

    def run(self, configs: Iterable[dict[str, Any]]) -> None:
        """Runs every config not done yet, longest first so the pool ends together; with
        ``population`` set, the agent's trials that differ in their seeds alone as one task."""
        todo = {key_of(c): c for c in configs if key_of(c) not in self.done}
        if not todo:
            return
        order = sorted(todo.values(), key=lambda c: -c["episodes"] * _step_cost(c))
        tasks = group_seeds(order) if self.population else [[config] for config in order]
        started = time.perf_counter()
        with self.path.open("a") as sink:
            if self.workers <= 1:
                results: Iterable[list[dict[str, Any]]] = map(self.runner, tasks)
                self._collect(results, sink, len(order), started)
            else:
                context = multiprocessing.get_context("spawn")
                with context.Pool(self.workers) as pool:
                    results = pool.imap_unordered(self.runner, tasks, chunksize=1)
                    self._collect(results, sink, len(order), started)
        self.seconds += time.perf_counter() - started
        self.timing.write_text(json.dumps({"trial_seconds": self.seconds}))

    def _collect(
        self, results: Iterable[list[dict[str, Any]]], sink: Any, total: int, t0: float
    ) -> None:
        count = 0
        for task in results:
            for result in task:
                count += 1
                self.done[key_of(result["config"])] = result
                sink.write(json.dumps(result) + "\n")
                if count % 25 == 0 or count == total:
                    print(f"  {count}/{total} trials, {time.perf_counter() - t0:.0f} s", flush=True)
            sink.flush()

    def record(self, config: dict[str, Any]) -> TrialRecord:
        row = self.done[key_of(config)]
        return TrialRecord(row["config"], row["returns"], row["steps"], 0.0)


def _step_cost(config: dict[str, Any]) -> float:
    # Rough relative cost of an episode, only to start long trials first.
    slow = {"Acrobot-v1": 3.0, "MountainCar-v0": 1.5, "CliffWalking-v1": 0.2}
    cost = slow.get(config["env_id"], 1.0) * (config.get("max_episode_steps") or 200) / 200
    return cost * (2.0 if config["learner"] == "sarsa" else 1.0)


def tuning_configs(row: str, learner: str, arguments: argparse.Namespace) -> list[dict[str, Any]]:
    base = base_config(row, learner, arguments.lengths[row][0])
    return [
        {**base, **candidate, "seed": seed}
        for candidate in candidates(learner, row)
        for seed in arguments.tuning_seeds
    ]


def final(store: TrialStore, config: dict[str, Any], window: int) -> float:
    return store.record(config).final(window)


def tuned(store: TrialStore, row: str, learner: str, arguments: argparse.Namespace) -> dict:
    """The candidate with the best mean final return over the tuning seeds, and every score."""
    episodes, window = arguments.lengths[row]
    base = base_config(row, learner, episodes)
    scores = []
    for candidate in candidates(learner, row):
        finals = [
            final(store, {**base, **candidate, "seed": s}, window) for s in arguments.tuning_seeds
        ]
        scores.append((candidate, sum(finals) / len(finals)))
    best = max(scores, key=lambda item: item[1])[0]
    return {"chosen": best, "scores": scores}


def reported_configs(
    row: str, learner: str, chosen: dict[str, Any], arguments: argparse.Namespace
) -> list[dict[str, Any]]:
    base = base_config(row, learner, arguments.lengths[row][0])
    return [{**base, **chosen, "seed": seed} for seed in arguments.seeds]


def sensitivity_configs(
    row: str, curve: str, chosen: dict[str, Any], arguments: argparse.Namespace
) -> list[list[dict[str, Any]]]:
    """Per step size, the trials of one curve: `chosen` with only the step size (and, for the
    fixed curve, the meta step size 0) changed."""
    learner = "sarsa" if curve == "sarsa" else "velto"
    base = base_config(row, learner, arguments.lengths[row][0])
    knob = "sarsa_alpha" if learner == "sarsa" else "alpha"
    extra = {"meta_step_size": 0.0} if curve == "fixed" else {}
    return [
        [{**base, **chosen, **extra, knob: size, "seed": s} for s in arguments.sensitivity_seeds]
        for size in arguments.step_sizes
    ]


def build_parser() -> argparse.ArgumentParser:
    """The study's command line (also the source of its command-line reference)."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("results/fair_study"))
    parser.add_argument("--figures", type=Path, default=None, help="folder (default OUT)")
    parser.add_argument("--workers", type=int, default=2, help="trials at a time")
    parser.add_argument("--rows", nargs="+", default=list(ROWS))
    parser.add_argument(
        "--population",
        action="store_true",
        help="run the agent's seeds of one setting as one population (velto_kit.run_population):"
        " the same returns bit for bit, but slower on these tasks (docs/explanation/evidence.md)",
    )
    parser.add_argument("--smoke", action="store_true", help="a tiny version, for CI")
    return parser


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = build_parser()
    arguments = parser.parse_args(argv)
    if arguments.population:
        from population_trials import available

        if not available():
            parser.error("--population: the installed velto_kit has no run_population")
    arguments.lengths = dict(LENGTHS)
    arguments.tuning_seeds, arguments.seeds = list(TUNING_SEEDS), list(REPORTED_SEEDS)
    arguments.sensitivity_seeds, arguments.step_sizes = list(SENSITIVITY_SEEDS), STEP_SIZES
    arguments.sensitivity_rows = [row for row in SENSITIVITY_ROWS if row in arguments.rows]
    if arguments.smoke:
        arguments.rows = arguments.sensitivity_rows = ["CliffWalking-v1"]
        arguments.lengths = {"CliffWalking-v1": (3, 2)}
        arguments.tuning_seeds, arguments.seeds = [100], [0, 1]
        arguments.sensitivity_seeds, arguments.step_sizes = [0], (1e-3, 0.1)
    unknown = [row for row in arguments.rows if row not in ROWS]
    if unknown:
        parser.error(f"--rows: unknown {unknown}; known: {list(ROWS)}")
    check_disjoint(arguments.tuning_seeds, arguments.seeds)
    check_disjoint(arguments.tuning_seeds, arguments.sensitivity_seeds)
    return arguments


def main(argv: Sequence[str] | None = None) -> int:
    from fair_report import figures, write_report

    arguments = parse_arguments(argv)
    started = time.perf_counter()
    store = TrialStore(arguments.out, arguments.workers, population=arguments.population)
    store.run(
        config
        for row in arguments.rows
        for learner in ("velto", "sarsa")
        for config in tuning_configs(row, learner, arguments)
    )
    choices = {
        row: {learner: tuned(store, row, learner, arguments) for learner in ("velto", "sarsa")}
        for row in arguments.rows
    }
    later: list[dict[str, Any]] = []
    for row in arguments.rows:
        for learner in ("velto", "sarsa"):
            later += reported_configs(row, learner, choices[row][learner]["chosen"], arguments)
        later += reported_configs(row, "random", {}, arguments)
    sensitivity: dict[str, dict[str, list[list[dict[str, Any]]]]] = {}
    for row in arguments.sensitivity_rows:
        sensitivity[row] = {}
        for curve in CURVES:
            learner = "sarsa" if curve == "sarsa" else "velto"
            chosen = choices[row][learner]["chosen"]
            sensitivity[row][curve] = sensitivity_configs(row, curve, chosen, arguments)
            later += [config for group in sensitivity[row][curve] for config in group]
    store.run(later)
    results = {
        "choices": choices,
        "reported": {
            row: {
                learner: [
                    store.record(c).returns
                    for c in reported_configs(
                        row, learner, choices[row].get(learner, {"chosen": {}})["chosen"], arguments
                    )
                ]
                for learner in NAMES
            }
            for row in arguments.rows
        },
        "sensitivity": {
            row: {
                curve: [[store.record(c).returns for c in group] for group in groups]
                for curve, groups in curves.items()
            }
            for row, curves in sensitivity.items()
        },
        "steps": sum(row["steps"] for row in store.done.values()),
        "seconds": store.seconds,
    }
    text = write_report(results, arguments)
    figures(results, arguments, arguments.figures or arguments.out)
    print(text)
    print(f"{time.perf_counter() - started:.0f} s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
