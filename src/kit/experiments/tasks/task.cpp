#include "kit/experiments/tasks/task.hpp"

#include <algorithm>
#include <stdexcept>

#include "kit/experiments/tasks/acrobot.hpp"
#include "kit/experiments/tasks/cart_pole.hpp"
#include "kit/experiments/tasks/mountain_car.hpp"
#include "kit/experiments/tasks/tabular_task.hpp"
#include "kit/experiments/tasks/task_options.hpp"

namespace velto::tasks {

namespace {

const std::vector<const char*> kFrozenLake4x4 = {"SFFF", "FHFH", "FFFH", "HFFG"};
const std::vector<const char*> kFrozenLake8x8 = {
    "SFFFFFFF", "FFFFFFFF", "FFFHFFFF", "FFFFFHFF",
    "FFFHFFFF", "FHHFFFHF", "FHFFHFHF", "FFFHFFFG",
};

std::unique_ptr<Task> frozen_lake(OptionReader& options, const std::string& default_map,
                                  std::int64_t registered_limit) {
  const std::string map_name = options.take_string("map_name", default_map);
  if (map_name != "4x4" && map_name != "8x8") {
    throw std::invalid_argument("option map_name must be \"4x4\" or \"8x8\", not \"" + map_name +
                                "\"");
  }
  const bool is_slippery = options.take_bool("is_slippery", true);
  const double success_rate = options.take_probability("success_rate", 1.0 / 3.0);
  const std::optional<std::int64_t> limit = options.take_time_limit(registered_limit);
  options.finish();
  return std::make_unique<FrozenLake>(map_name == "4x4" ? kFrozenLake4x4 : kFrozenLake8x8,
                                      is_slippery, success_rate, limit);
}

}  // namespace

std::vector<std::string> task_ids() {
  return {"CartPole-v1",     "CartPole-v0",      "MountainCar-v0",
          "Acrobot-v1",      "CliffWalking-v1",  "CliffWalkingSlippery-v1",
          "FrozenLake-v1",   "FrozenLake8x8-v1", "Taxi-v4"};
}

std::vector<std::string> exact_task_ids() {
  std::vector<std::string> ids = task_ids();
  ids.erase(std::find(ids.begin(), ids.end(), "Acrobot-v1"));
  return ids;
}

std::unique_ptr<Task> make_task(const std::string& env_id, const TaskOptions& options) {
  OptionReader reader(env_id, options);
  if (env_id == "CartPole-v1" || env_id == "CartPole-v0") {
    const bool sutton_barto_reward = reader.take_bool("sutton_barto_reward", false);
    const auto limit = reader.take_time_limit(env_id == "CartPole-v1" ? 500 : 200);
    reader.finish();
    return std::make_unique<CartPole>(sutton_barto_reward, limit);
  }
  if (env_id == "MountainCar-v0") {
    const double goal_velocity = reader.take_double("goal_velocity", 0.0);
    const auto limit = reader.take_time_limit(200);
    reader.finish();
    return std::make_unique<MountainCar>(goal_velocity, limit);
  }
  if (env_id == "Acrobot-v1") {
    const auto limit = reader.take_time_limit(500);
    reader.finish();
    return std::make_unique<Acrobot>(limit);
  }
  if (env_id == "CliffWalking-v1" || env_id == "CliffWalkingSlippery-v1") {
    const bool is_slippery = reader.take_bool("is_slippery", env_id == "CliffWalkingSlippery-v1");
    const auto limit = reader.take_time_limit(std::nullopt);
    reader.finish();
    return std::make_unique<CliffWalking>(is_slippery, limit);
  }
  if (env_id == "FrozenLake-v1") {
    return frozen_lake(reader, "4x4", 100);
  }
  if (env_id == "FrozenLake8x8-v1") {
    return frozen_lake(reader, "8x8", 200);
  }
  if (env_id == "Taxi-v4") {
    const bool is_rainy = reader.take_bool("is_rainy", false);
    const bool fickle_passenger = reader.take_bool("fickle_passenger", false);
    const double rainy_probability = reader.take_probability("rainy_probability", 0.8);
    const double fickle_probability = reader.take_probability("fickle_probability", 0.3);
    const auto limit = reader.take_time_limit(200);
    reader.finish();
    return std::make_unique<Taxi>(is_rainy, fickle_passenger, rainy_probability,
                                  fickle_probability, limit);
  }
  throw std::invalid_argument("no native task " + env_id);
}

}  // namespace velto::tasks
