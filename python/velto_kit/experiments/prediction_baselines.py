"""Linear predictors to compare the agent's critic with, written from their published updates.

Each predicts ``w . x`` for binary features ``x`` (the active indices, one term per occurrence)
and learns from the same transitions ``(features, cumulant, gamma)`` as the agent, with the
TD error ``delta = cumulant + gamma * w . x' - w . x`` of the move from the previous state ``x``
to the new one ``x'``, and an accumulating trace ``e`` (decayed by ``gamma * lambda_``, then the
new state's features added). With ``gamma = 0`` on every transition the trace is the previous
state's features and each rule is its supervised original, with the cumulant as the target:

- ``TDLambda``: fixed-step TD(lambda); least mean squares (LMS) at ``lambda_ = 0``, ``gamma = 0``;
  ``normalised=True`` divides each state's addition to the trace by its number of active
  features (normalised LMS);
- ``IDBD``: a step size per weight, ``exp(beta_i)``, learned by incremental delta-bar-delta;
  with traces, the trace takes the input's place (the TD form of the same update);
- ``Autostep``: IDBD's meta-gradient normalised by a running bound ``v_i`` on its size and the
  effective step size ``sum(alpha_i x_i^2)`` kept at most 1; the trace takes the input's place
  as for IDBD.

Every learner is ``float64`` and has ``step`` and ``value``, so ``run_prediction`` runs it as it
runs the agent.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

__all__ = ["IDBD", "Autostep", "TDLambda"]


class TDLambda:
    """Fixed-step TD(lambda) with accumulating traces; LMS and normalised LMS at ``gamma = 0``.

    Per transition: ``delta = c + gamma * w.x' - w.x``, ``w += alpha * delta * e``, then
    ``e = gamma * lambda_ * e + x'`` (``x' / |x'|`` when normalised).

    Example:
        >>> lms = TDLambda(2, alpha=0.5)
        >>> for features, cumulant in (([0, 1], 0.0), ([0], 1.0), ([1], 2.0)):
        ...     _ = lms.step(features, cumulant, 0.0)
        >>> lms.weights.tolist()
        [1.25, 0.5]
    """

    def __init__(
        self, num_features: int, *, alpha: float, lambda_: float = 0.0, normalised: bool = False
    ) -> None:
        """Starts with every weight, trace and memory at 0 and every step size `alpha`.

        Args:
            num_features: Number of binary features.
            alpha: The step size.
            lambda_: The trace decay.
            normalised: Divide each state's features by their count as they enter the trace.
        """
        self.num_features = num_features
        self.alpha, self.lambda_, self.normalised = alpha, lambda_, normalised
        self.weights = np.zeros(num_features)
        self.trace = np.zeros(num_features)
        self.inputs = np.zeros(num_features)  # the previous state's feature counts
        self.previous = np.zeros(0, dtype=np.intp)

    def value(self, features: Sequence[int]) -> float:
        """The prediction ``w . x`` for the state with these active features."""
        return float(self.weights[np.asarray(features, dtype=np.intp)].sum())

    def step(self, features: Sequence[int], cumulant: float, gamma: float) -> list[int]:
        """Learns from the move into the state with `features`; returns no units.

        Args:
            features: The new state's active features.
            cumulant: The cumulant of the move.
            gamma: Its discount.

        Returns:
            An empty list (a predictor takes no actions).
        """
        new = np.asarray(features, dtype=np.intp)
        delta = cumulant + gamma * self.weights[new].sum() - self.weights[self.previous].sum()
        self._learn(float(delta))
        self.trace *= gamma * self.lambda_
        self.inputs[:] = 0.0
        np.add.at(self.inputs, new, 1.0)
        scale = 1.0 / max(1, new.size) if self.normalised else 1.0
        np.add.at(self.trace, new, scale)
        self.previous = new
        return []

    def _learn(self, delta: float) -> None:
        self.weights += self.alpha * delta * self.trace


class IDBD(TDLambda):
    """Incremental delta-bar-delta: a learned step size ``exp(beta_i)`` per weight.

    Per transition, with ``x`` the previous state's features and ``e`` the trace:
    ``beta += theta * delta * e * h``, ``alpha = exp(beta)``, ``w += alpha * delta * e``,
    ``h = h * max(0, 1 - alpha * x * e) + alpha * delta * e``.

    Example:
        >>> idbd = IDBD(2, alpha=0.5, theta=0.5)
        >>> for features, cumulant in (([0, 1], 0.0), ([0], 1.0), ([1], 2.0)):
        ...     _ = idbd.step(features, cumulant, 0.0)
        >>> round(float(idbd.weights[0]), 6)
        1.591244
    """

    def __init__(
        self, num_features: int, *, alpha: float, theta: float, lambda_: float = 0.0
    ) -> None:
        """Starts with every weight, trace and memory at 0 and every step size `alpha`.

        Args:
            num_features: Number of binary features.
            alpha: Every weight's first step size (``beta = log(alpha)``).
            theta: The meta step size.
            lambda_: The trace decay.
        """
        super().__init__(num_features, alpha=alpha, lambda_=lambda_)
        self.theta = theta
        self.beta = np.full(num_features, np.log(alpha))
        self.h = np.zeros(num_features)

    def _learn(self, delta: float) -> None:
        trace = self.trace
        self.beta += self.theta * delta * trace * self.h
        step = np.exp(self.beta)
        self.weights += step * delta * trace
        self.h = self.h * np.maximum(0.0, 1.0 - step * self.inputs * trace) + step * delta * trace


class Autostep(TDLambda):
    """Autostep: IDBD's meta-gradient normalised, the effective step size kept at most 1.

    Per transition, with ``x`` the previous state's features and ``e`` the trace (``g =
    delta * e * h``): ``v = max(|g|, v + alpha * x * e * (|g| - v) / tau)``; where ``e != 0``
    and ``v > 0``, ``alpha *= exp(mu * g / v)``; ``M = max(sum(alpha * x * e), 1)`` and
    ``alpha /= M`` where ``e != 0``; ``w += alpha * delta * e``;
    ``h = h * (1 - alpha * x * e) + alpha * delta * e``.

    Example:
        >>> auto = Autostep(2, alpha=0.75, mu=0.5)
        >>> for features, cumulant in (([0, 1], 0.0), ([0], 1.0), ([1], 2.0)):
        ...     _ = auto.step(features, cumulant, 0.0)
        >>> round(float(auto.weights[0]), 6)
        1.736541
    """

    def __init__(
        self,
        num_features: int,
        *,
        alpha: float,
        mu: float,
        tau: float = 1e4,
        lambda_: float = 0.0,
    ) -> None:
        """Starts with every weight, trace and memory at 0 and every step size `alpha`.

        Args:
            num_features: Number of binary features.
            alpha: Every weight's first step size.
            mu: The meta step size.
            tau: The time scale of the bound ``v``.
            lambda_: The trace decay.
        """
        super().__init__(num_features, alpha=alpha, lambda_=lambda_)
        self.mu, self.tau = mu, tau
        self.step_sizes = np.full(num_features, alpha)
        self.h = np.zeros(num_features)
        self.v = np.zeros(num_features)

    def _learn(self, delta: float) -> None:
        trace, step = self.trace, self.step_sizes
        active = trace != 0.0
        gradient = delta * trace * self.h
        size = np.abs(gradient)
        self.v = np.maximum(size, self.v + step * self.inputs * trace * (size - self.v) / self.tau)
        grow = active & (self.v > 0.0)
        step[grow] *= np.exp(self.mu * gradient[grow] / self.v[grow])
        effective = max(float(np.sum(step * self.inputs * trace)), 1.0)
        step[active] /= effective
        self.weights += step * delta * trace
        self.h = self.h * (1.0 - step * self.inputs * trace) + step * delta * trace
