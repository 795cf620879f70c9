#include "kit/experiments/tasks/cart_pole.hpp"

#include <cmath>
#include <limits>

namespace velto::tasks {

namespace {

constexpr double kGravity = 9.8;
constexpr double kMassCart = 1.0;
constexpr double kMassPole = 0.1;
constexpr double kTotalMass = kMassPole + kMassCart;
constexpr double kLength = 0.5;  // half the pole's length
constexpr double kPoleMassLength = kMassPole * kLength;
constexpr double kForceMag = 10.0;
constexpr double kTau = 0.02;
constexpr double kPi = 3.141592653589793;
constexpr double kThetaThreshold = 12.0 * 2.0 * kPi / 360.0;
constexpr double kXThreshold = 2.4;

}  // namespace

std::vector<double> CartPole::observation_high() const {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  return {as_float32(kXThreshold * 2.0), kInfinity, as_float32(kThetaThreshold * 2.0), kInfinity};
}

std::vector<double> CartPole::observation_low() const {
  std::vector<double> low = observation_high();
  for (double& value : low) {
    value = -value;
  }
  return low;
}

void CartPole::start(NumpyGenerator& generator) {
  for (double& value : state_) {
    value = generator.uniform(-0.05, 0.05);
  }
  steps_beyond_terminated_ = -1;
  observe();
}

Transition CartPole::advance(std::int32_t action, NumpyGenerator& /*generator*/) {
  double x = state_[0];
  double x_dot = state_[1];
  double theta = state_[2];
  double theta_dot = state_[3];
  const double force = action == 1 ? kForceMag : -kForceMag;
  const double costheta = std::cos(theta);
  const double sintheta = std::sin(theta);

  const double temp = (force + kPoleMassLength * (theta_dot * theta_dot) * sintheta) / kTotalMass;
  const double thetaacc =
      (kGravity * sintheta - costheta * temp) /
      (kLength * (4.0 / 3.0 - kMassPole * (costheta * costheta) / kTotalMass));
  const double xacc = temp - kPoleMassLength * thetaacc * costheta / kTotalMass;

  x = x + kTau * x_dot;
  x_dot = x_dot + kTau * xacc;
  theta = theta + kTau * theta_dot;
  theta_dot = theta_dot + kTau * thetaacc;
  state_ = {x, x_dot, theta, theta_dot};
  observe();

  Transition transition;
  transition.terminated = x < -kXThreshold || x > kXThreshold || theta < -kThetaThreshold ||
                          theta > kThetaThreshold;
  if (!transition.terminated) {
    transition.reward = sutton_barto_reward_ ? 0.0 : 1.0;
  } else if (steps_beyond_terminated_ < 0) {
    steps_beyond_terminated_ = 0;
    transition.reward = sutton_barto_reward_ ? -1.0 : 1.0;
  } else {
    // Stepping on after termination: Gymnasium warns and pays nothing (or -1).
    ++steps_beyond_terminated_;
    transition.reward = sutton_barto_reward_ ? -1.0 : 0.0;
  }
  return transition;
}

void CartPole::observe() {
  for (std::size_t i = 0; i < state_.size(); ++i) {
    observation_[i] = as_float32(state_[i]);
  }
}

std::vector<double> CartPole::values() const {
  return {state_[0], state_[1], state_[2], state_[3],
          static_cast<double>(steps_beyond_terminated_)};
}

void CartPole::load_values(const std::vector<double>& values) {
  expect_values(values, 5, "CartPole");
  const std::int64_t beyond =
      integer_value(values[4], -1, std::int64_t{1} << 53, "CartPole's steps beyond termination");
  for (std::size_t i = 0; i < 4; ++i) {
    state_[i] = values[i];
  }
  steps_beyond_terminated_ = beyond;
  observe();
}

}  // namespace velto::tasks
