"""The agent written as a good NumPy user would write it, as the baseline of the step benchmark.

Each learner keeps one float32 array per quantity. The trace sweep works on the index array of the
live traces with fancy indexing and prunes with a boolean mask; the entry pass is vectorised when
the state's indices are distinct and falls back to one occurrence at a time when one repeats, since
a repeated index must see what its earlier occurrence wrote.

It follows the module's formulas and their bracketing, but it is not bit-exact: NumPy sums a
state's terms pairwise rather than in list order, and its float32 exp and log may differ from the
platform's in the last bit. Its decisions are compared with the module's by the benchmark.
A feature listed twice in a trace list (possible only when a trace is admitted at exactly 0, as
with a state's trace sum of exactly 1) is swept once here, not once per listing.
"""

import numpy as np

from mt19937 import StandardMT19937

F32 = np.float32
ZERO = F32(0.0)
ONE = F32(1.0)


class TraceList:
    """A growable array of live feature indices."""

    def __init__(self) -> None:
        self._data = np.empty(64, dtype=np.intp)
        self.size = 0

    def live(self) -> np.ndarray:
        return self._data[: self.size]

    def keep(self, kept: np.ndarray) -> None:
        """Keeps the entries where `kept` is true."""
        survivors = self._data[: self.size][kept]
        self._data[: survivors.size] = survivors
        self.size = survivors.size

    def extend(self, indices: np.ndarray) -> None:
        needed = self.size + indices.size
        if needed > self._data.size:
            grown = np.empty(max(needed, 2 * self._data.size), dtype=np.intp)
            grown[: self.size] = self._data[: self.size]
            self._data = grown
        self._data[self.size : needed] = indices
        self.size = needed


