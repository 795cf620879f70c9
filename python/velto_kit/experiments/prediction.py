"""Online prediction: the agent's critic learning a value from a stream of transitions.

A prediction stream is what the agent sees when nobody acts: for each transition, the active
features of the state it moves into, the cumulant (the signal to predict, a reward) of the move
and its discount. ``run_prediction`` steps the agent once per transition and records, right after
each step, ``velto_kit.value(agent, features)``: its prediction for the state it is now in, made
before that state's own cumulant arrives. With discount 0 throughout this is online regression:
the cumulant of transition ``t + 1`` is the target of the prediction made at ``t``.

Its bookkeeping is ``run_episodes``' (``velto_kit.experiments.run_bookkeeping``): run checkpoints
with every prediction so far, the run folder's lock, a CSV log cut back on resume, so that a run
killed and resumed from its latest checkpoint gives the same predictions, the same log and the
same agent, byte for byte, as one that never stopped.

With ``callback``, the run reports its progress (``PredictionProgress``) and its agent every
``callback_every`` transitions, at each run checkpoint and at its end; the trackers of
``velto_kit.experiments.tracking`` take these calls as they take ``run_episodes``'. A callback
only looks: what the run computes is the same with one as without.
"""

from __future__ import annotations

import copy
import itertools
import json
import math
import platform
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from functools import partial
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velto_kit import _native
from velto_kit.experiments.divergence import diverged_warning
from velto_kit.experiments.episode_log import EpisodeLog
from velto_kit.experiments.run_bookkeeping import (
    check_checkpoint_options,
    claim_checkpoint_folder,
    write_run_checkpoint,
)
from velto_kit.experiments.training_run import check_same_run
from velto_kit.state.evaluation import value
from velto_kit.state.run_state import MemberState, RunState

__all__ = [
    "LOG_COLUMNS", "PredictionCallback", "PredictionProgress", "PredictionResult", "Transition",
    "run_prediction",
]  # fmt: skip

# One transition of a stream: the new state's features, the cumulant into it, its discount and,
# where the stream knows it, the target of the prediction for the new state.
Transition = tuple[Sequence[int], float, float] | tuple[Sequence[int], float, float, float]

LOG_COLUMNS = "step,prediction,target\n"


@dataclass(frozen=True, eq=False)
class PredictionResult:
    """What a prediction run predicted, and how far off it was where the stream knew the answer.

    Attributes:
        predictions: The prediction after each transition, ``float32`` with the exact bits
            ``velto_kit.value`` gave, in stream order (a resumed run's include those before
            its checkpoint).
        targets: Each prediction's target as the stream gave it (``float64``), or None for a
            stream without targets.
        errors: ``predictions - targets`` in ``float64``, or None without targets.
        diverged_at: The index of the first transition whose prediction or TD error is not
            finite, or whose prediction exceeds the run's bound (the run stopped there; its
            prediction is the last one), None if none was.
        checkpoint: The manifest of the last run checkpoint this call wrote, None if none.

    Example:
        >>> result = PredictionResult(np.zeros(2, np.float32), np.ones(2), -np.ones(2), None, None)
        >>> result.diverged, float(result.mean_squared_error())
        (False, 1.0)
    """

    predictions: NDArray[np.float32]
    targets: NDArray[np.float64] | None
    errors: NDArray[np.float64] | None
    diverged_at: int | None
    checkpoint: Path | None

    @property
    def diverged(self) -> bool:
        """Whether a prediction or TD error became non-finite (the run then stopped)."""
        return self.diverged_at is not None

    def mean_squared_error(self, start: int = 0) -> float:
        """The mean of the squared errors from transition `start` on.

        A diverged run scores ``inf``: its errors after the divergence were never made.

        Args:
            start: The first transition counted.

        Returns:
            The mean squared error (``inf`` for a diverged run, NaN when none is counted).

        Raises:
            ValueError: The stream gave no targets.
        """
        if self.errors is None:
            raise ValueError("the stream gave no targets, so there are no errors")
        if self.diverged:
            return float("inf")
        counted = self.errors[start:]
        return float(np.mean(np.square(counted))) if counted.size else float("nan")


@dataclass(frozen=True)
class PredictionProgress:
    """How far a prediction run has come, as its callback is told.

    Attributes:
        transitions: The transitions done (a resumed run's include those before its checkpoint).
        prediction: The latest prediction (as ``float``; 0.0 before the first).
        mean_squared_error: The mean squared error of the predictions so far, None for a stream
            without targets or before the first transition.
        mean_absolute_error: Their mean absolute error, likewise.
        seconds: Seconds since this call of ``run_prediction`` began (in this process).
        steps_per_second: Transitions done in this call per second of it (0.0 before any).
        checkpoint: The manifest of the run checkpoint written at this transition, else None.
        diverged: Whether the run stops here because its prediction or TD error diverged.
    """

    transitions: int
    prediction: float
    mean_squared_error: float | None
    mean_absolute_error: float | None
    seconds: float
    steps_per_second: float
    checkpoint: Path | None
    diverged: bool


