#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kit/experiments/tasks/timed_task.hpp"

namespace velto::tasks {

// A toy-text task: a table of outcomes for every state and action, each with its probability,
// next state, reward and termination. Every step draws one random() and takes the first outcome
// whose running sum of probabilities (summed in table order, as NumPy's cumsum does) exceeds it,
// or the first outcome when none does; the starting state is drawn the same way.
class TabularTask : public TimedTask {
 public:
  TabularTask(std::int64_t num_states, std::int32_t num_actions,
              std::optional<std::int64_t> max_episode_steps);

  std::int32_t num_actions() const final { return num_actions_; }
  bool discrete_observation() const final { return true; }
  std::size_t observation_size() const final { return 1; }
  std::int64_t observation_count() const final { return num_states_; }
  // A Discrete observation has no bounds.
  std::vector<double> observation_low() const final { return {}; }
  std::vector<double> observation_high() const final { return {}; }
  const double* observation() const final { return &observation_; }

 protected:
  struct Outcome {
    double cumulative_probability;
    std::int64_t next_state;
    double reward;
    bool terminated;
  };

  // Appends an outcome of (state, action) to the table, in the order Gymnasium lists them.
  void add_outcome(std::int64_t state, std::int32_t action, double probability,
                   std::int64_t next_state, double reward, bool terminated);
  void set_initial_distribution(const std::vector<double>& probabilities);

  void start(NumpyGenerator& generator) override;
  Transition advance(std::int32_t action, NumpyGenerator& generator) override;
  // The state
  std::vector<double> values() const override;
  void load_values(const std::vector<double>& values) override;

  // The outcome of `action` in the current state, drawn from `generator`.
  const Outcome& draw_outcome(std::int32_t action, NumpyGenerator& generator) const;
  std::int64_t current_state() const { return state_; }
  void move_to(std::int64_t state);

 private:
  std::int64_t num_states_;
  std::int32_t num_actions_;
  std::vector<std::vector<Outcome>> table_;  // by state * num_actions + action
  std::vector<double> initial_cumulative_;
  std::int64_t state_ = 0;
  double observation_ = 0.0;
};

// CliffWalking-v1: a 4 x 12 grid walked from its lower left to its lower right corner along a
// cliff that sends the walker back to the start for -100; with is_slippery a move goes to either
// side of the intended direction a third of the time each.
class CliffWalking final : public TabularTask {
 public:
  CliffWalking(bool is_slippery, std::optional<std::int64_t> max_episode_steps);
};

// FrozenLake-v1: a 4 x 4 or 8 x 8 lake crossed from S to G past holes; slippery ice keeps the
// intended direction with success_rate and slides to each side with half of the rest.
class FrozenLake final : public TabularTask {
 public:
  FrozenLake(const std::vector<const char*>& map, bool is_slippery, double success_rate,
             std::optional<std::int64_t> max_episode_steps);
};

// Taxi-v4: a taxi on a 5 x 5 grid with walls picks a passenger up at one of four stands and drops
// them at another. is_rainy makes moves slide sideways (1 - rainy_probability in all), and a
// fickle passenger may, with fickle_probability per episode, change their destination once on
// the first move after boarding.
class Taxi final : public TabularTask {
 public:
  Taxi(bool is_rainy, bool fickle_passenger, double rainy_probability, double fickle_probability,
       std::optional<std::int64_t> max_episode_steps);

 protected:
  void start(NumpyGenerator& generator) override;
  Transition advance(std::int32_t action, NumpyGenerator& generator) override;
  // The state and whether the passenger may still change their mind.
  std::vector<double> values() const override;
  void load_values(const std::vector<double>& values) override;

 private:
  bool fickle_passenger_;
  double fickle_probability_;
  bool fickle_step_ = false;
};

}  // namespace velto::tasks
