#include "kit/experiments/tasks/task_options.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace velto::tasks {

OptionReader::OptionReader(std::string env_id, const TaskOptions& options)
    : env_id_(std::move(env_id)), options_(options) {}

const TaskOption* OptionReader::find(const std::string& name) {
  taken_.insert(name);
  const auto found = options_.find(name);
  return found == options_.end() ? nullptr : &found->second;
}

void OptionReader::refuse(const std::string& name, const std::string& why) const {
  throw std::invalid_argument(env_id_ + ": option " + name + " " + why);
}

bool OptionReader::take_bool(const std::string& name, bool fallback) {
  const TaskOption* option = find(name);
  if (option == nullptr) {
    return fallback;
  }
  if (const bool* value = std::get_if<bool>(option)) {
    return *value;
  }
  refuse(name, "must be a bool");
}

double OptionReader::take_double(const std::string& name, double fallback) {
  const TaskOption* option = find(name);
  if (option == nullptr) {
    return fallback;
  }
  double value = 0.0;
  if (const double* real = std::get_if<double>(option)) {
    value = *real;
  } else if (const std::int64_t* integer = std::get_if<std::int64_t>(option)) {
    value = static_cast<double>(*integer);
  } else {
    refuse(name, "must be a number");
  }
  if (!std::isfinite(value)) {
    refuse(name, "must be finite");
  }
  return value;
}

double OptionReader::take_probability(const std::string& name, double fallback) {
  const double value = take_double(name, fallback);
  if (!(value >= 0.0 && value <= 1.0)) {
    refuse(name, "must lie in [0, 1]");
  }
  return value;
}

std::string OptionReader::take_string(const std::string& name, const std::string& fallback) {
  const TaskOption* option = find(name);
  if (option == nullptr) {
    return fallback;
  }
  if (const std::string* value = std::get_if<std::string>(option)) {
    return *value;
  }
  refuse(name, "must be a string");
}

std::optional<std::int64_t> OptionReader::take_time_limit(
    std::optional<std::int64_t> registered) {
  const TaskOption* option = find("max_episode_steps");
  if (option == nullptr) {
    return registered;
  }
  const std::int64_t* steps = std::get_if<std::int64_t>(option);
  if (steps == nullptr) {
    refuse("max_episode_steps", "must be an int");
  }
  if (*steps == -1) {
    return std::nullopt;
  }
  if (*steps < 1) {
    refuse("max_episode_steps", "must be at least 1, or -1 for no limit");
  }
  return *steps;
}

void OptionReader::finish() {
  for (const auto& [name, value] : options_) {
    if (taken_.count(name) == 0) {
      refuse(name, "is not one this native task takes");
    }
  }
}

}  // namespace velto::tasks
