"""Sweeps on Ray Tune: a grid over settings x seeds x tasks, run, resumed and tabulated.

``run_sweep`` hands the grid to ``ray.tune.Tuner`` (Tune's grid search, trial records, failure
handling and restoring; ``velto_kit.sweeps.tune.train_trial`` trains each point) and returns Tune's
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

import numpy as np

from velto_kit.sweeps.trial_config import TrialConfig

EXPERIMENT_NAME = "sweep"
EPISODE_FIELDS = ("trial", "episode", "return", "length", "steps", "seconds")


def param_space(grid: Mapping[str, Sequence[Any]]) -> dict[str, Any]:
    """Tune's search space for `grid`, checked by ``check_grid`` first.

    A key with several values becomes a grid axis (``tune.grid_search``), a key with one value a
    fixed setting. Imports Ray.

    Args:
        grid: Trial settings (``TrialConfig`` keys), each with the values to sweep.

    Returns:
        The ``param_space`` for ``ray.tune.Tuner``.

    Raises:
        ValueError: A key without values, or a combination that is not a valid ``TrialConfig``
            (the message names the setting).

    Examples:
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
    """Checks every combination of `grid` as a ``TrialConfig``.

    A bad setting then fails before the sweep starts, not in each of its trials.

    Args:
        grid: Trial settings, each with the values to sweep.

    Raises:
        ValueError: An unknown key or a value that ``TrialConfig`` refuses (the message names
            the setting).

    Examples:
        >>> check_grid({"episodes": [10, 0]})
        Traceback (most recent call last):
        ValueError: episodes must be at least 1, not 0
    """
    for config in grid_points(grid):
        TrialConfig.from_dict(config)


