"""Sweeps on Ray Tune: a grid over settings x seeds x tasks, run, resumed and tabulated.

``run_sweep`` hands the grid to ``ray.tune.Tuner`` (Tune's grid search, trial records, failure
handling and restoring; ``velto_kit.tune.train_trial`` trains each point) and returns Tune's
``ResultGrid``; ``trial_rows`` and ``episode_rows`` turn that into one row per trial and one per
episode, ``write_csv`` and ``plot_returns`` into a table and a figure.
"""

from __future__ import annotations

import csv
import math
import statistics
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

from velto_kit.trial_config import TrialConfig

EXPERIMENT_NAME = "sweep"
EPISODE_FIELDS = ("trial", "episode", "return", "length", "steps", "seconds")


def param_space(grid: Mapping[str, Sequence[Any]]) -> dict[str, Any]:
    """Tune's search space for `grid`: a key with several values becomes a grid axis
    (``tune.grid_search``), a key with one value a fixed setting (checked by ``check_grid``).

    Example:
        >>> space = param_space({"seed": [0, 1], "env_id": ["CartPole-v1"]})
        >>> space["env_id"], space["seed"]
        ('CartPole-v1', {'grid_search': [0, 1]})
    """
    from ray import tune

    space: dict[str, Any] = {}
    for key, values in grid.items():
        values = list(values)
        if not values:
            raise ValueError(f"grid key {key!r} has no values")
        space[key] = tune.grid_search(values) if len(values) > 1 else values[0]
    check_grid(grid)
    return space


def check_grid(grid: Mapping[str, Sequence[Any]]) -> None:
    """Checks every combination of `grid` as a ``TrialConfig``, so that a bad setting fails
    before the sweep starts, not in each of its trials.

    Example:
        >>> check_grid({"episodes": [10, 0]})
        Traceback (most recent call last):
        ValueError: episodes must be at least 1, not 0
    """
    for config in grid_points(grid):
        TrialConfig.from_dict(config)


