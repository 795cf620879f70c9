"""The figure of a sweep: return per episode, one panel per task, one curve per setting."""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np

# Columns of a trial row that are results or names, not settings that tell curves apart.
_NOT_SETTINGS = {"trial", "seed", "env_id", "final_mean_return", "window", "episodes_done"}
_NOT_SETTINGS |= {"steps", "seconds", "status"}


def moving_average(values: Sequence[float], width: int) -> np.ndarray:
    """Trailing mean over up to `width` values, so the curve starts at the first episode.

    Args:
        values: The series, e.g. one trial's returns per episode.
        width: Number of values in each mean, at most.

    Returns:
        A float64 array as long as `values`.

    Examples:
        >>> moving_average([1.0, 3.0, 5.0], 2).tolist()
        [1.0, 2.0, 4.0]
    """
    cumulative = np.concatenate([[0.0], np.cumsum(values, dtype=np.float64)])
    ends = np.arange(1, len(values) + 1)
    starts = np.maximum(ends - width, 0)
    return (cumulative[ends] - cumulative[starts]) / (ends - starts)


def curve_labels(trials: Sequence[Mapping[str, Any]]) -> dict[str, str]:
    """A label per trial naming the settings that differ among `trials`.

    Seed and task aside, so trials that differ only in their seed share a label and a curve.

    Args:
        trials: Trial rows (``velto_kit.sweeps.sweep.trial_rows``), each with a ``trial`` name.

    Returns:
        The label of each trial, by its name.

    Examples:
        >>> curve_labels([{"trial": "a", "seed": 0, "alpha": 0.1, "eta": 1},
        ...               {"trial": "b", "seed": 1, "alpha": 0.01, "eta": 1}])
        {'a': 'alpha=0.1', 'b': 'alpha=0.01'}
    """
    keys = [key for key in trials[0] if key not in _NOT_SETTINGS] if trials else []
    varied = [key for key in keys if len({repr(trial[key]) for trial in trials}) > 1]
    return {
        trial["trial"]: ", ".join(f"{key}={trial[key]}" for key in varied) or "all trials"
        for trial in trials
    }


def plot_returns(
    trials: Sequence[Mapping[str, Any]],
    episodes: Sequence[Mapping[str, Any]],
    path: Path,
    smoothing: int = 20,
) -> None:
    """Draws the return per episode of every setting on every task and writes a PNG.

    Each curve is a `smoothing`-episode moving average of the mean over the setting's seeds, with
    their min-max range shaded; one panel per task. Needs Matplotlib.

    Args:
        trials: Trial rows, as ``velto_kit.sweeps.sweep.trial_rows`` gives them.
        episodes: Episode rows, as ``velto_kit.sweeps.sweep.episode_rows`` gives them.
        path: The PNG to write; its folder is created.
        smoothing: Episodes in each moving average.

    Examples:
        ``plot_returns(trial_rows(results, 20), episode_rows(results), Path("sweep.png"))``
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    returns: dict[str, list[float]] = defaultdict(list)
    for row in episodes:
        returns[row["trial"]].append(float(row["return"]))
    labels = curve_labels(trials)
    tasks = sorted({trial["env_id"] for trial in trials})
    figure, axes_list = plt.subplots(
        1, max(len(tasks), 1), figsize=(6.4 * max(len(tasks), 1), 3.8), dpi=100, squeeze=False
    )
    for task, axes in zip(tasks, axes_list[0], strict=False):
        curves: dict[str, list[np.ndarray]] = defaultdict(list)
        for trial in trials:
            if trial["env_id"] == task and returns[trial["trial"]]:
                curves[labels[trial["trial"]]].append(
                    moving_average(returns[trial["trial"]], smoothing)
                )
        for label, seeds in sorted(curves.items()):
            length = min(len(curve) for curve in seeds)
            stacked = np.array([curve[:length] for curve in seeds])
            x = np.arange(1, length + 1)
            seeds_text = f"{len(seeds)} seed" + ("s" if len(seeds) > 1 else "")
            line = axes.plot(x, stacked.mean(axis=0), label=f"{label} ({seeds_text})")
            axes.fill_between(
                x, stacked.min(axis=0), stacked.max(axis=0), alpha=0.25, color=line[0].get_color()
            )
        axes.set_title(task)
        axes.set_xlabel("episode")
        axes.set_ylabel(f"return ({smoothing}-episode moving average)")
        axes.legend(loc="best", fontsize="x-small")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)
