"""Experiment tracking: what a run shows TensorBoard or Weights & Biases, through one callback.

``run_episodes(..., callback=...)`` and ``run_population(..., callback=...)`` call
``callback(result, agent)`` after every episode, with the episode's result and the agent that ran
it (on a native run, the agent as of its latest hand-over, which each checkpoint is). Any callable
of that shape will do; the two trackers here log:

- per episode: its return, its length and the agent steps per second of the run so far (in
  this process; a native run's clock advances at its hand-overs);
- every `every` episodes of an agent (and at each of its run checkpoints): histograms and
  quantiles of the critic's and each unit's step sizes (over the features that have entered a
  trace) and weights, and how many of each are near zero (below ``NEAR_ZERO`` in magnitude).

``TensorBoardLogger`` writes TensorBoard event files with tensorboardX (the ``[tensorboard]``
extra); ``WandbLogger`` logs to a Weights & Biases run (the ``[wandb]`` extra; with
``WANDB_MODE=offline`` it writes the run to disk and needs no network). Neither package is
imported until a tracker is made.

The same trackers take ``run_prediction(..., callback=...)``'s calls, ``callback(progress,
agent)`` with a ``PredictionProgress``, every ``callback_every`` transitions, at each run
checkpoint and at the end; each call logs, at its count of transitions: the latest prediction, the
mean squared and absolute errors so far (for a stream with targets), the transitions per second,
and the histograms, quantiles and near-zero counts above (for an agent; a baseline predictor's
scalars only). A tracker follows one run: episodes or transitions, not both.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
from velto_actor_critic import VeltoActorCritic

from velto_kit.state.inspection import LearnerState, inspect

# A step size or weight whose magnitude is below this counts as near zero.
NEAR_ZERO = 1e-6
QUANTILES = (0.05, 0.25, 0.5, 0.75, 0.95)


# What run_episodes and run_population call after every episode: (result, agent).
EpisodeCallback = Callable[[Any, Any], None]


def learner_arrays(learner: LearnerState) -> dict[str, np.ndarray]:
    """The learner's step sizes and weights as float64 arrays.

    The learner's step sizes over the features that have entered a trace, and all its
    weights, as float64 arrays (copies: the agent may go on learning).
    """
    visited = np.asarray(learner.entry_step) != 0
    return {
        "step_sizes": np.array(learner.step_sizes, dtype=np.float64)[visited],
        "weights": np.array(learner.weights, dtype=np.float64),
    }


def agent_arrays(agent: Any) -> dict[str, dict[str, np.ndarray]]:
    """`learner_arrays` of the critic (``"critic"``) and of each unit (``"unit 0"``, ...)."""
    state = inspect(agent)
    arrays = {"critic": learner_arrays(state.critic)}
    for index, unit in enumerate(state.units):
        arrays[f"unit {index}"] = learner_arrays(unit)
    return arrays


def critic_metrics(agent: Any) -> dict[str, float]:
    """The `summary` of the critic's step sizes and weights, named as the trackers tag them.

    E.g. ``"critic/step_sizes/q50"`` or ``"critic/weights/near_zero"``: what a sweep's trial
    adds to its reports.
    """
    arrays = learner_arrays(inspect(agent).critic)
    return {
        f"critic/{kind}/{key}": value
        for kind, array in arrays.items()
        for key, value in summary(array).items()
    }


def summary(values: np.ndarray) -> dict[str, float]:
    """Count, quantiles, extremes and the near-zero count of `values` (NaN where empty).

    Examples:
        >>> s = summary(np.array([0.0, 1e-7, 0.5, 1.0]))
        >>> s["count"], s["near_zero"], s["max"]
        (4.0, 2.0, 1.0)
    """
    result = {"count": float(values.size), "near_zero": float(np.sum(np.abs(values) < NEAR_ZERO))}
    finite = values[np.isfinite(values)]
    for quantile in QUANTILES:
        key = f"q{round(quantile * 100):02d}"
        result[key] = float(np.quantile(finite, quantile)) if finite.size else float("nan")
    result["min"] = float(finite.min()) if finite.size else float("nan")
    result["max"] = float(finite.max()) if finite.size else float("nan")
    return result


class _Tracker:
    """The bookkeeping both trackers share: per-episode rates and when histograms are due."""

    def __init__(self, every: int, prefixes: Sequence[str] | None) -> None:
        if every < 1:
            raise ValueError(f"every must be at least 1, not {every}")
        self.every = every
        self.prefixes = None if prefixes is None else list(prefixes)
        # Per agent (its index in a population, 0 alone): its steps before the first episode
        # tracked.
        self.first_steps: dict[int, int] = {}
        # What the logged steps count: episodes, or a prediction run's transitions.
        self.axis = "episode"

    def __call__(self, result: Any, agent: Any) -> None:
        if hasattr(result, "transitions"):
            self.prediction(result, agent)
            return
        index = int(getattr(result, "agent", 0))
        if self.prefixes is not None:
            prefix = self.prefixes[index]
        else:
            prefix = f"agent_{index}/" if hasattr(result, "agent") else ""
        # The run's seconds count from its start in this process (a resumed run's too), and a
        # native run's advance only at its hand-overs: the rate is over the run so far.
        first_steps = self.first_steps.setdefault(index, result.steps - result.length)
        values = {
            f"{prefix}episode/return": float(result.return_),
            f"{prefix}episode/length": float(result.length),
        }
        if result.seconds > 0:
            rate = (result.steps - first_steps) / result.seconds
            values[f"{prefix}episode/steps_per_second"] = rate
        episode = int(result.episode)
        self.scalars(values, episode + 1)
        if (episode + 1) % self.every == 0 or getattr(result, "checkpoint", None) is not None:
            self.learners(prefix, agent, episode + 1)

    def prediction(self, progress: Any, agent: Any) -> None:
        """Logs a prediction run's progress and, for an agent, its learners' statistics.

        Args:
            progress: The ``PredictionProgress`` of ``run_prediction``'s callback.
            agent: The run's agent (or baseline predictor).
        """
        self.axis = "transition"
        step = int(progress.transitions)
        values = {"prediction/value": float(progress.prediction)}
        for key in ("mean_squared_error", "mean_absolute_error", "steps_per_second"):
            value = getattr(progress, key)
            if value is not None and (key != "steps_per_second" or value > 0):
                values[f"prediction/{key}"] = float(value)
        self.scalars(values, step)
        if isinstance(agent, VeltoActorCritic):
            self.learners("", agent, step)

    def learners(self, prefix: str, agent: Any, step: int) -> None:
        """Logs the histograms and summaries of the critic's and each unit's arrays."""
        for learner, arrays in agent_arrays(agent).items():
            for kind, array in arrays.items():
                # TensorBoard's tags hold no spaces.
                tag = f"{prefix}{learner.replace(' ', '_')}/{kind}"
                self.histogram(tag, array, step)
                self.scalars({f"{tag}/{key}": value for key, value in summary(array).items()}, step)

    def scalars(self, values: Mapping[str, float], episode: int) -> None:
        raise NotImplementedError

    def histogram(self, tag: str, values: np.ndarray, episode: int) -> None:
        raise NotImplementedError


def _require(module: str, extra: str) -> Any:
    """Imports `module`, or says which extra brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f'{module} is not installed: pip install "velto_actor_critic[{extra}]"'
        ) from error