class _Learner:
    """The arrays, parameters and trace sweep that the critic and the units share."""

    def __init__(self, num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay):
        def zeros():
            return np.zeros(num_features, dtype=F32)

        self.trace_list = TraceList()
        self.weights = zeros()
        self.traces = zeros()
        self.recent_step = zeros()
        self.h = zeros()
        self.h_old = zeros()
        self.h_temp = zeros()
        self.log_step_size = np.full(num_features, np.log(F32(alpha)), dtype=F32)
        self.trace_bar = zeros()
        self.h_trace = zeros()
        self.entry_step = zeros()
        self.lambda_ = F32(lambda_)
        self.epsilon = F32(epsilon)
        self.meta_step_size = float(F32(meta_step_size))
        self.eta = F32(eta)
        self.log_eta = np.log(self.eta)
        self.log_decay = np.log(F32(decay))

    def sweep(self, td_error, gamma, value_change, meta_error):
        """Updates every live trace's feature and prunes the decayed ones. `meta_error` is the
        error the log step sizes follow; the weight changes are returned for the critic."""
        live = self.trace_list.live()
        if live.size == 0:
            return live, np.empty(0, dtype=F32), np.empty(0, dtype=bool)
        traces = self.traces[live]
        recent_step = self.recent_step[live]
        weight_change = (td_error * traces) - (recent_step * value_change)
        self.weights[live] = self.weights[live] + weight_change

        # The meta update in float64 from the float32 operands, rounded to float32 once.
        b = self.log_step_size[live]
        meta = (
            (self.meta_step_size / (np.exp(b).astype(np.float64) + 1e-8)) * float(meta_error)
        ) * self.h_trace[live] + b
        log_step_size = meta.astype(F32)
        capped_step = np.exp(log_step_size)
        log_step_size[(capped_step > self.eta) | np.isinf(capped_step)] = self.log_eta
        self.log_step_size[live] = log_step_size

        self.h_old[live] = self.h[live]
        h = ((td_error * self.trace_bar[live]) + self.h_temp[live]) - (recent_step * value_change)
        self.h[live] = h
        self.h_temp[live] = h
        self.recent_step[live] = ZERO

        trace_decay = gamma * self.lambda_
        traces = trace_decay * traces
        h_trace = trace_decay * self.h_trace[live]
        trace_bar = trace_decay * self.trace_bar[live]
        pruned = traces <= self.entry_step[live] * self.epsilon
        traces[pruned] = ZERO
        h_trace[pruned] = ZERO
        trace_bar[pruned] = ZERO
        self.traces[live] = traces
        self.h_trace[live] = h_trace
        self.trace_bar[live] = trace_bar
        return live, weight_change, pruned

    def prune(self, pruned):
        self.trace_list.keep(~pruned)

    def enter(self, features, distinct, step_sizes, recent_step, over_budget, one_minus_trace_sum):
        """Admits the state's features; `recent_step` holds their new step sizes when they are
        distinct, and is recomputed per occurrence by `enter_one` otherwise."""
        if not distinct:
            for j in features:
                self.enter_one(j, over_budget, one_minus_trace_sum)
            return
        traces = self.traces[features]
        self.trace_list.extend(features[traces == ZERO])
        self.recent_step[features] = recent_step
        self.entry_step[features] = recent_step
        if over_budget:
            h = np.zeros(features.size, dtype=F32)
            h_old = h
            trace_bar = h
            self.h[features] = ZERO
            self.h_old[features] = ZERO
            self.log_step_size[features] = self.log_step_size[features] + self.log_decay
        else:
            h = self.h[features]
            h_old = self.h_old[features]
            trace_bar = self.trace_bar[features]
        traces = traces + (one_minus_trace_sum * recent_step)
        self.traces[features] = traces
        self.h_trace[features] = self.h_trace[features] + h
        self.trace_bar[features] = trace_bar + ((one_minus_trace_sum - trace_bar) * recent_step)
        self.h_temp[features] = (h - ((traces - recent_step) * h_old)) - (h * recent_step)

    def enter_one(self, j, over_budget, one_minus_trace_sum):
        if self.traces[j] == ZERO:
            self.trace_list.extend(np.array([j], dtype=np.intp))
        recent_step = self.entry_step_size(j)
        self.recent_step[j] = recent_step
        self.entry_step[j] = recent_step
        if over_budget:
            self.h_temp[j] = ZERO
            self.h[j] = ZERO
            self.h_old[j] = ZERO
            self.trace_bar[j] = ZERO
            self.log_step_size[j] = self.log_step_size[j] + self.log_decay
        self.traces[j] = self.traces[j] + (one_minus_trace_sum * recent_step)
        self.h_trace[j] = self.h_trace[j] + self.h[j]
        self.trace_bar[j] = self.trace_bar[j] + (
            (one_minus_trace_sum - self.trace_bar[j]) * recent_step
        )
        self.h_temp[j] = (self.h[j] - ((self.traces[j] - recent_step) * self.h_old[j])) - (
            self.h[j] * recent_step
        )


class NumpyCritic(_Learner):
    def __init__(self, num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay):
        super().__init__(num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay)
        self.weight_change = np.zeros(num_features, dtype=F32)
        self.value_change = ZERO
        self.last_value = ZERO
        self._step_scale = ONE

    def entry_step_size(self, j):
        return np.exp(self.log_step_size[j]) * self._step_scale

    def step(self, features, distinct, reward, gamma):
        new_value = self.weights[features].sum(dtype=F32)
        td_error = ((new_value * gamma) + reward) - self.last_value

        live, weight_change, pruned = self.sweep(
            td_error, gamma, self.value_change, td_error - self.value_change
        )
        weight_change[pruned] = ZERO
        self.weight_change[live] = weight_change
        self.prune(pruned)

        step_sizes = np.exp(self.log_step_size[features])
        step_total = step_sizes.sum(dtype=F32)
        budget_divisor = step_total if step_total > self.eta else self.eta
        self._step_scale = self.eta / budget_divisor
        one_minus_trace_sum = ONE - self.traces[features].sum(dtype=F32)
        # The entry pass does not write weight_change, so repeated indices sum as well at once.
        self.value_change = self.weight_change[features].sum(dtype=F32)
        self.enter(
            features,
            distinct,
            step_sizes,
            step_sizes * self._step_scale,
            self._step_scale < ONE,
            one_minus_trace_sum,
        )
        self.last_value = new_value
        return self.value_change, td_error


