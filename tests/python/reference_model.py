"""An independent plain-Python model of the learners: the critic, the actor unit with its own
Mersenne Twister, and the agent that drives them.

It exists to check the C++ learners bit for bit. Every value that the learners keep in binary32 is
a numpy.float32 here, and every sum, difference, product and quotient is one float32 operation in
the bracketing that the learners' formulas give. The one double-precision meta update is carried
out on Python floats and rounded to float32 once. exp and log are the platform's single-precision
expf and logf from libm, called through ctypes, because the C++ learners call those same functions
and numpy's own float32 exp and log may differ from them in the last bit.

NaN payloads. An operation with one NaN operand returns that NaN made quiet. With two NaN
operands the x86-64 vector unit returns the first operand's, so a difference or a quotient gives
the first one's NaN. A sum or a product may be computed with its operands in either order (the
value does not change), so its NaN is only determined when both NaNs are the same; otherwise the
result is AMBIGUOUS_NAN, a quiet NaN that stands for "some NaN", propagates like any NaN and is
matched by the comparison against any NaN.
"""

import ctypes
import ctypes.util
import struct

import numpy as np

float32 = np.float32
ZERO = float32(0.0)
ONE = float32(1.0)
_QUIET_BIT = 0x00400000
AMBIGUOUS_NAN_BITS = 0x7FDA7A00

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_expf = _libm.expf
_expf.argtypes = [ctypes.c_float]
_expf.restype = ctypes.c_float
_logf = _libm.logf
_logf.argtypes = [ctypes.c_float]
_logf.restype = ctypes.c_float


class LengthError(ValueError):
    """A negative feature count, refused as the C++ learners refuse it."""


def from_bits(bits):
    return np.uint32(bits).view(np.float32)


AMBIGUOUS_NAN = from_bits(AMBIGUOUS_NAN_BITS)


def to_bits(value):
    return int(np.asarray(value, dtype=np.float32).view(np.uint32))


def _quiet(value):
    return from_bits(to_bits(value) | _QUIET_BIT)


def _either_nan(a, b):
    quiet_a, quiet_b = _quiet(a), _quiet(b)
    return quiet_a if to_bits(quiet_a) == to_bits(quiet_b) else AMBIGUOUS_NAN


def add(a, b):
    if a != a and b != b:
        return _either_nan(a, b)
    return a + b


def sub(a, b):
    if a != a and b != b:
        return _quiet(a)
    return a - b


def mul(a, b):
    if a != a and b != b:
        return _either_nan(a, b)
    return a * b


def div(a, b):
    if a != a and b != b:
        return _quiet(a)
    return a / b


def expf(value):
    # A NaN argument passes through ctypes as a double and back; both conversions keep the payload.
    return float32(_expf(value))


def logf(value):
    return float32(_logf(value))


def is_infinite(value):
    return value == np.inf or value == -np.inf


def _double_add(a, b):
    if a != a and b != b:
        # Python floats are quiet NaNs already.
        same = struct.pack("<d", a) == struct.pack("<d", b)
        return a if same else float(AMBIGUOUS_NAN)
    return a + b


def _double_mul(a, b):
    if a != a and b != b:
        same = struct.pack("<d", a) == struct.pack("<d", b)
        return a if same else float(AMBIGUOUS_NAN)
    return a * b


def _double_div(a, b):
    if a != a and b != b:
        return a
    return a / b


def meta_update(meta_step_size, exp_b, error, h_trace, b):
    """(((meta_step_size / (exp_b + 1e-8)) x error) x h_trace) + b, in double on the exactly
    widened float32 operands with the double constant 1e-8, rounded to float32 once."""
    rate = _double_div(float(meta_step_size), _double_add(float(exp_b), 1e-8))
    change = _double_mul(_double_mul(rate, float(error)), float(h_trace))
    return float32(_double_add(change, float(b)))


def _feature_sum(start, features, term):
    total = start
    for j in features:
        total = add(total, term(j))
    return total


