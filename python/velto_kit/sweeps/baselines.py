"""A textbook baseline to measure the agent against: linear SARSA(lambda) with a fixed step size.

The learner reads the same sparse binary features as the agent (a list of active indices) and
keeps one weight per feature and action, so an action value is the sum of the weights of the
active features for that action. Choices made here, as in the usual tile-coding setup:

- step size: ``alpha`` divided by the number of active features of the state being updated, so
  that ``alpha`` is the fraction of the error corrected in one update when all traces but the
  current state's are zero (the common convention for tile coding);
- traces: replacing (a visited state-action's active features get trace 1), by default, or
  accumulating (they gain 1) with ``traces="accumulating"``;
- exploration: epsilon-greedy, ties among the greedy actions broken uniformly at random;
- initial action values ``initial_value`` (default 0): every weight starts at
  ``initial_value / features_per_state``, so a state with that many active features (the number
  of tilings of a tile coder, 1 for a one-hot code) starts at ``initial_value`` for every action.
  With rewards of -1 per step, as in MountainCar and Acrobot, 0 is already the optimistic start
  that drives the textbook method's exploration; where every reward is +1 (CartPole) 0 is
  pessimistic, and ``1 / (1 - gamma)``, the largest discounted return, is the optimistic one.

Traces are kept sparse: a trace that decays below ``trace_cutoff`` is set to 0 and dropped, so a
step costs time in proportion to the live traces, never to ``num_features``. With
``trace_cutoff=0`` nothing is dropped until it underflows to 0 and the result is exact linear
SARSA(lambda).
"""

from collections.abc import Sequence
from typing import Literal

import numpy as np

TraceKind = Literal["replacing", "accumulating"]


