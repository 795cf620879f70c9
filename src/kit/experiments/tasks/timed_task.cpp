#include "kit/experiments/tasks/timed_task.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace velto::tasks {

void TimedTask::reset(const std::optional<Seed>& seed) {
  if (seed.has_value()) {
    generator_.emplace(*seed);
  } else if (!generator_.has_value()) {
    generator_.emplace(NumpyGenerator::from_os_entropy());
  }
  start(*generator_);
  elapsed_steps_ = 0;
}

Transition TimedTask::step(std::int32_t action) {
  if (elapsed_steps_ < 0) {
    throw std::logic_error("reset the task before its first step");
  }
  if (action < 0 || action >= num_actions()) {
    throw std::out_of_range("action " + std::to_string(action) + " is outside [0, " +
                            std::to_string(num_actions()) + ")");
  }
  Transition transition = advance(action, *generator_);
  ++elapsed_steps_;
  if (max_episode_steps_.has_value() && elapsed_steps_ >= *max_episode_steps_) {
    transition.truncated = true;
  }
  return transition;
}

TaskState TimedTask::state() const {
  TaskState state;
  state.elapsed_steps = elapsed_steps_;
  if (elapsed_steps_ >= 0) {
    state.values = values();
    state.generator = generator_->state();
  }
  return state;
}

void TimedTask::set_state(const TaskState& state) {
  if (state.elapsed_steps < 0) {
    if (state.elapsed_steps != -1 || !state.values.empty()) {
      throw std::invalid_argument(
          "a task that was never reset has elapsed_steps -1 and no values");
    }
    elapsed_steps_ = -1;
    return;
  }
  load_values(state.values);  // checks everything before anything else changes
  generator_.emplace(state.generator);
  elapsed_steps_ = state.elapsed_steps;
}

double as_float32(double value) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  // Halfway between the largest float and 2**128 rounds to even, which is infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  const double magnitude = std::fabs(value);
  if (std::isnan(value) || magnitude < kLargest) {
    return static_cast<double>(static_cast<float>(value));
  }
  if (magnitude >= kOverflow) {
    return std::copysign(std::numeric_limits<double>::infinity(), value);
  }
  return std::copysign(kLargest, value);
}

void expect_values(const std::vector<double>& values, std::size_t size, const char* task) {
  if (values.size() != size) {
    throw std::invalid_argument(std::string(task) + " state needs " + std::to_string(size) +
                                " values, got " + std::to_string(values.size()));
  }
}

std::int64_t integer_value(double value, std::int64_t low, std::int64_t high, const char* what) {
  if (!(value >= static_cast<double>(low) && value <= static_cast<double>(high)) ||
      value != std::floor(value)) {
    throw std::invalid_argument(std::string(what) + " must be an integer in [" +
                                std::to_string(low) + ", " + std::to_string(high) + "]");
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace velto::tasks