def _per_feature_array(num_features, fill):
    if num_features < 0:
        raise LengthError("vector too long")
    return [fill] * num_features


class MT19937:
    """The 32-bit Mersenne Twister with its standard initialisation from one 32-bit value."""

    _SIZE = 624
    _SHIFT = 397

    def __init__(self, seed):
        state = [seed & 0xFFFFFFFF]
        for i in range(1, self._SIZE):
            previous = state[-1]
            state.append((1812433253 * (previous ^ (previous >> 30)) + i) & 0xFFFFFFFF)
        self.state = state
        self.position = self._SIZE

    def _twist(self):
        state = self.state
        size = self._SIZE
        for i in range(size):
            y = (state[i] & 0x80000000) | (state[(i + 1) % size] & 0x7FFFFFFF)
            value = state[(i + self._SHIFT) % size] ^ (y >> 1)
            if y & 1:
                value ^= 0x9908B0DF
            state[i] = value
        self.position = 0

    def __call__(self):
        if self.position >= self._SIZE:
            self._twist()
        y = self.state[self.position]
        self.position += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y

    def copy(self):
        twin = MT19937.__new__(MT19937)
        twin.state = list(self.state)
        twin.position = self.position
        return twin


def uniform_from_outputs(first, second):
    """(second x 2^21 + floor(first / 2^11)) x 2^-53: an exact 53-bit value in [0, 1)."""
    return (second * 2**21 + (first >> 11)) * 2.0**-53


def uniform_draw(rng):
    first = rng()
    second = rng()
    return uniform_from_outputs(first, second)