class SarsaLambda:
    """Linear SARSA(lambda) over sparse binary features, epsilon-greedy, NumPy.

    Episodes are expressed as the agent's loop expresses them: ``start`` begins an episode in a
    state; ``step`` learns from the transition into the next state and returns the action taken
    there. On termination ``step(first, reward, terminal=True)`` learns with target ``reward``
    and already begins the next episode in ``first`` (its first state), like the agent's
    ``gamma=0`` call. On truncation the caller bootstraps with ``step(final, reward)`` and then
    calls ``start(first)``; the action returned for ``final`` is used only as the bootstrap.

    Args:
        num_features: Number of features, at least 1: indices run from 0 to num_features - 1.
        num_actions: Number of actions, at least 1.
        alpha: Step size before it is divided by the number of active features; above 0.
        lambda_: Trace decay, in [0, 1].
        gamma: Discount, in [0, 1].
        epsilon: Probability of a uniformly random action, in [0, 1].
        seed: Seed of the learner's own ``numpy.random.Generator``.
        traces: ``"replacing"`` or ``"accumulating"``.
        trace_cutoff: Traces that decay to this or below are dropped; 0 or more.

    Raises:
        ValueError: A setting outside its range (the message names it and the value).

    Examples:
        >>> learner = SarsaLambda(num_features=4, num_actions=2, alpha=0.5, lambda_=0.9,
        ...                       gamma=1.0, epsilon=0.0, seed=0)
        >>> action = learner.start([0, 1])
        >>> action = learner.step([2, 3], reward=1.0, terminal=True)
        >>> # The action taken first learned 0.5 of the reward 1; the other is still 0.
        >>> float(learner.value([0, 1], 0) + learner.value([0, 1], 1))
        0.5
    """

    def __init__(
        self,
        num_features: int,
        num_actions: int,
        alpha: float,
        lambda_: float,
        gamma: float,
        epsilon: float,
        seed: int,
        *,
        traces: TraceKind = "replacing",
        trace_cutoff: float = 1e-4,
        initial_value: float = 0.0,
        features_per_state: int = 1,
    ) -> None:
        """Checks the settings and starts with zero weights (see the class's description)."""
        if num_features < 1:
            raise ValueError(f"num_features must be at least 1, got {num_features}")
        if num_actions < 1:
            raise ValueError(f"num_actions must be at least 1, got {num_actions}")
        if not alpha > 0.0:
            raise ValueError(f"alpha must be positive, got {alpha}")
        if not 0.0 <= lambda_ <= 1.0:
            raise ValueError(f"lambda_ must lie in [0, 1], got {lambda_}")
        if not 0.0 <= gamma <= 1.0:
            raise ValueError(f"gamma must lie in [0, 1], got {gamma}")
        if not 0.0 <= epsilon <= 1.0:
            raise ValueError(f"epsilon must lie in [0, 1], got {epsilon}")
        if traces not in ("replacing", "accumulating"):
            raise ValueError(f"traces must be 'replacing' or 'accumulating', got {traces!r}")
        if not trace_cutoff >= 0.0:
            raise ValueError(f"trace_cutoff must be 0 or more, got {trace_cutoff}")
        if not np.isfinite(initial_value):
            raise ValueError(f"initial_value must be finite, got {initial_value}")
        if features_per_state < 1:
            raise ValueError(f"features_per_state must be at least 1, got {features_per_state}")
        self.num_features = num_features
        self.num_actions = num_actions
        self.alpha = alpha
        self.lambda_ = lambda_
        self.gamma = gamma
        self.epsilon = epsilon
        self.traces = traces
        self.trace_cutoff = trace_cutoff
        self.weights = np.full((num_features, num_actions), initial_value / features_per_state)
        # Traces live in a flat array indexed by feature * num_actions + action; `live` lists
        # the flat indices whose trace is non-zero, so sweeps never touch the whole array.
        self._trace = np.zeros(num_features * num_actions)
        self._live = np.zeros(0, dtype=np.int64)
        self._is_live = np.zeros(num_features * num_actions, dtype=bool)
        self._rng = np.random.default_rng(seed)
        self._features = np.zeros(0, dtype=np.int64)
        self._action = -1

    def value(self, features: Sequence[int] | np.ndarray, action: int) -> float:
        """The action value of `action` in the state with these active features.

        Args:
            features: The state's active feature indices.
            action: An action, in ``[0, num_actions)``.

        Returns:
            The sum of the weights of `features` for `action`.

        Raises:
            IndexError: A feature index outside ``[0, num_features)``, or an `action` of
                ``num_actions`` or more (a negative one counts from the end, as NumPy does).

        Examples:
            >>> SarsaLambda(8, 2, 0.1, 0.9, 0.99, 0.1, seed=0).value([1, 5], 1)
            0.0
        """
        return float(self.weights[self._indices(features), action].sum())

    def start(self, features: Sequence[int] | np.ndarray) -> int:
        """Begins an episode in the state with these active features; returns its action.

        Clears the traces; learns nothing.

        Args:
            features: The first state's active feature indices.

        Returns:
            The epsilon-greedy action taken in that state.

        Raises:
            IndexError: A feature index outside ``[0, num_features)``.

        Examples:
            >>> SarsaLambda(8, 3, 0.1, 0.9, 0.99, 0.0, seed=0).start([1, 5]) in (0, 1, 2)
            True
        """
        self._clear_traces()
        self._features = self._indices(features)
        self._action = self._choose(self._features)[0]
        return self._action

    def step(
        self, features: Sequence[int] | np.ndarray, reward: float, terminal: bool = False
    ) -> int:
        """Learns from the transition into the state with these features; returns its action.

        With ``terminal=True`` the transition ends the episode (target ``reward``) and `features`
        are the next episode's first state, in which the returned action is taken.

        Args:
            features: The next state's active feature indices.
            reward: The reward of the transition.
            terminal: True if the transition ended the episode.

        Returns:
            The epsilon-greedy action taken in the state of `features`.

        Raises:
            RuntimeError: No ``start`` before the first step.
            IndexError: A feature index outside ``[0, num_features)``.

        Examples:
            >>> learner = SarsaLambda(8, 2, 0.1, 0.9, 0.99, 0.1, seed=0)
            >>> learner.start([1, 5]) in (0, 1)
            True
            >>> learner.step([3], reward=-1.0) in (0, 1)
            True
        """
        if self._action < 0:
            raise RuntimeError("step before start: call start(features) first")
        next_features = self._indices(features)
        self._enter(self._features, self._action)
        error = reward - float(self.weights[self._features, self._action].sum())
        if terminal:
            self._update(error, 0.0)
            return self.start(next_features)
        next_action, next_value = self._choose(next_features)
        self._update(error + self.gamma * next_value, self.gamma * self.lambda_)
        self._features = next_features
        self._action = next_action
        return next_action

    # -- internals -------------------------------------------------------------------------
    # A step costs a few dozen NumPy calls on arrays of a few hundred entries, so the hot path
    # avoids every call it can: tiny per-action vectors are handled as Python lists.

    def _indices(self, features: Sequence[int] | np.ndarray) -> np.ndarray:
        indices = np.asarray(features, dtype=np.int64).reshape(-1)
        # Negative indices turn into huge unsigned ones, so one maximum checks both ends.
        if indices.size and int(indices.view(np.uint64).max()) >= self.num_features:
            bad = indices[(indices < 0) | (indices >= self.num_features)][0]
            raise IndexError(f"feature index {bad} outside [0, {self.num_features})")
        return indices

    def _choose(self, features: np.ndarray) -> tuple[int, float]:
        """The epsilon-greedy action in this state and its value."""
        values = self.weights[features].sum(axis=0).tolist()
        if self.epsilon > 0.0 and self._rng.random() < self.epsilon:
            action = int(self._rng.integers(self.num_actions))
            return action, values[action]
        best = max(values)
        ties = [action for action, value in enumerate(values) if value == best]
        action = ties[int(self._rng.integers(len(ties)))] if len(ties) > 1 else ties[0]
        return action, best

    def _enter(self, features: np.ndarray, action: int) -> None:
        flat = features * self.num_actions + action
        entering = flat[~self._is_live[flat]]
        if entering.size > 1:
            entering = np.unique(entering)  # a feature repeated in the list is listed once
        self._is_live[entering] = True
        self._live = np.concatenate((self._live, entering))
        if self.traces == "replacing":
            self._trace[flat] = 1.0
        else:
            np.add.at(self._trace, flat, 1.0)

    def _update(self, error: float, decay: float) -> None:
        """Moves the weights along the traces, then decays the traces by `decay`.

        Traces that fall to the cutoff or below are dropped.
        """
        # The step size is alpha over the active features of the state being updated.
        step_size = self.alpha / max(self._features.size, 1)
        live = self._live
        traces = self._trace[live]
        self.weights.reshape(-1)[live] += (step_size * error) * traces
        traces *= decay
        keep = traces > self.trace_cutoff
        if keep.all():
            self._trace[live] = traces
            return
        self._trace[live] = np.where(keep, traces, 0.0)
        self._is_live[live[~keep]] = False
        self._live = live[keep]

    def _clear_traces(self) -> None:
        self._trace[self._live] = 0.0
        self._is_live[self._live] = False
        self._live = np.zeros(0, dtype=np.int64)