# What run_prediction calls: (progress, agent).
PredictionCallback = Callable[[PredictionProgress, Any], None]


def _version(package: str) -> str | None:
    try:
        return version(package)
    except PackageNotFoundError:
        return None


def _description(agent: Any, learn: bool, settings: Mapping[str, Any] | None) -> dict[str, Any]:
    """What makes a prediction run the run it is; a resumed run must have the same."""
    description = {
        "loop": "prediction",
        "learn": bool(learn),
        "learner": type(agent).__name__,
        "num_features": int(getattr(agent, "num_features", None) or _native.num_features(agent)),
        "settings": dict(settings or {}),
    }
    plain: dict[str, Any] = json.loads(json.dumps(description))
    plain["versions"] = {
        "velto_actor_critic": _version("velto_actor_critic"),
        "numpy": _version("numpy"),
        "python": platform.python_version(),
    }
    return plain


def _unpack(item: Any, index: int, with_targets: bool | None) -> tuple[Any, float, float, Any]:
    """One transition's parts; every transition of a stream has a target or none has."""
    if not isinstance(item, tuple | list) or len(item) not in (3, 4):
        raise ValueError(
            f"transition {index} is {item!r}: a stream yields (features, cumulant, gamma) or"
            " (features, cumulant, gamma, target)"
        )
    if with_targets is not None and (len(item) == 4) != with_targets:
        has = "has" if len(item) == 4 else "lacks"
        raise ValueError(f"transition {index} {has} a target, unlike the stream's first")
    target = float(item[3]) if len(item) == 4 else None
    return item[0], float(item[1]), float(item[2]), target


