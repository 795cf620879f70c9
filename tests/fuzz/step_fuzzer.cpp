// Coverage-guided fuzzing of the agent: an input picks the constructor's arguments and a sequence
// of steps, any float bit pattern and any index included. For each input the agent must either
// reject a call without any change or return a valid action list, and a twin agent built alike
// and given the accepted calls must stay identical to it bit for bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "agent/velto_actor_critic.hpp"

namespace {

constexpr std::size_t kMaxSteps = 256;
constexpr std::size_t kMaxFeaturesPerStep = 16;
constexpr std::int32_t kMaxNumFeatures = 64;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "step_fuzzer: %s\n", what);
    std::abort();
  }
}

// Half of the floats come from values that steer the learners into their edge cases, the other
// half are raw bit patterns (NaNs with payloads, subnormals, anything).
float fuzzed_float(FuzzedDataProvider& input) {
  static const float kInteresting[] = {0.0f,
                                       -0.0f,
                                       1.0f,
                                       -1.0f,
                                       0.5f,
                                       0.9f,
                                       0.95f,
                                       0.1f,
                                       1e-3f,
                                       1e-8f,
                                       2.0f,
                                       1e30f,
                                       -1e30f,
                                       std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::denorm_min(),
                                       std::numeric_limits<float>::min(),
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::quiet_NaN()};
  const std::uint8_t selector = input.ConsumeIntegral<std::uint8_t>();
  if (selector % 2 == 0) {
    return kInteresting[(selector / 2) % (sizeof(kInteresting) / sizeof(kInteresting[0]))];
  }
  const std::uint32_t bits = input.ConsumeIntegral<std::uint32_t>();
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Mostly valid indices; sometimes the nearest invalid ones or any 32-bit value.
std::int32_t fuzzed_index(FuzzedDataProvider& input, std::int32_t num_features) {
  const std::uint8_t kind = input.ConsumeIntegral<std::uint8_t>();
  if (kind < 8) {
    return input.ConsumeIntegral<std::int32_t>();
  }
  if (kind < 16 || num_features == 0) {
    return input.ConsumeBool() ? -1 : num_features;
  }
  return input.ConsumeIntegralInRange<std::int32_t>(0, num_features - 1);
}

bool same_bits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

bool same_state(const velto::Critic& a, const velto::Critic& b) {
  return a.trace_list == b.trace_list && same_bits(a.weights, b.weights) &&
         same_bits(a.traces, b.traces) && same_bits(a.recent_step, b.recent_step) &&
         same_bits(a.weight_change, b.weight_change) && same_bits(a.h, b.h) &&
         same_bits(a.h_old, b.h_old) && same_bits(a.h_temp, b.h_temp) &&
         same_bits(a.log_step_size, b.log_step_size) && same_bits(a.trace_bar, b.trace_bar) &&
         same_bits(a.h_trace, b.h_trace) && same_bits(a.entry_step, b.entry_step) &&
         same_bits(a.value_change, b.value_change) && same_bits(a.lambda_, b.lambda_) &&
         same_bits(a.epsilon, b.epsilon) && same_bits(a.last_value, b.last_value) &&
         same_bits(a.meta_step_size, b.meta_step_size) && same_bits(a.eta, b.eta) &&
         same_bits(a.decay, b.decay);
}

bool same_state(const velto::ActorUnit& a, const velto::ActorUnit& b) {
  return a.trace_list == b.trace_list && same_bits(a.weights, b.weights) &&
         same_bits(a.traces, b.traces) && same_bits(a.recent_step, b.recent_step) &&
         same_bits(a.h, b.h) && same_bits(a.h_old, b.h_old) && same_bits(a.h_temp, b.h_temp) &&
         same_bits(a.log_step_size, b.log_step_size) && same_bits(a.trace_bar, b.trace_bar) &&
         same_bits(a.h_trace, b.h_trace) && same_bits(a.entry_step, b.entry_step) &&
         a.rng == b.rng && same_bits(a.lambda_, b.lambda_) && same_bits(a.epsilon, b.epsilon) &&
         same_bits(a.meta_step_size, b.meta_step_size) && same_bits(a.eta_actor, b.eta_actor) &&
         same_bits(a.decay, b.decay) && same_bits(a.action_prob_at_init, b.action_prob_at_init);
}

bool same_state(const velto::VeltoActorCritic& a, const velto::VeltoActorCritic& b) {
  return same_state(a.critic, b.critic) &&
         std::equal(
             a.units.begin(), a.units.end(), b.units.begin(), b.units.end(),
             [](const velto::ActorUnit& x, const velto::ActorUnit& y) { return same_state(x, y); });
}

bool valid_action_list(const std::vector<std::int32_t>& taken, std::size_t num_units) {
  for (std::size_t k = 0; k < taken.size(); ++k) {
    if (taken[k] < 0 || static_cast<std::size_t>(taken[k]) >= num_units) {
      return false;
    }
    if (k > 0 && taken[k - 1] >= taken[k]) {
      return false;
    }
  }
  return true;
}

struct Arguments {
  std::int32_t num_features;
  std::int32_t num_actions;
  float lambda_, alpha, epsilon, meta_step_size, eta, eta_actor, decay, action_prob_at_init;
  std::int32_t seed;

  velto::VeltoActorCritic build() const {
    return velto::VeltoActorCritic(num_features, num_actions, lambda_, alpha, epsilon,
                                   meta_step_size, eta, eta_actor, decay, action_prob_at_init,
                                   seed);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Arguments arguments{};
  arguments.num_features = input.ConsumeIntegralInRange<std::int32_t>(-2, kMaxNumFeatures);
  arguments.num_actions = input.ConsumeIntegralInRange<std::int32_t>(-3, 8);
  arguments.lambda_ = fuzzed_float(input);
  arguments.alpha = fuzzed_float(input);
  arguments.epsilon = fuzzed_float(input);
  arguments.meta_step_size = fuzzed_float(input);
  arguments.eta = fuzzed_float(input);
  arguments.eta_actor = fuzzed_float(input);
  arguments.decay = fuzzed_float(input);
  arguments.action_prob_at_init = fuzzed_float(input);
  arguments.seed = input.ConsumeIntegral<std::int32_t>();

  if (arguments.num_features < 0) {
    try {
      arguments.build();
    } catch (const std::length_error&) {
      return 0;
    }
    require(false, "a negative num_features was accepted");
  }

  velto::VeltoActorCritic agent = arguments.build();
  velto::VeltoActorCritic twin = arguments.build();
  const std::size_t num_units =
      arguments.num_actions > 0 ? static_cast<std::size_t>(arguments.num_actions) : 0;
  require(agent.units.size() == num_units, "wrong number of units");

  for (std::size_t step = 0; step < kMaxSteps && input.remaining_bytes() > 0; ++step) {
    const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, kMaxFeaturesPerStep);
    std::vector<std::int32_t> features;
    bool in_range = true;
    for (std::size_t k = 0; k < count; ++k) {
      const std::int32_t index = fuzzed_index(input, arguments.num_features);
      in_range = in_range && index >= 0 && index < arguments.num_features;
      features.push_back(index);
    }
    const float reward = fuzzed_float(input);
    const float gamma = fuzzed_float(input);

    if (!in_range) {
      const velto::VeltoActorCritic before = agent;
      bool rejected = false;
      try {
        agent.step(features, reward, gamma);
      } catch (const std::out_of_range&) {
        rejected = true;
      }
      require(rejected, "an index outside [0, num_features) was accepted");
      require(same_state(agent, before), "a rejected step changed the agent");
      continue;
    }

    const std::vector<std::int32_t> taken = agent.step(features, reward, gamma);
    require(valid_action_list(taken, num_units), "action list not ascending, unique and in range");
    require(twin.step(features, reward, gamma) == taken,
            "agents built alike took different actions");
  }
  require(same_state(agent, twin), "agents built alike ended in different states");
  return 0;
}
