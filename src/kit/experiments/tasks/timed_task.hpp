#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "kit/experiments/numpy_random.hpp"
#include "kit/experiments/tasks/task.hpp"

namespace velto::tasks {

// What every task shares with gym.make's wrappers: the environment's generator (reseeded by
// reset(seed), made from the operating system's entropy if the first reset has none, as an
// unseeded environment's first draw does), the order check (no step before the first reset) and
// the time limit, which marks a step truncated once the episode has taken that many steps,
// whether or not the step also terminated it.
class TimedTask : public Task {
 public:
  explicit TimedTask(std::optional<std::int64_t> max_episode_steps)
      : max_episode_steps_(max_episode_steps) {}

  std::optional<std::int64_t> max_episode_steps() const final { return max_episode_steps_; }
  void reset(const std::optional<Seed>& seed) final;
  Transition step(std::int32_t action) final;
  // elapsed_steps is -1 until the first reset.
  TaskState state() const final;
  void set_state(const TaskState& state) final;

 protected:
  // Draws the starting state and sets the observation.
  virtual void start(NumpyGenerator& generator) = 0;
  virtual Transition advance(std::int32_t action, NumpyGenerator& generator) = 0;
  // The task's own numbers in a fixed order, and their inverse, which checks them and sets the
  // observation (std::invalid_argument for numbers this task cannot be in).
  virtual std::vector<double> values() const = 0;
  virtual void load_values(const std::vector<double>& values) = 0;

 private:
  std::optional<std::int64_t> max_episode_steps_;
  std::optional<NumpyGenerator> generator_;
  std::int64_t elapsed_steps_ = -1;
};

// double to binary32 rounded to nearest, as NumPy casts: magnitudes past the largest float round
// to infinity (a plain conversion of those is undefined).
double as_float32(double value);

// Throws std::invalid_argument unless `values` has `size` entries.
void expect_values(const std::vector<double>& values, std::size_t size, const char* task);
// Throws std::invalid_argument unless `value` is an integer in [low, high].
std::int64_t integer_value(double value, std::int64_t low, std::int64_t high, const char* what);

}  // namespace velto::tasks
