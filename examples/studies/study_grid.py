"""What both studies share: the tasks' fixed settings, running groups of trials, and summaries.

A group is one grid of trials (the grid of ``velto_kit.sweeps.sweep``: a key with several values is
an axis). It runs on Ray Tune through ``velto_kit.sweeps.sweep.run_sweep`` (a local Ray started
here unless ``--address`` names a cluster), or with ``--backend local`` in a plain process pool
that drives the same learners (``velto_kit.sweeps.trial_learners``) without Ray. Each finished
group is written to ``OUT/groups/NAME.json``; running a study again with the same ``--out`` reuses
those files, so an interrupted study continues with the groups it had not finished."""

from __future__ import annotations

import json
import math
import multiprocessing
import statistics
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

# Settings that belong to a task rather than to a learner: features, discount, time limit (the
# environment's own unless stated), the agent's action mapping, and how long a trial runs.
TASKS: dict[str, dict[str, Any]] = {
    "CartPole-v1": {"tiles": 6, "tilings": 8, "gamma": 0.99, "mapping": "binary"},
    # Six dimensions: 4 tiles per dimension keep 8 x 5^6 = 125,000 features; 6 would give 941,192.
    "Acrobot-v1": {"tiles": 4, "tilings": 8, "gamma": 0.99, "mapping": "binary"},
    "MountainCar-v0": {"tiles": 8, "tilings": 8, "gamma": 0.99, "mapping": "binary"},
    # CliffWalking has no time limit of its own; 200 steps keeps a lost random walk finite.
    "CliffWalking-v1": {"gamma": 0.99, "mapping": "binary", "max_episode_steps": 200},
}


@dataclass(frozen=True)
class TrialRecord:
    """One finished trial: its settings and the return of every episode."""

    config: dict[str, Any]
    returns: list[float]
    steps: int
    seconds: float

    def final(self, window: int) -> float:
        """Mean return over the last `window` episodes."""
        return statistics.fmean(self.returns[-window:])


def task_grid(env_id: str, **axes: Sequence[Any]) -> dict[str, list[Any]]:
    """A grid for `env_id`: the task's fixed settings plus `axes` (each a list of values).

    Example:
        >>> task_grid("CartPole-v1", seed=[0, 1])["tiles"]
        [6]
    """
    grid: dict[str, list[Any]] = {"env_id": [env_id]}
    grid.update({key: [value] for key, value in TASKS[env_id].items()})
    grid.update({key: list(values) for key, values in axes.items()})
    if grid.get("learner") in (["sarsa"], ["random"]):
        grid.pop("mapping", None)  # the baselines act on the environment's actions directly
    return grid


def grid_points(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    """Every combination of the grid's values.

    Example:
        >>> len(grid_points({"seed": [0, 1, 2], "alpha": [0.1, 0.01]}))
        6
    """
    import itertools

    keys = list(grid)
    return [dict(zip(keys, values, strict=True)) for values in itertools.product(*grid.values())]


def _local_trial(config: dict[str, Any]) -> TrialRecord:
    """Runs one trial in this process with the learners the Ray trainable uses."""
    from velto_kit.sweeps.trial_config import TrialConfig
    from velto_kit.sweeps.trial_learners import build_learner
    from velto_kit.sweeps.tune import make_env

    trial = TrialConfig.from_dict({**config, "checkpoint_every": 10**9})
    env = make_env(trial)
    learner = build_learner(trial, env, None)
    returns, steps, seconds = [], 0, 0.0
    for result in learner.run(env, episodes=trial.episodes, start_episode=0, seed=trial.seed):
        returns.append(result.return_)
        steps, seconds = result.steps, result.seconds
    env.close()
    return TrialRecord(config, returns, steps, seconds)


def _run_local(points: list[dict[str, Any]], workers: int) -> list[TrialRecord]:
    if workers <= 1:
        return [_local_trial(point) for point in points]
    with multiprocessing.get_context("spawn").Pool(workers) as pool:
        return pool.map(_local_trial, points, chunksize=1)


def _run_ray(grid: Mapping[str, Sequence[Any]], name: str, out: Path) -> list[TrialRecord]:
    from velto_kit.sweeps.sweep import episode_records, run_sweep

    storage = (out / "ray").resolve()
    # A group whose Tune records exist was interrupted: Tune's restore continues it.
    resume = (storage / name).exists()
    results = run_sweep(grid, storage=storage, name=name, resume=resume, verbose=0)
    records = []
    for result in results:
        if result.error is not None:
            raise RuntimeError(f"trial {result.config} failed: {result.error}")
        episodes = sorted(episode_records(result), key=lambda row: row["episode"])
        config = {key: result.config[key] for key in grid}
        last = episodes[-1]
        records.append(
            TrialRecord(config, [row["return"] for row in episodes], last["steps"], last["seconds"])
        )
    return records


class GroupRunner:
    """Runs named groups of trials on one backend and keeps each finished group on disk.

    Example:
        >>> runner = GroupRunner(Path("out"), backend="local", workers=1)  # doctest: +SKIP
        >>> grid = task_grid("CartPole-v1", seed=[0], episodes=[2])
        >>> records = runner.run("smoke", grid)  # doctest: +SKIP
    """

    def __init__(self, out: Path, *, backend: str, workers: int) -> None:
        if backend not in ("ray", "local"):
            raise ValueError(f"backend must be 'ray' or 'local', not {backend!r}")
        self.out = out
        self.backend = backend
        self.workers = workers
        self.seconds = 0.0
        (out / "groups").mkdir(parents=True, exist_ok=True)

    def run(self, name: str, grid: Mapping[str, Sequence[Any]]) -> list[TrialRecord]:
        """The records of group `name` over `grid`, from its file when it ran before."""
        path = self.out / "groups" / f"{name}.json"
        points = grid_points(grid)
        if path.exists():
            saved = json.loads(path.read_text())
            if saved["points"] == points:
                return [TrialRecord(**record) for record in saved["records"]]
        started = time.perf_counter()
        if self.backend == "ray":
            records = _run_ray(grid, name, self.out)
        else:
            records = _run_local(points, self.workers)
        elapsed = time.perf_counter() - started
        self.seconds += elapsed
        print(f"  group {name}: {len(records)} trials in {elapsed:.0f} s", flush=True)
        records.sort(key=lambda record: points.index(_point_of(record, points)))
        path.write_text(
            json.dumps({"points": points, "records": [vars(record) for record in records]})
        )
        return records


def _point_of(record: TrialRecord, points: list[dict[str, Any]]) -> dict[str, Any]:
    for point in points:
        if all(record.config.get(key) == value for key, value in point.items()):
            return point
    raise KeyError(f"no grid point for {record.config}")


def mean_sd(values: Sequence[float]) -> tuple[float, float]:
    """Mean and sample standard deviation (0 for a single value).

    Example:
        >>> mean_sd([1.0, 3.0])
        (2.0, 1.4142135623730951)
    """
    if not values:
        return math.nan, math.nan
    return statistics.fmean(values), (statistics.stdev(values) if len(values) > 1 else 0.0)


def start_ray(address: str | None, num_cpus: int) -> None:
    """Connects to the Ray cluster at `address`, or starts a local Ray of `num_cpus` CPUs."""
    import ray

    if ray.is_initialized():
        return
    if address:
        ray.init(address=address, log_to_driver=False)
    else:
        # A Ray of our own even where a `ray start` cluster runs here; a small object store,
        # since trials send Tune only their metrics.
        ray.init(
            address="local",
            num_cpus=num_cpus,
            include_dashboard=False,
            log_to_driver=False,
            object_store_memory=100 * 1024 * 1024,
        )