class TensorBoardLogger(_Tracker):
    """Writes a run's episodes and its agents' statistics as TensorBoard event files.

    Args:
        log_dir: The folder of the event files (``tensorboard --logdir`` shows it).
        every: Histograms every this many episodes of an agent, and at its checkpoints.
        prefixes: Each agent's tag prefix, by its index in the population (e.g. ``"seed_3/"``);
            None: ``"agent_i/"`` for a population's agents, none for a single agent's run.

    Raises:
        ImportError: tensorboardX is not installed (the message names the extra).
        ValueError: `every` below 1.

    Example:
        >>> import tempfile, velto_kit
        >>> from velto_kit.experiments.tracking import TensorBoardLogger
        >>> with TensorBoardLogger(tempfile.mkdtemp(), every=10) as logger:
        ...     pass
    """

    def __init__(
        self, log_dir: str | Any, *, every: int = 100, prefixes: Sequence[str] | None = None
    ) -> None:
        """Opens the event file writer."""
        super().__init__(every, prefixes)
        writer_module = _require("tensorboardX", "tensorboard")
        self.writer = writer_module.SummaryWriter(str(log_dir))

    def scalars(self, values: Mapping[str, float], episode: int) -> None:
        """Writes each value under its tag at `episode`."""
        for tag, value in values.items():
            self.writer.add_scalar(tag, value, episode)

    def histogram(self, tag: str, values: np.ndarray, episode: int) -> None:
        """Writes the histogram of the finite `values` (none written for none)."""
        finite = values[np.isfinite(values)]
        if finite.size:
            self.writer.add_histogram(tag, finite, episode)

    def close(self) -> None:
        """Flushes and closes the event files."""
        self.writer.close()

    def __enter__(self) -> TensorBoardLogger:
        """The logger, closed at the end of the ``with`` block."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Closes the logger."""
        self.close()