def grid_points(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    """Every combination of `grid`'s values, as the trials' configs.

    Example:
        >>> len(grid_points({"seed": [0, 1, 2], "alpha": [0.1, 0.01]}))
        6
    """
    import itertools

    keys = list(grid)
    return [dict(zip(keys, values, strict=True)) for values in itertools.product(*grid.values())]


def run_sweep(
    grid: Mapping[str, Sequence[Any]] | None,
    *,
    storage: Path,
    name: str = EXPERIMENT_NAME,
    resume: bool = False,
    max_failures: int = 2,
    cpus_per_trial: float = 1.0,
    max_concurrent_trials: int | None = None,
    verbose: int = 1,
) -> Any:
    """Runs the sweep `grid` (one trial per combination) with Ray Tune and returns its
    ``ResultGrid``; with `resume`, continues the sweep stored under ``storage / name`` instead
    (its own grid: `grid` is not used), rerunning no finished trial.

    Ray must be running already (``ray.init``). Trial records and checkpoints go to
    ``storage / name``. A failed trial is retried from its latest checkpoint up to
    `max_failures` times.

    Example:
        >>> import ray, tempfile
        >>> ray.init(num_cpus=2)  # doctest: +SKIP
        >>> results = run_sweep({"seed": [0, 1], "episodes": [20]},
        ...                     storage=Path(tempfile.mkdtemp()))  # doctest: +SKIP
    """
    from ray import tune

    from velto_kit.tune import train_trial

    storage = Path(storage).resolve()
    path = storage / name
    trainable = tune.with_resources(train_trial, {"cpu": cpus_per_trial})
    if resume:
        if not tune.Tuner.can_restore(str(path)):
            raise ValueError(f"no sweep to resume at {path}")
        tuner = tune.Tuner.restore(
            str(path), trainable, resume_unfinished=True, resume_errored=True
        )
        return tuner.fit()
    if path.exists():
        raise ValueError(f"{path} already holds a sweep: resume it, or choose another folder")
    if grid is None:
        raise ValueError("grid is needed for a new sweep")
    tuner = tune.Tuner(
        trainable,
        param_space=param_space(grid),
        tune_config=tune.TuneConfig(max_concurrent_trials=max_concurrent_trials),
        run_config=tune.RunConfig(
            name=name,
            storage_path=str(storage),
            failure_config=tune.FailureConfig(max_failures=max_failures),
            # Keeping two lets Tune fall back on the earlier one if the latest is incomplete.
            checkpoint_config=tune.CheckpointConfig(num_to_keep=2),
            verbose=verbose,
        ),
    )
    return tuner.fit()


def seed_records(result: Any) -> dict[int, list[dict[str, Any]]]:
    """A trial's per-episode reports by seed (every seed of the trial, in order), each seed's in
    episode order. A trial of one seed reports no ``seed``: its reports are its config's seed's.
    An episode reported twice (run again after a restore from an earlier checkpoint) keeps its
    later report, the one the learner continued from.

    Example: see ``episode_rows``.
    """
    config = TrialConfig.from_dict(result.config)
    by_seed: dict[int, dict[int, dict[str, Any]]] = {seed: {} for seed in config.seeds}
    frame = result.metrics_dataframe
    if frame is None or "episode" not in frame:
        return {seed: [] for seed in by_seed}
    for record in frame.to_dict("records"):
        if _missing(record["episode"]):
            continue
        seed = record.get("seed", config.seed)
        seed = config.seed if _missing(seed) else int(seed)
        by_seed.setdefault(seed, {})[int(record["episode"])] = record
    return {seed: [episodes[e] for e in sorted(episodes)] for seed, episodes in by_seed.items()}


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def episode_records(result: Any) -> list[dict[str, Any]]:
    """A trial's per-episode reports, seed after seed, each seed's in episode order (see
    ``seed_records``).

    Example: see ``episode_rows``.
    """
    return [record for records in seed_records(result).values() for record in records]


def trial_name(result: Any) -> str:
    """The trial's id as Tune gives it, or its folder's name for a trial that reported nothing."""
    trial_id = (result.metrics or {}).get("trial_id")
    return str(trial_id) if trial_id else Path(result.path).name


def row_name(result: Any, config: TrialConfig, seed: int) -> str:
    """The name of a seed's rows: the trial's, with ``/seed-<seed>`` for a trial of several
    seeds, so that every seed is a row (and a curve) of its own.

    Example: ``row_name(result, TrialConfig(seed=4, seeds_per_trial=2), 5)`` is
    ``"<trial id>/seed-5"``.
    """
    name = trial_name(result)
    return name if config.seeds_per_trial == 1 else f"{name}/seed-{seed}"


def trial_rows(results: Any, window: int) -> list[dict[str, Any]]:
    """One row per trial and seed of a ``ResultGrid`` (a trial of several seeds gives one row
    per seed, named by ``row_name``, with its ``seed``): the trial's every setting (``episodes``
    is the number asked for), the mean return of its last `window` episodes (``final_mean_return``;
    ``window`` is how many there were), the episodes it ran (``episodes_done``), its steps and
    seconds of training, and its status (``done``, ``error:
    <kind>`` or ``incomplete`` for a trial stopped before its last episode, e.g. by an
    interruption), ordered by trial id.

    Example: ``write_csv(trial_rows(run_sweep(...), 20), Path("results.csv"))``.
    """
    rows = []
    for result in results:
        config = TrialConfig.from_dict(result.config)
        for seed, records in seed_records(result).items():
            rows.append(_seed_row(result, config, seed, records, window))
    return sorted(rows, key=lambda row: row["trial"])


def _seed_row(
    result: Any, config: TrialConfig, seed: int, records: list[dict[str, Any]], window: int
) -> dict[str, Any]:
    returns = [float(record["return"]) for record in records[-window:]]
    if result.error is not None:
        status = f"error: {type(result.error).__name__}"
    elif len(records) == config.episodes:
        status = "done"
    else:
        status = "incomplete"
    row: dict[str, Any] = {"trial": row_name(result, config, seed)}
    row.update(config.as_dict())
    row["seed"] = seed
    row.update(
        final_mean_return=statistics.fmean(returns) if returns else float("nan"),
        window=len(returns),
        episodes_done=len(records),
        steps=int(records[-1]["steps"]) if records else 0,
        seconds=float(records[-1]["seconds"]) if records else 0.0,
        status=status,
    )
    return row


def episode_rows(results: Any) -> list[dict[str, Any]]:
    """One row per episode of every trial and seed of a ``ResultGrid`` (columns
    ``EPISODE_FIELDS``; ``trial`` as in ``trial_rows``).

    Example: ``write_csv(episode_rows(results), Path("episodes.csv"))``.
    """
    rows = []
    for result in results:
        config = TrialConfig.from_dict(result.config)
        for seed, records in seed_records(result).items():
            name = row_name(result, config, seed)
            for record in records:
                row = {"trial": name}
                row.update({field: record[field] for field in EPISODE_FIELDS[1:]})
                rows.append(row)
    return sorted(rows, key=lambda row: (row["trial"], row["episode"]))


def write_csv(rows: Sequence[Mapping[str, Any]], path: Path) -> None:
    """Writes `rows` (dicts with the same keys) as a CSV table with a header line.

    Example:
        >>> import tempfile
        >>> path = Path(tempfile.mkdtemp()) / "t.csv"
        >>> write_csv([{"a": 1, "b": 2.5}], path)
        >>> path.read_text().splitlines()
        ['a,b', '1,2.5']
    """
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="") as file:
        writer = csv.DictWriter(file, fieldnames=list(rows[0]) if rows else [])
        writer.writeheader()
        writer.writerows(rows)