class NumpyActorUnit(_Learner):
    def __init__(
        self,
        num_features,
        lambda_,
        alpha,
        epsilon,
        meta_step_size,
        eta_actor,
        decay,
        action_prob_at_init,
        seed,
    ):
        super().__init__(num_features, lambda_, alpha, epsilon, meta_step_size, eta_actor, decay)
        self.action_prob_at_init = F32(action_prob_at_init)
        self.rng = StandardMT19937(seed)
        self._entry_scale = ONE

    def entry_step_size(self, j):
        return np.exp(self.log_step_size[j]) * self._entry_scale

    def step(self, features, distinct, td_error, gamma, value_change):
        _, _, pruned = self.sweep(td_error, gamma, value_change, td_error)
        self.prune(pruned)

        probability = self.action_prob_at_init + self.weights[features].sum(dtype=F32)
        if probability >= ONE:
            clipped_probability = ONE
        elif probability <= ZERO:
            return False
        else:
            # A NaN probability draws and then compares false.
            if not float(probability) > self.rng.uniform():
                return False
            clipped_probability = probability

        step_sizes = np.exp(self.log_step_size[features])
        step_total = step_sizes.sum(dtype=F32)
        q = (clipped_probability * self.eta) / step_total
        step_scale = q if q < ONE else ONE
        if features.size == 0:
            return True
        one_minus_trace_sum = ONE - self.traces[features].sum(dtype=F32)
        self._entry_scale = (ONE / clipped_probability) * step_scale
        self.enter(
            features,
            distinct,
            step_sizes,
            step_sizes * self._entry_scale,
            step_scale < ONE,
            one_minus_trace_sum,
        )
        return True


class NumpyActorCritic:
    """The agent: one critic and one unit per action, with the module's constructor and step."""

    def __init__(
        self,
        num_features,
        num_actions,
        lambda_,
        alpha,
        epsilon,
        meta_step_size,
        eta,
        eta_actor,
        decay,
        action_prob_at_init,
        seed,
    ):
        if num_features < 0:
            raise ValueError("vector too long")
        self.num_features = num_features
        self.critic = NumpyCritic(num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay)
        self.units = [
            NumpyActorUnit(
                num_features,
                lambda_,
                alpha,
                epsilon,
                meta_step_size,
                eta_actor,
                decay,
                action_prob_at_init,
                (seed + 230290 + 24030 * i) & 0xFFFFFFFF,
            )
            for i in range(max(num_actions, 0))
        ]
        # Where each index last occurred in a state: finds repeated indices in one pass.
        self._position = np.zeros(num_features, dtype=np.intp)

    def live_traces(self) -> int:
        return self.critic.trace_list.size + sum(unit.trace_list.size for unit in self.units)

    def step(self, feature_indices, reward, gamma) -> list[int]:
        features = np.asarray(feature_indices, dtype=np.intp).reshape(-1)
        if features.size and (features.min() < 0 or features.max() >= self.num_features):
            raise IndexError(f"feature index outside [0, {self.num_features})")
        order = np.arange(features.size)
        self._position[features] = order
        distinct = bool((self._position[features] == order).all())
        gamma = F32(gamma)
        # NaN and infinities flow through the formulas as in the module.
        with np.errstate(all="ignore"):
            value_change, td_error = self.critic.step(features, distinct, F32(reward), gamma)
            return [
                i
                for i, unit in enumerate(self.units)
                if unit.step(features, distinct, td_error, gamma, value_change)
            ]