def grid_points(grid: Mapping[str, Sequence[Any]]) -> list[dict[str, Any]]:
    """Every combination of `grid`'s values, as the trials' configs.

    Args:
        grid: Trial settings, each with the values to sweep.

    Returns:
        One dict per combination, the last key varying fastest.

    Examples:
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
    callbacks: Sequence[Any] = (),
) -> Any:
    """Runs the sweep `grid`, one trial per combination, with Ray Tune.

    With `resume`, continues the sweep stored under ``storage / name`` instead (its own grid:
    `grid` is not used), rerunning no finished trial. Ray must be running already
    (``ray.init``). Trial records and checkpoints go to ``storage / name``. A failed trial is
    retried from its latest checkpoint up to `max_failures` times.

    Args:
        grid: Trial settings (``TrialConfig`` keys), each with the values to sweep; None only
            with `resume`.
        storage: The folder that holds the sweep's folder.
        name: The sweep's folder under `storage`.
        resume: Continue the sweep at ``storage / name`` instead of starting one.
        max_failures: Retries of a failed trial.
        cpus_per_trial: CPUs Tune reserves for each trial.
        max_concurrent_trials: At most this many trials at once; None leaves it to Tune.
        verbose: Tune's verbosity, 0 to 3.
        callbacks: Tune callbacks (``ray.tune.Callback``) told of every trial's reports, one per
            episode: e.g. ``ray.air.integrations.wandb.WandbLoggerCallback`` for Weights &
            Biases (Tune itself writes TensorBoard event files into each trial's folder).

    Returns:
        Tune's ``ResultGrid`` (see ``trial_rows`` and ``episode_rows``).

    Raises:
        ValueError: `resume` without a sweep at ``storage / name``, a new sweep where one is
            already stored, a new sweep without `grid`, or a bad setting in `grid`.

    Examples:
        >>> import ray, tempfile
        >>> ray.init(num_cpus=2)  # doctest: +SKIP
        >>> results = run_sweep({"seed": [0, 1], "episodes": [20]},
        ...                     storage=Path(tempfile.mkdtemp()))  # doctest: +SKIP
    """
    from ray import tune

    from velto_kit.sweeps.tune import train_trial

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
            callbacks=list(callbacks),
        ),
    )
    return tuner.fit()


def seed_records(result: Any) -> dict[int, list[dict[str, Any]]]:
    """A trial's per-episode reports by seed, each seed's in episode order.

    A trial of one seed reports no ``seed``: its reports are its config's seed's. An episode
    reported twice (run again after a restore from an earlier checkpoint) keeps its later
    report, the one the learner continued from.

    Args:
        result: One ``ray.tune.Result`` of a sweep's ``ResultGrid``.

    Returns:
        Every seed of the trial, in order, with its list of reports (empty if it reported none).

    Raises:
        ValueError: The trial's config is not a valid ``TrialConfig``.
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


def _diverged(record: Mapping[str, Any]) -> bool:
    """Whether an episode's report says the learner diverged (absent or NaN: it did not)."""
    flag = record.get("diverged")
    return isinstance(flag, bool | np.bool_) and bool(flag)


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def episode_records(result: Any) -> list[dict[str, Any]]:
    """A trial's per-episode reports, seed after seed, each seed's in episode order.

    Args:
        result: One ``ray.tune.Result`` of a sweep's ``ResultGrid``.

    Returns:
        The reports of ``seed_records(result)``, concatenated.

    Raises:
        ValueError: The trial's config is not a valid ``TrialConfig``.
    """
    return [record for records in seed_records(result).values() for record in records]


def trial_name(result: Any) -> str:
    """The trial's id as Tune gives it, or its folder's name for a trial that reported nothing.

    Args:
        result: One ``ray.tune.Result`` of a sweep's ``ResultGrid``.

    Returns:
        The trial's name.
    """
    trial_id = (result.metrics or {}).get("trial_id")
    return str(trial_id) if trial_id else Path(result.path).name


def row_name(result: Any, config: TrialConfig, seed: int) -> str:
    """The name of a seed's rows: the trial's, with ``/seed-<seed>`` for a trial of several seeds.

    Every seed is then a row (and a curve) of its own.

    Args:
        result: One ``ray.tune.Result`` of a sweep's ``ResultGrid``.
        config: The trial's settings.
        seed: One of ``config.seeds``.

    Returns:
        ``trial_name(result)``, followed by ``/seed-<seed>`` if the trial has several seeds;
        e.g. ``"<trial id>/seed-5"`` for ``TrialConfig(seed=4, seeds_per_trial=2)`` and seed 5.
    """
    name = trial_name(result)
    return name if config.seeds_per_trial == 1 else f"{name}/seed-{seed}"


def trial_rows(results: Any, window: int) -> list[dict[str, Any]]:
    """One row per trial and seed of a ``ResultGrid``, ordered by trial.

    A trial of several seeds gives one row per seed, named by ``row_name``, with its ``seed``.
    A row holds the trial's every setting (``episodes`` is the number asked for), the mean
    return of its last `window` episodes (``final_mean_return``; ``window`` is how many there
    were), the episodes it ran (``episodes_done``), its steps and seconds of training, and its
    ``status``: ``done``, ``error: <kind>``, or ``incomplete`` for a trial stopped before its
    last episode (e.g. by an interruption). A trial stopped before it started has no row
    (``unstarted_trials`` names it).

    Args:
        results: The ``ResultGrid`` of ``run_sweep`` (any iterable of Tune results).
        window: Episodes at the end that ``final_mean_return`` averages.

    Returns:
        The rows, as dicts with the same keys; ``final_mean_return`` is NaN for a seed that
        reported no episode.

    Raises:
        ValueError: A trial's config is not a valid ``TrialConfig``.

    Example:
        ``write_csv(trial_rows(run_sweep(...), 20), Path("results.csv"))``.
    """
    rows = []
    for result in _started(results):
        config = TrialConfig.from_dict(result.config)
        for seed, records in seed_records(result).items():
            rows.append(_seed_row(result, config, seed, records, window))
    return sorted(rows, key=lambda row: row["trial"])


def unstarted_trials(results: Any) -> list[str]:
    """The trials that a sweep stopped before they started (Ctrl+C early, say).

    Tune gives such a trial a result without a config or metrics, so it has no row in
    ``trial_rows`` or ``episode_rows``; ``--resume`` runs it.

    Args:
        results: The ``ResultGrid`` of ``run_sweep`` (any iterable of Tune results).

    Returns:
        Their names (``trial_name``: the trial's folder), sorted.

    Example:
        ``unstarted_trials(results)`` after an interrupted ``run_sweep``: ``[]`` when every
        trial started.
    """
    return sorted(trial_name(result) for result in results if result.config is None)


def _started(results: Any) -> list[Any]:
    return [result for result in results if result.config is not None]


def _seed_row(
    result: Any, config: TrialConfig, seed: int, records: list[dict[str, Any]], window: int
) -> dict[str, Any]:
    returns = [float(record["return"]) for record in records[-window:]]
    if result.error is not None:
        status = f"error: {type(result.error).__name__}"
    elif any(_diverged(record) for record in records):
        status = "diverged"
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
    """One row per episode of every trial and seed of a ``ResultGrid``.

    A trial stopped before it started has no episode and no row (``unstarted_trials``).

    Args:
        results: The ``ResultGrid`` of ``run_sweep`` (any iterable of Tune results).

    Returns:
        The rows, with the columns ``EPISODE_FIELDS`` (``trial`` named as in ``trial_rows``),
        ordered by trial and episode.

    Raises:
        ValueError: A trial's config is not a valid ``TrialConfig``.

    Example:
        ``write_csv(episode_rows(results), Path("episodes.csv"))``.
    """
    rows = []
    for result in _started(results):
        config = TrialConfig.from_dict(result.config)
        for seed, records in seed_records(result).items():
            name = row_name(result, config, seed)
            for record in records:
                row = {"trial": name}
                row.update({field: record[field] for field in EPISODE_FIELDS[1:]})
                rows.append(row)
    return sorted(rows, key=lambda row: (row["trial"], row["episode"]))


def write_csv(rows: Sequence[Mapping[str, Any]], path: Path) -> None:
    """Writes `rows` as a CSV table with a header line, creating the folder.

    Args:
        rows: Dicts with the same keys, in the order of the columns; with none the file holds an
            empty header line.
        path: The file to write (replaced if it exists).

    Raises:
        OSError: The folder or the file cannot be written.
        ValueError: A row has a key the first row lacks.

    Examples:
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