class WandbLogger(_Tracker):
    """Logs a run's episodes and its agents' statistics to a Weights & Biases run.

    Args:
        project: The W&B project.
        group: The run's group (e.g. the command's task), or None.
        name: The run's name, or None for W&B's own.
        config: The run's settings, shown with it.
        every: Histograms every this many episodes of an agent, and at its checkpoints.
        directory: Where W&B keeps the run's files (``WANDB_MODE=offline`` keeps all of it there).
        prefixes: Each agent's tag prefix, as for ``TensorBoardLogger``.

    Raises:
        ImportError: wandb is not installed (the message names the extra).
        ValueError: `every` below 1.
    """

    def __init__(
        self,
        project: str,
        *,
        group: str | None = None,
        name: str | None = None,
        config: Mapping[str, Any] | None = None,
        every: int = 100,
        directory: str | None = None,
        prefixes: Sequence[str] | None = None,
    ) -> None:
        """Starts the W&B run."""
        super().__init__(every, prefixes)
        self.wandb = _require("wandb", "wandb")
        self.run = self.wandb.init(
            project=project, group=group, name=name, config=dict(config or {}), dir=directory,
            reinit="create_new",
        )  # fmt: skip
        self.defined = False

    def log(self, values: Mapping[str, Any], step: int) -> None:
        """Logs `values` at `step` of the run's axis (episodes, or transitions)."""
        if not self.defined:
            # Every value's x-axis is the axis, fixed at the first log.
            self.run.define_metric(self.axis)
            self.run.define_metric("*", step_metric=self.axis)
            self.defined = True
        self.run.log({**values, self.axis: step})

    def scalars(self, values: Mapping[str, float], episode: int) -> None:
        """Logs the values with the episode (or transition) as their step metric."""
        self.log(values, episode)

    def histogram(self, tag: str, values: np.ndarray, episode: int) -> None:
        """Logs the histogram of the finite `values` (none logged for none)."""
        finite = values[np.isfinite(values)]
        if finite.size:
            self.log({tag: self.wandb.Histogram(finite)}, episode)

    def close(self) -> None:
        """Finishes the W&B run."""
        self.run.finish()

    def __enter__(self) -> WandbLogger:
        """The logger, finished at the end of the ``with`` block."""
        return self

    def __exit__(self, *exc: object) -> None:
        """Finishes the run."""
        self.close()


def with_callback(
    results: Iterable[Any], callback: EpisodeCallback, agent_of: Callable[[Any], Any]
) -> Iterator[Any]:
    """`results`, each passed to ``callback(result, agent_of(result))`` before it is yielded."""
    for result in results:
        callback(result, agent_of(result))
        yield result


def chain(*callbacks: Callable[[Any, Any], None] | None) -> Callable[[Any, Any], None] | None:
    """One callback that calls each given one in turn (None when none is given)."""
    given = [callback for callback in callbacks if callback is not None]
    if not given:
        return None

    def call_all(result: Any, agent: Any) -> None:
        for callback in given:
            callback(result, agent)

    return call_all
