"""The statistics the fair study reports: bootstrap intervals over seeds, which differences the
intervals support, and how much of a step-size range comes close to a learner's best.

Every interval here is a percentile bootstrap over seeds: the seeds' final returns are resampled
with replacement, the mean taken each time, and the 2.5th and 97.5th percentiles of those means
kept. Its own generator (a fixed seed) makes every table reproducible to the digit.
"""

from __future__ import annotations

import math
import statistics
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

RESAMPLES = 10_000
BOOTSTRAP_SEED = 20_261_207


@dataclass(frozen=True)
class Interval:
    """A mean and its 95 % bootstrap interval."""

    mean: float
    low: float
    high: float

    def __str__(self) -> str:
        return f"{self.mean:.1f} [{self.low:.1f}, {self.high:.1f}]"


def bootstrap_ci(values: Sequence[float], *, level: float = 0.95) -> Interval:
    """The mean of `values` and its percentile bootstrap interval at `level`.

    One value gives an interval of zero width: there is nothing to resample, and the tables say
    how many seeds each cell has.

    Example:
        >>> str(bootstrap_ci([1.0, 1.0, 1.0]))
        '1.0 [1.0, 1.0]'
    """
    if not values:
        raise ValueError("bootstrap_ci needs at least one value, got none")
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie in (0, 1), got {level}")
    data = np.asarray(values, dtype=float)
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    means = data[rng.integers(data.size, size=(RESAMPLES, data.size))].mean(axis=1)
    tail = (1.0 - level) / 2.0
    low, high = np.quantile(means, [tail, 1.0 - tail])
    return Interval(float(data.mean()), float(low), float(high))


def difference_ci(first: Sequence[float], second: Sequence[float]) -> Interval:
    """Mean of `first` minus mean of `second`, with a 95 % bootstrap interval that resamples
    each group's seeds on its own (the learners' runs share seeds, not outcomes).

    Example:
        >>> str(difference_ci([3.0, 3.0], [1.0, 1.0]))
        '2.0 [2.0, 2.0]'
    """
    if not first or not second:
        raise ValueError("difference_ci needs values in both groups")
    a, b = np.asarray(first, dtype=float), np.asarray(second, dtype=float)
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    means_a = a[rng.integers(a.size, size=(RESAMPLES, a.size))].mean(axis=1)
    means_b = b[rng.integers(b.size, size=(RESAMPLES, b.size))].mean(axis=1)
    low, high = np.quantile(means_a - means_b, [0.025, 0.975])
    return Interval(float(a.mean() - b.mean()), float(low), float(high))


def verdict(difference: Interval, first: str, second: str) -> str:
    """Which learner the interval of their difference puts ahead, or that it shows none: an
    interval that touches 0 calls no difference.

    Example:
        >>> verdict(Interval(5.0, 1.0, 9.0), "agent", "SARSA")
        'agent ahead'
        >>> verdict(Interval(5.0, 0.0, 9.0), "agent", "SARSA")
        'no difference shown'
    """
    if difference.low > 0.0:
        return f"{first} ahead"
    if difference.high < 0.0:
        return f"{second} ahead"
    return "no difference shown"


def check_disjoint(tuning: Sequence[int], reported: Sequence[int]) -> None:
    """Reported numbers must come from seeds tuning never saw: ValueError naming the shared ones.

    Example:
        >>> check_disjoint([100], [0, 100])
        Traceback (most recent call last):
        ValueError: seeds [100] are used both for tuning and for the reported runs
    """
    shared = sorted(set(tuning) & set(reported))
    if shared:
        raise ValueError(f"seeds {shared} are used both for tuning and for the reported runs")


def near_best_fraction(
    step_sizes: Sequence[float], returns: Sequence[float], floor: float, *, within: float = 0.1
) -> float:
    """How much of the log step-size range reaches within `within` of the best return: the
    fraction of ``[log10 min, log10 max]`` where the curve, drawn straight between measured
    points, stays at or above ``best - within * |best|``. 1 means any step size in the range
    does; a small value means the learner needs its step size found. A curve whose best is not
    above `floor` (the random policy's return) learned nowhere, and gives 0.

    Example:
        >>> near_best_fraction([0.01, 0.1, 1.0], [0.0, 10.0, 10.0], floor=0.0)
        0.55
    """
    if len(step_sizes) != len(returns) or len(step_sizes) < 2:
        raise ValueError("near_best_fraction needs two or more step sizes, one return each")
    x = np.log10(np.asarray(step_sizes, dtype=float))
    if np.any(np.diff(x) <= 0.0):
        raise ValueError(f"step_sizes must increase, got {list(step_sizes)}")
    y = np.asarray(returns, dtype=float)
    best = float(y.max())
    if not best > floor or not math.isfinite(best):
        return 0.0
    threshold = best - within * abs(best)
    covered = 0.0
    for x0, x1, y0, y1 in zip(x[:-1], x[1:], y[:-1], y[1:], strict=True):
        width = x1 - x0
        if y0 >= threshold and y1 >= threshold:
            covered += width
        elif y0 >= threshold or y1 >= threshold:
            # The straight line crosses the threshold once inside this segment.
            crossing = (threshold - y0) / (y1 - y0)
            covered += width * (crossing if y0 >= threshold else 1.0 - crossing)
    return float(covered / (x[-1] - x[0]))