def run_prediction(
    agent: Any,
    stream: Iterable[Transition],
    *,
    steps: int | None = None,
    learn: bool = True,
    bound: float | None = None,
    checkpoint_every: int | None = None,
    checkpoint_dir: Path | str | None = None,
    log: Path | str | None = None,
    resume: RunState | None = None,
    settings: Mapping[str, Any] | None = None,
    overwrite: bool = False,
    keep_last: int | None = None,
    callback: PredictionCallback | None = None,
    callback_every: int = 100,
) -> PredictionResult:
    """Runs `agent` over a stream of transitions and records its prediction after each.

    For each transition ``(features, cumulant, gamma[, target])`` the agent is stepped,
    ``agent.step(features, cumulant, gamma)``, and its prediction for the new state,
    ``velto_kit.value(agent, features)``, recorded: exactly what stepping by hand and asking
    ``value`` gives. With ``learn=False`` the agent is not stepped, only asked (a trained
    predictor scored on new data). An agent with units (``num_actions > 0``) is stepped the
    same way and its units draw as they would; only the critic's value is recorded. A baseline
    predictor of ``velto_kit.experiments.prediction_baselines`` (anything with ``step`` and
    ``value``) runs the same way, its predictions rounded to ``float32``; only an agent can be
    checkpointed.

    A transition's prediction or TD error (``cumulant + gamma * V(new) - V(old)``, in binary32)
    that is not finite ends the run there with a ``RuntimeWarning``: the result's
    ``diverged_at`` names the transition, and its prediction is the last one recorded. The
    critic's meta-learned step sizes often pull a run back from predictions of 10^20 before they
    overflow; with `bound`, a prediction larger than that in magnitude counts as diverged too.

    With `checkpoint_every`, a run checkpoint (``velto_kit.save_run``: the agent, every
    prediction so far, ``run-NNNNNN.json`` numbered by transitions done) is written after every
    such transition. With `log`, each transition is appended to that CSV file
    (``step,prediction,target``). To continue a killed run, pass
    ``resume=velto_kit.latest_run(checkpoint_dir)``, its ``resume.agent`` as `agent` and the same
    stream from its start (a seeded stream made afresh): the transitions the checkpoint holds
    are drawn from it and passed over, and the predictions, the log and the final agent equal
    an uninterrupted run's.

    Args:
        agent: A ``VeltoActorCritic`` (usually with ``num_actions=0``), or a predictor with
            ``step(features, cumulant, gamma)`` and ``value(features)``.
        stream: The transitions, each ``(features, cumulant, gamma)`` or with a fourth item,
            the target of the prediction for the new state (e.g. its true value).
        steps: The transitions of the whole run (a resumed run's included), at least 0; None
            runs until the stream ends.
        learn: Step the agent (True) or only ask its value (False).
        bound: A magnitude no sound prediction reaches (e.g. 1000 times the targets' range);
            None flags non-finite values only.
        checkpoint_every: Save a run checkpoint after every this many transitions (at least 1).
        checkpoint_dir: The folder of the run checkpoints; needed with `checkpoint_every`.
        log: A CSV file to which each transition's prediction and target are appended.
        resume: The run checkpoint to continue (``velto_kit.latest_run``); None starts afresh.
        settings: Plain data stored in the run's description (e.g. the stream's and the
            agent's settings); a resumed run must give the same.
        overwrite: For a fresh run into a `checkpoint_dir` that holds run checkpoints: remove
            them first; without it such a run stops.
        keep_last: Keep only this many run checkpoints (at least 1); None keeps all.
        callback: Called as ``callback(progress, agent)`` (a ``PredictionProgress`` and the
            agent) after every `callback_every` transitions, after each run checkpoint and once
            at the end (once for a transition that is several of these). It must not step the
            agent; a ``TensorBoardLogger`` or ``WandbLogger`` will do.
        callback_every: The transitions between calls of `callback` (at least 1).

    Returns:
        The predictions, targets and errors, and whether the run diverged.

    Raises:
        ValueError: `steps` below 0, `callback_every` below 1, a transition of another form,
            the checkpoint options (as ``run_episodes``), a `resume` of another run or agent,
            or a stream shorter than the checkpoint's transitions.
        RunFolderInUse: Another run holds `checkpoint_dir`.
        RunFolderHasRun: A fresh run's `checkpoint_dir` holds run checkpoints and `overwrite`
            is false.
        OSError: The checkpoint folder or the log cannot be created or written.

    Examples:
        >>> import velto_kit
        >>> from velto_kit import AgentSettings, make_agent
        >>> agent = make_agent(4, 0, AgentSettings(meta_step_size=0.0), seed=0)
        >>> stream = [([0, 1], 0.0, 0.0, 1.0), ([0, 2], 1.0, 0.0, 1.0)]
        >>> result = velto_kit.run_prediction(agent, stream)
        >>> result.predictions.tolist()
        [0.0, 0.09999999403953552]
    """
    if steps is not None and steps < 0:
        raise ValueError(f"steps must be at least 0, not {steps}")
    if callback_every < 1:
        raise ValueError(f"callback_every must be at least 1, not {callback_every}")
    check_checkpoint_options(checkpoint_every, checkpoint_dir, keep_last)
    description = _description(agent, learn, settings)
    done: list[float] = []
    if resume is not None:
        check_same_run(resume.description, description)
        if len(resume.members) != 1 or agent is not resume.members[0].agent:
            raise ValueError("a resumed run continues the checkpoint's agent: pass resume.agent")
        done = list(resume.members[0].returns)
        if steps is not None and len(done) > steps:
            raise ValueError(f"the run checkpoint holds {len(done)} transitions, more than {steps}")
    directory = None if checkpoint_every is None else Path(checkpoint_dir or ".")
    lock = claim_checkpoint_folder(directory, fresh=resume is None, overwrite=overwrite)
    try:
        run = _PredictionRun(agent, learn, description, done, resume)
        run.bound = math.inf if bound is None else float(bound)
        run.callback, run.callback_every = callback, callback_every
        run.run(iter(stream), steps, checkpoint_every, directory, log, keep_last)
    finally:
        if lock is not None:
            lock.release()
    return run.result()