class Critic:
    """Linear state-value learner with meta-learned per-feature step sizes under a budget."""

    def __init__(self, num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay):
        self.trace_list = []
        self.weights = _per_feature_array(num_features, ZERO)
        self.traces = _per_feature_array(num_features, ZERO)
        self.recent_step = _per_feature_array(num_features, ZERO)
        self.weight_change = _per_feature_array(num_features, ZERO)
        self.h = _per_feature_array(num_features, ZERO)
        self.h_old = _per_feature_array(num_features, ZERO)
        self.h_temp = _per_feature_array(num_features, ZERO)
        self.log_step_size = _per_feature_array(num_features, logf(alpha))
        self.trace_bar = _per_feature_array(num_features, ZERO)
        self.h_trace = _per_feature_array(num_features, ZERO)
        self.entry_step = _per_feature_array(num_features, ZERO)
        self.value_change = ZERO
        self.lambda_ = lambda_
        self.epsilon = epsilon
        self.last_value = ZERO
        self.meta_step_size = meta_step_size
        self.eta = eta
        self.decay = decay

    def step(self, features, reward, gamma):
        """Returns (value_change, td_error)."""
        new_value = _feature_sum(ZERO, features, lambda j: self.weights[j])
        td_error = sub(add(mul(new_value, gamma), reward), self.last_value)
        self._sweep(td_error, gamma)
        step_scale, one_minus_trace_sum = self._budget(features)
        self._enter(features, step_scale, one_minus_trace_sum)
        self.last_value = new_value
        return self.value_change, td_error

    def _sweep(self, td_error, gamma):
        # value_change still holds the previous step's value throughout the sweep.
        value_change = self.value_change
        error = sub(td_error, value_change)
        trace_decay = mul(gamma, self.lambda_)
        trace_list = self.trace_list
        k = 0
        while k < len(trace_list):
            i = trace_list[k]
            change = sub(mul(td_error, self.traces[i]), mul(self.recent_step[i], value_change))
            self.weight_change[i] = change
            self.weights[i] = add(self.weights[i], change)

            b = self.log_step_size[i]
            self.log_step_size[i] = meta_update(
                self.meta_step_size, expf(b), error, self.h_trace[i], b
            )
            capped = expf(self.log_step_size[i])
            if capped > self.eta or is_infinite(capped):
                self.log_step_size[i] = logf(self.eta)

            self.h_old[i] = self.h[i]
            self.h[i] = sub(
                add(mul(td_error, self.trace_bar[i]), self.h_temp[i]),
                mul(self.recent_step[i], value_change),
            )
            self.h_temp[i] = self.h[i]
            self.recent_step[i] = ZERO

            self.traces[i] = mul(trace_decay, self.traces[i])
            self.h_trace[i] = mul(trace_decay, self.h_trace[i])
            self.trace_bar[i] = mul(trace_decay, self.trace_bar[i])

            if self.traces[i] <= mul(self.entry_step[i], self.epsilon):
                self.traces[i] = ZERO
                self.h_trace[i] = ZERO
                self.trace_bar[i] = ZERO
                self.weight_change[i] = ZERO
                trace_list[k] = trace_list[-1]
                trace_list.pop()
            else:
                k += 1

    def _budget(self, features):
        self.value_change = ZERO
        step_total = _feature_sum(ZERO, features, lambda j: expf(self.log_step_size[j]))
        budget_divisor = step_total if step_total > self.eta else self.eta
        step_scale = div(self.eta, budget_divisor)
        trace_sum = _feature_sum(ZERO, features, lambda j: self.traces[j])
        return step_scale, sub(ONE, trace_sum)

    def _enter(self, features, step_scale, one_minus_trace_sum):
        for j in features:
            if self.traces[j] == 0:
                self.trace_list.append(j)
            self.value_change = add(self.value_change, self.weight_change[j])
            given = mul(expf(self.log_step_size[j]), step_scale)
            self.recent_step[j] = given
            self.entry_step[j] = given
            if step_scale < ONE:
                self.h_temp[j] = ZERO
                self.h[j] = ZERO
                self.h_old[j] = ZERO
                self.trace_bar[j] = ZERO
                self.log_step_size[j] = add(self.log_step_size[j], logf(self.decay))
            self.traces[j] = add(self.traces[j], mul(one_minus_trace_sum, given))
            self.h_trace[j] = add(self.h_trace[j], self.h[j])
            self.trace_bar[j] = add(
                self.trace_bar[j], mul(sub(one_minus_trace_sum, self.trace_bar[j]), given)
            )
            self.h_temp[j] = sub(
                sub(self.h[j], mul(sub(self.traces[j], given), self.h_old[j])),
                mul(self.h[j], given),
            )


