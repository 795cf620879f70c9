#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kit/experiments/numpy_random.hpp"

namespace velto::tasks {

// What one step of a task gives besides its observation, as Gymnasium's step returns it.
struct Transition {
  double reward = 0.0;
  bool terminated = false;
  bool truncated = false;  // the time limit ran out (also on a step that terminated)
};

// The keyword arguments of gym.make(env_id, **kwargs) that a task takes, by name.
using TaskOption = std::variant<bool, std::int64_t, double, std::string>;
using TaskOptions = std::map<std::string, TaskOption>;

// Everything a task needs to go on exactly where it was: its own numbers (the physical state, the
// grid cell, a pending flag) in a fixed order, its generator, and the steps of the episode so far.
struct TaskState {
  std::vector<double> values;
  Pcg64State generator;
  std::int64_t elapsed_steps = 0;
};

// One Gymnasium task, as gym.make(env_id, **kwargs) builds it (with its time limit), computed
// the way the installed Gymnasium computes it: dynamics in float64 in the same operations and
// order, the same rewards, termination and truncation, the observation cast to float32 where
// Gymnasium casts, and the same starting states for the same seed.
class Task {
 public:
  virtual ~Task() = default;

  // Discrete(n) actions.
  virtual std::int32_t num_actions() const = 0;
  // A Box observation (observation_size() values) or a Discrete one (one value, an integer in
  // [0, observation_count())).
  virtual bool discrete_observation() const = 0;
  virtual std::size_t observation_size() const = 0;
  virtual std::int64_t observation_count() const = 0;  // 0 for a Box
  // The Box's bounds, as Gymnasium's observation_space.low/high give them (as doubles); empty
  // for a Discrete observation.
  virtual std::vector<double> observation_low() const = 0;
  virtual std::vector<double> observation_high() const = 0;
  // The time limit in steps; none where the task has no limit.
  virtual std::optional<std::int64_t> max_episode_steps() const = 0;

  // env.reset(seed=seed), or env.reset() with no seed (the generator goes on where it is).
  virtual void reset(const std::optional<Seed>& seed) = 0;
  // env.step(action), action in [0, num_actions()).
  virtual Transition step(std::int32_t action) = 0;
  // The current observation, each value exactly as a double (a float32 cast stays exact).
  virtual const double* observation() const = 0;

  virtual TaskState state() const = 0;
  // Throws std::invalid_argument when the state does not fit this task. A task never reset has
  // elapsed_steps -1 and no values.
  virtual void set_state(const TaskState& state) = 0;
};

// The ids make_task knows: "CartPole-v1", "MountainCar-v0", "Acrobot-v1", "CliffWalking-v1", the
// toy-text tasks and the registered variants of these (CartPole-v0, CliffWalkingSlippery-v1,
// FrozenLake8x8-v1).
std::vector<std::string> task_ids();
// Those of task_ids() that give Gymnasium's numbers bit for bit. Acrobot-v1 is not among them: the
// first observation of an episode can differ in the last bit (NumPy's binary32 sine and cosine).
std::vector<std::string> exact_task_ids();

// gym.make(env_id, **options). Throws std::invalid_argument naming the id or the option when the
// id is not a native task or an option is unknown or out of range.
std::unique_ptr<Task> make_task(const std::string& env_id, const TaskOptions& options);

}  // namespace velto::tasks