def expected_best_of_k(scores: Sequence[float], k: int) -> float:
    """The expected best of `k` scores drawn without replacement from `scores`, exactly.

    Sorted ascending, the i-th smallest of n scores (i counted from 1) is the best of a draw
    when the draw holds it and k - 1 of the i - 1 below it: C(i - 1, k - 1) of the C(n, k)
    equally likely draws. No sampling, so the number is the same on every run.

    Example:
        >>> expected_best_of_k([1.0, 2.0, 3.0], 2)
        2.6666666666666665
    """
    n = len(scores)
    if not 1 <= k <= n:
        raise ValueError(f"k must lie in [1, {n}], got {k}")
    ordered = sorted(float(score) for score in scores)
    draws = math.comb(n, k)
    return math.fsum(ordered[i - 1] * math.comb(i - 1, k - 1) / draws for i in range(k, n + 1))


def expected_best_curve(
    table: Sequence[Sequence[float]] | np.ndarray, *, level: float = 0.95, resamples: int = 2000
) -> list[Interval]:
    """``expected_best_of_k`` for k = 1 .. n over n candidates, each with its bootstrap interval.

    `table` holds one row per candidate, one column per tuning seed (a candidate's score is its
    mean over the seeds). The point is the exact expectation over candidates; the interval
    resamples the tuning seeds with replacement, the same columns for every candidate since
    each seed ran them all, and takes the percentiles of the recomputed expectation.

    Example:
        >>> [str(i) for i in expected_best_curve([[1.0, 1.0], [3.0, 3.0]])]
        ['2.0 [2.0, 2.0]', '3.0 [3.0, 3.0]']
    """
    data = np.asarray(table, dtype=float)
    if data.ndim != 2 or data.size == 0:
        raise ValueError("expected_best_curve needs a candidates x seeds table")
    rng = np.random.default_rng(BOOTSTRAP_SEED)
    picks = rng.integers(data.shape[1], size=(resamples, data.shape[1]))
    resampled = [data[:, pick].mean(axis=1) for pick in picks]
    tail = (1.0 - level) / 2.0
    curve = []
    for k in range(1, data.shape[0] + 1):
        values = [expected_best_of_k(scores.tolist(), k) for scores in resampled]
        low, high = np.quantile(values, [tail, 1.0 - tail])
        point = expected_best_of_k(data.mean(axis=1).tolist(), k)
        curve.append(Interval(point, float(low), float(high)))
    return curve


def trailing_means(returns: Sequence[float], window: int) -> np.ndarray:
    """Mean of each full run of `window` episodes: entry j covers episodes j .. j + window - 1.

    Example:
        >>> trailing_means([1.0, 2.0, 3.0, 4.0], 2).tolist()
        [1.5, 2.5, 3.5]
    """
    values = np.asarray(returns, dtype=float)
    if window < 1 or values.size < window:
        raise ValueError(f"need at least window={window} returns, got {values.size}")
    cumulative = np.concatenate([[0.0], np.cumsum(values)])
    return (cumulative[window:] - cumulative[:-window]) / window


def episodes_to_plateau(
    returns: Sequence[float], floor: float, *, final_window: int, window: int = 20,
    share: float = 0.95,
) -> int | None:  # fmt: skip
    """How many episodes a run takes to reach `share` of its own plateau: the number of the
    last episode of the first `window`-episode mean at or above ``floor + share * (plateau -
    floor)``, where the plateau is the mean of the last `final_window` episodes and `floor` the
    random policy's level (so that negative returns work as positive ones do). None for a run
    whose plateau is not above the floor: it has no rise to measure.

    Example:
        >>> episodes_to_plateau([0.0, 0.0, 10.0, 10.0, 10.0], 0.0, final_window=2, window=1)
        3
    """
    plateau = statistics.fmean(returns[-final_window:])
    if not plateau > floor:
        return None
    threshold = floor + share * (plateau - floor)
    means = trailing_means(returns, window)
    reached = np.flatnonzero(means >= threshold)
    return int(reached[0]) + window


def recovery_after_change(
    returns: Sequence[float], change_at: int, *, window: int = 20, margin: float = 0.1
) -> int | None:
    """Episodes after a change at episode `change_at` until a run is back near its earlier level.

    The earlier level is the mean of the `window` episodes before the change; back means a
    `window`-episode mean, wholly after the change, at or above ``level - margin * |level|``
    (within 10 % of the earlier level at the default `margin`). The count runs to the last
    episode of that window, so `window` is the least it can be. None: not back by the end of
    the run.

    Example:
        >>> recovery_after_change([10.0, 10.0, 0.0, 0.0, 9.5, 10.0], 2, window=2)
        4
    """
    if not window <= change_at <= len(returns) - window:
        raise ValueError(f"change_at={change_at} leaves no full window before and after it")
    level = statistics.fmean(returns[change_at - window : change_at])
    threshold = level - margin * abs(level)
    means = trailing_means(returns[change_at:], window)
    back = np.flatnonzero(means >= threshold)
    return None if back.size == 0 else int(back[0]) + window
