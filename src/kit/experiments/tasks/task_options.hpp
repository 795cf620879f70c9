#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "kit/experiments/tasks/task.hpp"

namespace velto::tasks {

// Reads gym.make's keyword arguments for one task: each reader takes one option by name (or its
// default), and finish() refuses whatever no reader took, so that an option Gymnasium would
// apply and the native task would ignore is never passed over silently.
class OptionReader {
 public:
  OptionReader(std::string env_id, const TaskOptions& options);

  bool take_bool(const std::string& name, bool fallback);
  // A float option; an integer is taken as the float it converts to, as Python's arithmetic does.
  double take_double(const std::string& name, double fallback);
  // take_double, and refused outside [low, high].
  double take_probability(const std::string& name, double fallback);
  std::string take_string(const std::string& name, const std::string& fallback);
  // max_episode_steps: the registered limit by default, -1 for none, otherwise at least 1.
  std::optional<std::int64_t> take_time_limit(std::optional<std::int64_t> registered);
  void finish();

 private:
  const TaskOption* find(const std::string& name);
  [[noreturn]] void refuse(const std::string& name, const std::string& why) const;

  std::string env_id_;
  const TaskOptions& options_;
  std::set<std::string> taken_;
};

}  // namespace velto::tasks
