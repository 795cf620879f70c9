#include "kit/experiments/tasks/mountain_car.hpp"

#include <algorithm>
#include <cmath>

namespace velto::tasks {

namespace {

constexpr double kMinPosition = -1.2;
constexpr double kMaxPosition = 0.6;
constexpr double kMaxSpeed = 0.07;
constexpr double kGoalPosition = 0.5;
constexpr double kForce = 0.001;
constexpr double kGravity = 0.0025;

// NumPy's clip of a float: the lower bound first, then the upper.
double clip(double value, double low, double high) { return std::min(std::max(value, low), high); }

}  // namespace

std::vector<double> MountainCar::observation_low() const {
  return {as_float32(kMinPosition), as_float32(-kMaxSpeed)};
}

std::vector<double> MountainCar::observation_high() const {
  return {as_float32(kMaxPosition), as_float32(kMaxSpeed)};
}

void MountainCar::start(NumpyGenerator& generator) {
  position_ = generator.uniform(-0.6, -0.4);
  velocity_ = 0.0;
  observe();
}

Transition MountainCar::advance(std::int32_t action, NumpyGenerator& /*generator*/) {
  velocity_ += static_cast<double>(action - 1) * kForce + std::cos(3.0 * position_) * (-kGravity);
  velocity_ = clip(velocity_, -kMaxSpeed, kMaxSpeed);
  position_ += velocity_;
  position_ = clip(position_, kMinPosition, kMaxPosition);
  if (position_ == kMinPosition && velocity_ < 0.0) {
    velocity_ = 0.0;
  }
  observe();
  Transition transition;
  transition.terminated = position_ >= kGoalPosition && velocity_ >= goal_velocity_;
  transition.reward = -1.0;
  return transition;
}

void MountainCar::observe() {
  observation_ = {as_float32(position_), as_float32(velocity_)};
}

std::vector<double> MountainCar::values() const { return {position_, velocity_}; }

void MountainCar::load_values(const std::vector<double>& values) {
  expect_values(values, 2, "MountainCar");
  position_ = values[0];
  velocity_ = values[1];
  observe();
}

}  // namespace velto::tasks
