#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kit/experiments/tasks/timed_task.hpp"

namespace velto::tasks {

// Acrobot-v1: two links swung up by a torque of -1, 0 or +1 at their joint, one fourth-order
// Runge-Kutta step of 0.2 s per action.
class Acrobot final : public TimedTask {
 public:
  explicit Acrobot(std::optional<std::int64_t> max_episode_steps)
      : TimedTask(max_episode_steps) {}

  std::int32_t num_actions() const override { return 3; }
  bool discrete_observation() const override { return false; }
  std::size_t observation_size() const override { return 6; }
  std::int64_t observation_count() const override { return 0; }
  std::vector<double> observation_low() const override;
  std::vector<double> observation_high() const override;
  const double* observation() const override { return observation_.data(); }

 protected:
  void start(NumpyGenerator& generator) override;
  Transition advance(std::int32_t action, NumpyGenerator& generator) override;
  // theta1, theta2, dtheta1, dtheta2, and 1 while they are still the starting state's binary32
  // values (0 once a step has made them double).
  std::vector<double> values() const override;
  void load_values(const std::vector<double>& values) override;

 private:
  void observe();

  std::array<double, 4> state_{};
  bool single_precision_ = false;
  std::array<double, 6> observation_{};
};

}  // namespace velto::tasks
