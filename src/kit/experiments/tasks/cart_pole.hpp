#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kit/experiments/tasks/timed_task.hpp"

namespace velto::tasks {

// CartPole-v1 (and -v0): a pole on a cart pushed left or right, Euler steps of 0.02 s.
class CartPole final : public TimedTask {
 public:
  CartPole(bool sutton_barto_reward, std::optional<std::int64_t> max_episode_steps)
      : TimedTask(max_episode_steps), sutton_barto_reward_(sutton_barto_reward) {}

  std::int32_t num_actions() const override { return 2; }
  bool discrete_observation() const override { return false; }
  std::size_t observation_size() const override { return 4; }
  std::int64_t observation_count() const override { return 0; }
  std::vector<double> observation_low() const override;
  std::vector<double> observation_high() const override;
  const double* observation() const override { return observation_.data(); }

 protected:
  void start(NumpyGenerator& generator) override;
  Transition advance(std::int32_t action, NumpyGenerator& generator) override;
  // x, x_dot, theta, theta_dot, and the steps taken since termination (-1 before it).
  std::vector<double> values() const override;
  void load_values(const std::vector<double>& values) override;

 private:
  void observe();

  bool sutton_barto_reward_;
  std::array<double, 4> state_{};
  std::int64_t steps_beyond_terminated_ = -1;
  std::array<double, 4> observation_{};
};

}  // namespace velto::tasks
