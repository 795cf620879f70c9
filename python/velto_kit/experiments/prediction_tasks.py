"""Prediction tasks as seeded streams of transitions with their targets, for ``run_prediction``.

Each task yields ``(features, cumulant, gamma, target)``: the active binary features of the new
state, the cumulant of the move into it, its discount, and the target of the prediction for the
new state, known to the task because it made the data:

- ``TrackingRegression``: online regression on 20 binary inputs of which 5 matter, one of
  those 5 flipping the sign of its weight every 200 steps (discount 0; the target is the next
  cumulant, noise included);
- ``RandomWalk``: the 19-state random walk, exits worth -1 and +1 (discount 1), features a bias,
  one of 4 coarse groups and the state's own; optionally the exit rewards swap sign every so
  many episodes; the target is the state's true value, computed exactly;
- ``SensorNexting``: a noisy sensor whose frequency drifts, the discounted sum of its future
  readings predicted from tile-coded recent readings and distractor bits (the target is that
  sum as it was realised, cut after 200 steps).

Equal seeds give equal streams, so a resumed run can be handed the same stream again.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from velto_kit import _native

__all__ = ["RandomWalk", "SensorNexting", "TrackingRegression"]

Item = tuple[list[int], float, float, float]


@dataclass(frozen=True)
class TrackingRegression:
    """Online regression whose target drifts: a relevant input's weight flips sign.

    Every step draws ``num_inputs`` binary inputs, each on with probability one half; the first
    ``relevant`` have weights of +1 or -1 (signs drawn from the seed), the rest weight 0; the
    weight of input 0 flips sign every ``flip_every`` steps. The target is ``w . x`` plus
    Gaussian noise of deviation ``noise``. With discount 0, transition ``t`` carries the
    features of ``x_t``, the target of ``x_{t-1}`` as its cumulant (0 at the first) and the
    target of ``x_t`` as the prediction's target.

    Example:
        >>> first, second, _ = TrackingRegression().transitions(seed=0, steps=3)
        >>> second[1] == first[3], first[2]
        (True, 0.0)
    """

    num_inputs: int = 20
    relevant: int = 5
    flip_every: int = 200
    noise: float = 0.1

    @property
    def num_features(self) -> int:
        """The agent's features: one per input."""
        return self.num_inputs

    def weights(self, seed: int) -> NDArray[np.float64]:
        """The weights at step 0 (before any flip)."""
        rng = np.random.default_rng([seed, 1])
        weights = np.zeros(self.num_inputs)
        weights[: self.relevant] = rng.choice([-1.0, 1.0], size=self.relevant)
        return weights

    def transitions(self, seed: int, steps: int) -> Iterator[Item]:
        """The stream's first `steps` transitions.

        Args:
            seed: The stream's seed.
            steps: The number of transitions.

        Yields:
            ``(features, cumulant, 0.0, target)``.
        """
        weights = self.weights(seed)
        rng = np.random.default_rng([seed, 2])
        previous = 0.0
        for step in range(steps):
            if step > 0 and step % self.flip_every == 0:
                weights[0] = -weights[0]
            inputs = rng.random(self.num_inputs) < 0.5
            target = float(weights[inputs].sum() + self.noise * rng.standard_normal())
            yield np.flatnonzero(inputs).tolist(), previous, 0.0, target
            previous = target


