#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kit/experiments/tasks/timed_task.hpp"

namespace velto::tasks {

// MountainCar-v0: an underpowered car in a valley, pushed left, not at all, or right.
class MountainCar final : public TimedTask {
 public:
  MountainCar(double goal_velocity, std::optional<std::int64_t> max_episode_steps)
      : TimedTask(max_episode_steps), goal_velocity_(goal_velocity) {}

  std::int32_t num_actions() const override { return 3; }
  bool discrete_observation() const override { return false; }
  std::size_t observation_size() const override { return 2; }
  std::int64_t observation_count() const override { return 0; }
  std::vector<double> observation_low() const override;
  std::vector<double> observation_high() const override;
  const double* observation() const override { return observation_.data(); }

 protected:
  void start(NumpyGenerator& generator) override;
  Transition advance(std::int32_t action, NumpyGenerator& generator) override;
  // position, velocity
  std::vector<double> values() const override;
  void load_values(const std::vector<double>& values) override;

 private:
  void observe();

  double goal_velocity_;
  double position_ = 0.0;
  double velocity_ = 0.0;
  std::array<double, 2> observation_{};
};

}  // namespace velto::tasks
