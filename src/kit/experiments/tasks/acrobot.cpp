#include "kit/experiments/tasks/acrobot.hpp"

#include <algorithm>
#include <cmath>

namespace velto::tasks {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDt = 0.2;
constexpr double kLinkLength1 = 1.0;
constexpr double kLinkMass1 = 1.0;
constexpr double kLinkMass2 = 1.0;
constexpr double kLinkComPos1 = 0.5;
constexpr double kLinkComPos2 = 0.5;
constexpr double kLinkMoi = 1.0;
constexpr double kMaxVel1 = 4.0 * kPi;
constexpr double kMaxVel2 = 9.0 * kPi;
constexpr double kGravity = 9.8;
constexpr std::array<double, 3> kTorques = {-1.0, 0.0, 1.0};

// Squares go through the C library's pow, as NumPy's scalar power does: pow(x, 2) is not always
// x * x rounded. The exponent is read at run time so that the compiler cannot turn the call into
// that product.
volatile double square_exponent = 2.0;
double squared(double x) { return std::pow(x, square_exponent); }

using Derivative = std::array<double, 5>;  // the four state rates and the torque's (zero)

Derivative dsdt(const Derivative& s) {
  constexpr double m1 = kLinkMass1;
  constexpr double m2 = kLinkMass2;
  constexpr double l1 = kLinkLength1;
  constexpr double lc1 = kLinkComPos1;
  constexpr double lc2 = kLinkComPos2;
  constexpr double I1 = kLinkMoi;
  constexpr double I2 = kLinkMoi;
  constexpr double g = kGravity;
  const double a = s[4];
  const double theta1 = s[0];
  const double theta2 = s[1];
  const double dtheta1 = s[2];
  const double dtheta2 = s[3];
  const double d1 =
      m1 * squared(lc1) +
      m2 * (squared(l1) + squared(lc2) + 2.0 * l1 * lc2 * std::cos(theta2)) + I1 + I2;
  const double d2 = m2 * (squared(lc2) + l1 * lc2 * std::cos(theta2)) + I2;
  const double phi2 = m2 * lc2 * g * std::cos(theta1 + theta2 - kPi / 2.0);
  const double phi1 = -m2 * l1 * lc2 * squared(dtheta2) * std::sin(theta2) -
                      2.0 * m2 * l1 * lc2 * dtheta2 * dtheta1 * std::sin(theta2) +
                      (m1 * lc1 + m2 * l1) * g * std::cos(theta1 - kPi / 2.0) + phi2;
  const double ddtheta2 =
      (a + d2 / d1 * phi1 - m2 * l1 * lc2 * squared(dtheta1) * std::sin(theta2) - phi2) /
      (m2 * squared(lc2) + I2 - squared(d2) / d1);
  const double ddtheta1 = -(d2 * ddtheta2 + phi1) / d1;
  return {dtheta1, dtheta2, ddtheta1, ddtheta2, 0.0};
}

Derivative add_scaled(const Derivative& y, double scale, const Derivative& k) {
  Derivative out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = y[i] + scale * k[i];
  }
  return out;
}

// Into [low, high] by whole turns.
double wrap(double x, double low, double high) {
  const double diff = high - low;
  while (x > high) {
    x = x - diff;
  }
  while (x < low) {
    x = x + diff;
  }
  return x;
}

// Python's min(max(x, low), high): each keeps its first argument unless the second is larger
// (smaller).
double bound(double x, double low, double high) {
  const double above = low > x ? low : x;
  return high < above ? high : above;
}

}  // namespace

std::vector<double> Acrobot::observation_high() const {
  return {1.0, 1.0, 1.0, 1.0, as_float32(kMaxVel1), as_float32(kMaxVel2)};
}

std::vector<double> Acrobot::observation_low() const {
  std::vector<double> low = observation_high();
  for (double& value : low) {
    value = -value;
  }
  return low;
}

void Acrobot::start(NumpyGenerator& generator) {
  for (double& value : state_) {
    value = as_float32(generator.uniform(-0.1, 0.1));
  }
  single_precision_ = true;
  observe();
}

Transition Acrobot::advance(std::int32_t action, NumpyGenerator& /*generator*/) {
  const Derivative y0 = {state_[0], state_[1], state_[2], state_[3],
                         kTorques[static_cast<std::size_t>(action)]};
  const double dt = kDt - 0.0;
  const double dt2 = dt / 2.0;
  const Derivative k1 = dsdt(y0);
  const Derivative k2 = dsdt(add_scaled(y0, dt2, k1));
  const Derivative k3 = dsdt(add_scaled(y0, dt2, k2));
  const Derivative k4 = dsdt(add_scaled(y0, dt, k3));
  std::array<double, 4> next{};
  for (std::size_t i = 0; i < next.size(); ++i) {
    next[i] = y0[i] + dt / 6.0 * (k1[i] + 2.0 * k2[i] + 2.0 * k3[i] + k4[i]);
  }
  next[0] = wrap(next[0], -kPi, kPi);
  next[1] = wrap(next[1], -kPi, kPi);
  next[2] = bound(next[2], -kMaxVel1, kMaxVel1);
  next[3] = bound(next[3], -kMaxVel2, kMaxVel2);
  state_ = next;
  single_precision_ = false;
  observe();

  Transition transition;
  transition.terminated = -std::cos(state_[0]) - std::cos(state_[1] + state_[0]) > 1.0;
  transition.reward = transition.terminated ? 0.0 : -1.0;
  return transition;
}

void Acrobot::observe() {
  // After a reset the angles are binary32, and NumPy takes their cosine and sine in binary32 with
  // routines of its own; here they are always the exact values rounded to binary32, which those
  // routines miss by one unit in the last place for a few starting angles (the docs give the
  // measured rate). After a step both compute in double with the C library.
  for (std::size_t i = 0; i < 2; ++i) {
    observation_[2 * i] = as_float32(std::cos(state_[i]));
    observation_[2 * i + 1] = as_float32(std::sin(state_[i]));
  }
  observation_[4] = as_float32(state_[2]);
  observation_[5] = as_float32(state_[3]);
}

std::vector<double> Acrobot::values() const {
  return {state_[0], state_[1], state_[2], state_[3], single_precision_ ? 1.0 : 0.0};
}

void Acrobot::load_values(const std::vector<double>& values) {
  expect_values(values, 5, "Acrobot");
  const bool single = integer_value(values[4], 0, 1, "Acrobot's binary32 flag") == 1;
  if (single) {
    for (std::size_t i = 0; i < 4; ++i) {
      if (as_float32(values[i]) != values[i] && !std::isnan(values[i])) {
        throw std::invalid_argument("Acrobot's binary32 starting state holds a double");
      }
    }
  }
  for (std::size_t i = 0; i < 4; ++i) {
    state_[i] = values[i];
  }
  single_precision_ = single;
  observe();
}

}  // namespace velto::tasks