class _PredictionRun:
    """The run's state as it goes: the predictions, targets and the last step's units."""

    def __init__(
        self,
        agent: Any,
        learn: bool,
        description: dict[str, Any],
        done: list[float],
        resume: RunState | None,
    ) -> None:
        self.agent, self.learn, self.description = agent, learn, description
        # The agent is asked through velto_kit.value; a baseline predictor has its own.
        self.value = getattr(agent, "value", None) or partial(value, agent)
        self.predictions: list[np.float32] = [np.float32(p) for p in done]
        self.targets: list[float | None] = []
        self.with_targets: bool | None = None
        self.taken: list[int] = [] if resume is None else list(resume.members[0].taken)
        self.diverged_at: int | None = None
        self.checkpoint: Path | None = None
        self.bound = math.inf
        self.callback: PredictionCallback | None = None
        self.callback_every = 100
        # The sums of the squared and absolute errors so far, and the transition and clock at
        # this call's start.
        self.squared = self.absolute = 0.0
        self.started = (0, time.perf_counter())
        self.reported = -1

    def _skip(self, transitions: Iterator[Any]) -> None:
        """Draws the transitions the checkpoint holds, keeping only their targets."""
        for index in range(len(self.predictions)):
            item = next(transitions, None)
            if item is None:
                raise ValueError(
                    f"the stream ends after {index} transitions; the run checkpoint holds"
                    f" {len(self.predictions)}: pass the same stream from its start"
                )
            target = self._unpack(item, index)[3]
            self.targets.append(target)
            self._count_error(self.predictions[index], target)
        self.started = (len(self.predictions), time.perf_counter())

    def _count_error(self, prediction: np.float32, target: float | None) -> None:
        if target is not None:
            error = float(prediction) - target
            self.squared += error * error
            self.absolute += abs(error)

    def _report(self, checkpoint: Path | None, diverged: bool) -> None:
        """Calls the callback with the progress after the predictions so far."""
        count = len(self.predictions)
        if self.callback is None or count == self.reported:
            return
        self.reported = count
        seconds = time.perf_counter() - self.started[1]
        done = count - self.started[0]
        scored = bool(self.with_targets and count)
        progress = PredictionProgress(
            count, float(self.predictions[-1]) if count else 0.0,
            self.squared / count if scored else None, self.absolute / count if scored else None,
            seconds, done / seconds if done and seconds > 0 else 0.0, checkpoint, diverged,
        )  # fmt: skip
        self.callback(progress, self.agent)

    def _unpack(self, item: Any, index: int) -> tuple[Any, float, float, Any]:
        parts = _unpack(item, index, self.with_targets)
        self.with_targets = parts[3] is not None
        return parts

    def run(
        self,
        transitions: Iterator[Any],
        steps: int | None,
        every: int | None,
        directory: Path | None,
        log: Path | str | None,
        keep_last: int | None,
    ) -> None:
        self._skip(transitions)
        text = LOG_COLUMNS + "".join(
            _log_line(index, prediction, target)
            for index, (prediction, target) in enumerate(
                zip(self.predictions, self.targets, strict=True)
            )
        )
        episode_log = None if log is None else EpisodeLog(log, text)
        try:
            self._steps(transitions, steps, every, directory, episode_log, keep_last)
            self._report(None, self.diverged_at is not None)
        finally:
            if episode_log is not None:
                episode_log.close()

    def _steps(
        self,
        transitions: Iterator[Any],
        steps: int | None,
        every: int | None,
        directory: Path | None,
        episode_log: EpisodeLog | None,
        keep_last: int | None,
    ) -> None:
        agent, learn, ask = self.agent, self.learn, self.value
        previous = self.predictions[-1] if self.predictions else np.float32(0.0)
        start = len(self.predictions)
        for index in itertools.count(start) if steps is None else range(start, steps):
            item = next(transitions, None)
            if item is None:
                break
            features, cumulant, gamma, target = self._unpack(item, index)
            error = np.float32(0.0)
            with np.errstate(over="ignore", invalid="ignore"):  # divergence is flagged below
                if learn:
                    before = np.float32(ask(features))
                    self.taken = agent.step(features, cumulant, gamma)
                    error = np.float32(cumulant) + np.float32(gamma) * before - previous
                prediction = np.float32(ask(features))
            self.predictions.append(prediction)
            self.targets.append(target)
            self._count_error(prediction, target)
            if episode_log is not None:
                episode_log.append_line(_log_line(index, prediction, target))
            if not (abs(prediction) <= self.bound and np.isfinite(error)):
                self.diverged_at = index
                diverged_warning(
                    f"the prediction or TD error at transition {index} is not finite or past"
                    f" the bound {self.bound}"
                )
                return
            previous = prediction
            written = None
            if every is not None and directory is not None and (index + 1) % every == 0:
                written = self.checkpoint = write_run_checkpoint(
                    directory, self.state(), episode_log, keep_last
                )
            if written is not None or (index + 1) % self.callback_every == 0:
                self._report(written, diverged=False)

    def state(self) -> RunState:
        """The run after its predictions so far, for ``save_run``.

        One member whose returns are the predictions, one transition each; it draws from no
        generator of its own, so its generator is a placeholder.
        """
        count = len(self.predictions)
        member = MemberState(
            self.agent, list(self.taken), np.random.default_rng(0), None,
            [float(p) for p in self.predictions], [1] * count, count,
        )  # fmt: skip
        return RunState(copy.deepcopy(self.description), 0, count, 0.0, [member])

    def result(self) -> PredictionResult:
        predictions = np.array(self.predictions, dtype=np.float32)
        targets = errors = None
        if self.with_targets:
            targets = np.array(self.targets, dtype=np.float64)
            errors = predictions.astype(np.float64) - targets
        return PredictionResult(predictions, targets, errors, self.diverged_at, self.checkpoint)


def _log_line(index: int, prediction: np.float32, target: float | None) -> str:
    r"""One line of a prediction log: the prediction and target in their shortest exact forms.

    Example:
        >>> _log_line(3, np.float32(0.5), None)
        '3,0.5,\n'
    """
    shown = "" if target is None else repr(target)
    return f"{index},{float(prediction)!r},{shown}\n"