@dataclass(frozen=True)
class RandomWalk:
    """The 19-state random walk, stationary or with exit rewards that swap sign.

    Episodes start in the middle state (9) and move left or right with probability one half
    until they leave past state 0 (reward ``-1``) or past state 18 (reward ``+1``); with
    ``swap_every``, both signs swap after every that many episodes. Features: a bias (0), one
    of 4 coarse groups of neighbouring states (1 to 4) and the state's own (5 to 23). A move
    within the walk has cumulant 0 and discount 1; a move out has the exit's reward, discount 0
    and the next episode's first state as its new state.

    Example:
        >>> RandomWalk().true_values()[[0, 9, 18]].round(6).tolist()
        [-0.9, 0.0, 0.9]
    """

    states: int = 19
    swap_every: int | None = None
    groups: int = 4

    @property
    def num_features(self) -> int:
        """A bias, the coarse groups and one per state."""
        return 1 + self.groups + self.states

    def features(self, state: int) -> list[int]:
        """The active features of `state`."""
        return [0, 1 + state * self.groups // self.states, 1 + self.groups + state]

    def true_values(self, sign: float = 1.0) -> NDArray[np.float64]:
        """The states' values with exit rewards ``-sign`` and ``+sign``, solved exactly.

        The Bellman equations ``v(s) = (v(s-1) + v(s+1)) / 2``, an exit's value being its
        reward, as one linear system.
        """
        n = self.states
        matrix = np.eye(n)
        rewards = np.zeros(n)
        for state in range(n):
            for neighbour, exit_reward in ((state - 1, -sign), (state + 1, sign)):
                if 0 <= neighbour < n:
                    matrix[state, neighbour] -= 0.5
                else:
                    rewards[state] += 0.5 * exit_reward
        values: NDArray[np.float64] = np.linalg.solve(matrix, rewards)
        return values

    def transitions(self, seed: int, episodes: int) -> Iterator[Item]:
        """The transitions of `episodes` episodes, the first showing the first state.

        Args:
            seed: The walk's seed.
            episodes: The number of episodes.

        Yields:
            ``(features, cumulant, gamma, true value of the new state)``; the first transition
            shows the first state with cumulant 0 and discount 0.
        """
        rng = np.random.default_rng(seed)
        values = {1.0: self.true_values(1.0), -1.0: self.true_values(-1.0)}
        start = self.states // 2
        sign = 1.0
        state = start
        yield self.features(state), 0.0, 0.0, float(values[sign][state])
        for episode in range(episodes):
            while True:
                state += 1 if rng.random() < 0.5 else -1
                if 0 <= state < self.states:
                    yield self.features(state), 0.0, 1.0, float(values[sign][state])
                    continue
                reward = sign if state >= self.states else -sign
                if self.swap_every and (episode + 1) % self.swap_every == 0:
                    sign = -sign
                state = start
                yield self.features(state), reward, 0.0, float(values[sign][state])
                break

    def episode_starts(self, seed: int, episodes: int) -> list[int]:
        """The index of the transition that begins each episode (the first shows its state)."""
        starts = [0]
        for index, item in enumerate(self.transitions(seed, episodes)):
            if index > 0 and item[2] == 0.0:
                starts.append(index)
        return starts[:episodes]


@dataclass(frozen=True)
class SensorNexting:
    """Predicting the discounted sum of a drifting sensor's next readings.

    The sensor reads ``sin(phase)`` plus Gaussian noise of deviation ``noise``; its period
    drifts as a bounded random walk (log period steps of deviation ``drift``, kept between
    ``periods``). Features: a tile coding of the current reading and the one ``lag`` steps
    before it (``tilings``
    tilings of a ``tiles`` by ``tiles`` grid over [-1.5, 1.5]^2), then ``distractors`` bits each
    on with probability one half. The cumulant is the new reading, the discount ``gamma``; the
    target of a prediction is the discounted sum of the readings that follow it, as they came,
    cut after ``horizon`` of them.

    Example:
        >>> task = SensorNexting()
        >>> task.num_features, len(next(task.transitions(seed=0, steps=1)))
        (402, 4)
    """

    gamma: float = 0.9
    noise: float = 0.1
    drift: float = 0.02
    periods: tuple[float, float] = (20.0, 60.0)
    tilings: int = 8
    tiles: int = 6
    distractors: int = 10
    horizon: int = 200
    lag: int = 5

    @property
    def coded_features(self) -> int:
        """The tile coder's features (the distractors follow them)."""
        return int(self._coder().num_features)

    @property
    def num_features(self) -> int:
        """The tile coder's features and the distractors."""
        return self.coded_features + self.distractors

    def _coder(self) -> _native.TileCoder:
        return _native.TileCoder([-1.5, -1.5], [1.5, 1.5], self.tiles, self.tilings)

    def readings(self, seed: int, steps: int) -> NDArray[np.float64]:
        """The sensor's readings, `steps` of them, and `horizon` more for the last targets."""
        rng = np.random.default_rng([seed, 3])
        count = steps + self.horizon + self.lag + 1
        low, high = np.log(self.periods[0]), np.log(self.periods[1])
        log_period = rng.uniform(low, high)
        phase = rng.uniform(0.0, 2.0 * np.pi)
        readings = np.empty(count)
        for index in range(count):
            readings[index] = np.sin(phase) + self.noise * rng.standard_normal()
            log_period = float(np.clip(log_period + self.drift * rng.standard_normal(), low, high))
            phase += 2.0 * np.pi / np.exp(log_period)
        return readings

    def transitions(self, seed: int, steps: int) -> Iterator[Item]:
        """The stream's first `steps` transitions.

        Args:
            seed: The stream's seed.
            steps: The number of transitions.

        Yields:
            ``(features, reading, gamma, realised discounted sum of the next readings)``; the
            first has cumulant 0 and discount 0.
        """
        readings = self.readings(seed, steps)
        coder = self._coder()
        bits = np.random.default_rng([seed, 4]).random((steps, self.distractors)) < 0.5
        discounts = self.gamma ** np.arange(self.horizon)
        offset = self.coded_features
        lag = self.lag
        for index in range(steps):
            current = readings[index + lag]
            features = coder.active_features([current, readings[index]])
            features += (offset + np.flatnonzero(bits[index])).tolist()
            following = readings[index + lag + 1 : index + lag + 1 + self.horizon]
            target = float(discounts @ following)
            cumulant, gamma = (current, self.gamma) if index > 0 else (0.0, 0.0)
            yield features, float(cumulant), gamma, target