class ActorUnit:
    """One Bernoulli action unit with its own engine, learning like the critic under eta_actor."""

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
        self.trace_list = []
        self.rng = MT19937(seed)
        self.weights = _per_feature_array(num_features, ZERO)
        self.traces = _per_feature_array(num_features, ZERO)
        self.recent_step = _per_feature_array(num_features, ZERO)
        self.h = _per_feature_array(num_features, ZERO)
        self.h_old = _per_feature_array(num_features, ZERO)
        self.h_temp = _per_feature_array(num_features, ZERO)
        self.log_step_size = _per_feature_array(num_features, logf(alpha))
        self.trace_bar = _per_feature_array(num_features, ZERO)
        self.h_trace = _per_feature_array(num_features, ZERO)
        self.entry_step = _per_feature_array(num_features, ZERO)
        self.lambda_ = lambda_
        self.epsilon = epsilon
        self.meta_step_size = meta_step_size
        self.eta_actor = eta_actor
        self.decay = decay
        self.action_prob_at_init = action_prob_at_init

    def step(self, features, td_error, gamma, value_change):
        """Returns whether the unit's action is taken in the new state."""
        self._sweep(td_error, gamma, value_change)
        probability = _feature_sum(self.action_prob_at_init, features, lambda j: self.weights[j])
        if probability >= ONE:
            clipped_probability = ONE
        elif probability <= ZERO:
            return False
        else:
            # Reached also by a NaN probability, which draws and is never taken.
            if not float(probability) > uniform_draw(self.rng):
                return False
            clipped_probability = probability
        self._enter(features, clipped_probability)
        return True

    def _sweep(self, td_error, gamma, value_change):
        trace_decay = mul(gamma, self.lambda_)
        trace_list = self.trace_list
        k = 0
        while k < len(trace_list):
            i = trace_list[k]
            self.weights[i] = add(
                sub(mul(td_error, self.traces[i]), mul(value_change, self.recent_step[i])),
                self.weights[i],
            )

            b = self.log_step_size[i]
            self.log_step_size[i] = meta_update(
                self.meta_step_size, expf(b), td_error, self.h_trace[i], b
            )
            capped = expf(self.log_step_size[i])
            if capped > self.eta_actor or is_infinite(capped):
                self.log_step_size[i] = logf(self.eta_actor)

            self.h_old[i] = self.h[i]
            self.h[i] = sub(
                add(mul(td_error, self.trace_bar[i]), self.h_temp[i]),
                mul(value_change, self.recent_step[i]),
            )
            self.h_temp[i] = self.h[i]
            self.recent_step[i] = ZERO

            self.traces[i] = mul(trace_decay, self.traces[i])
            self.h_trace[i] = mul(trace_decay, self.h_trace[i])
            self.trace_bar[i] = mul(trace_decay, self.trace_bar[i])

            if self.traces[i] <= mul(self.entry_step[i], self.epsilon):
                self.traces[i] = ZERO
                self.h_trace[i] = ZERO
                self.trace_bar[i] = ZERO
                trace_list[k] = trace_list[-1]
                trace_list.pop()
            else:
                k += 1

    def _enter(self, features, clipped_probability):
        step_total = _feature_sum(ZERO, features, lambda j: expf(self.log_step_size[j]))
        q = div(mul(clipped_probability, self.eta_actor), step_total)
        step_scale = q if q < ONE else ONE
        if not features:
            return
        trace_sum = _feature_sum(ZERO, features, lambda j: self.traces[j])
        one_minus_trace_sum = sub(ONE, trace_sum)
        entry_scale = mul(div(ONE, clipped_probability), step_scale)
        for j in features:
            if self.traces[j] == 0:
                self.trace_list.append(j)
            given = mul(expf(self.log_step_size[j]), entry_scale)
            self.recent_step[j] = given
            self.entry_step[j] = given
            if step_scale < ONE:
                self.h_temp[j] = ZERO
                self.h[j] = ZERO
                self.h_old[j] = ZERO
                self.trace_bar[j] = ZERO
                self.log_step_size[j] = add(logf(self.decay), self.log_step_size[j])
            self.traces[j] = add(mul(one_minus_trace_sum, given), self.traces[j])
            self.h_trace[j] = add(self.h[j], self.h_trace[j])
            self.trace_bar[j] = add(
                mul(sub(one_minus_trace_sum, self.trace_bar[j]), given), self.trace_bar[j]
            )
            self.h_temp[j] = sub(
                sub(self.h[j], mul(sub(self.traces[j], given), self.h_old[j])),
                mul(self.h[j], given),
            )


def unit_seed(seed, index):
    return (seed + 230290 + 24030 * index) % 2**32


class VeltoActorCritic:
    """The agent: the critic first, then one unit per action, all stepped on every transition."""

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
        self.units = []
        self.critic = Critic(num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay)
        for i in range(num_actions):
            self.units.append(
                ActorUnit(
                    num_features,
                    lambda_,
                    alpha,
                    epsilon,
                    meta_step_size,
                    eta_actor,
                    decay,
                    action_prob_at_init,
                    unit_seed(seed, i),
                )
            )

    def step(self, features, reward, gamma):
        value_change, td_error = self.critic.step(features, reward, gamma)
        actions = []
        for i, unit in enumerate(self.units):
            if unit.step(features, td_error, gamma, value_change):
                actions.append(i)
        return actions

