// Runs a long, seeded random scenario through several agents and prints a digest of every learner's
// whole state at regular checkpoints. The test suite builds this program at different optimisation
// levels and requires identical output: the learners' bits must not depend on the compiler's
// choices.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "learner_digest.hpp"

namespace {

float bits_to_float(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

// Mostly ordinary values, sometimes an arbitrary bit pattern (NaN, infinity, subnormal, huge).
float scenario_float(std::mt19937& scenario, float low, float high) {
  if (scenario() % 50 == 0) {
    return bits_to_float(static_cast<std::uint32_t>(scenario()));
  }
  const float unit = static_cast<float>(scenario() >> 8) * 0x1p-24f;
  return low + unit * (high - low);
}

}  // namespace

int main() {
  std::mt19937 scenario(20261207u);
  constexpr int kAgents = 6;
  constexpr int kSteps = 4000;
  for (int a = 0; a < kAgents; ++a) {
    const std::int32_t num_features = 1 + static_cast<std::int32_t>(scenario() % 300);
    const std::int32_t num_actions = static_cast<std::int32_t>(scenario() % 5);
    // The first agent keeps ordinary parameters throughout so that learning runs long and finite.
    const bool extreme = a > 0;
    const auto parameter = [&](float low, float high) {
      return extreme ? scenario_float(scenario, low, high)
                     : low + static_cast<float>(scenario() >> 8) * 0x1p-24f * (high - low);
    };
    velto::VeltoActorCritic agent(
        num_features, num_actions, parameter(0.5f, 0.99f), parameter(0.001f, 0.2f),
        parameter(0.0f, 0.05f), parameter(0.0f, 0.1f), parameter(0.1f, 2.0f), parameter(0.1f, 2.0f),
        parameter(0.5f, 1.0f), parameter(0.0f, 1.0f), static_cast<std::int32_t>(scenario()));
    for (int t = 1; t <= kSteps; ++t) {
      std::vector<std::int32_t> features(scenario() % 12);
      for (std::int32_t& j : features) {
        j = static_cast<std::int32_t>(scenario() % static_cast<std::uint32_t>(num_features));
      }
      const float reward = extreme ? scenario_float(scenario, -1.0f, 1.0f)
                                   : static_cast<float>(scenario() % 2001) / 1000.0f - 1.0f;
      const float gamma = scenario() % 20 == 0 ? 0.0f : 0.95f;
      const std::vector<std::int32_t> taken = agent.step(features, reward, gamma);
      if (t % 500 == 0) {
        std::printf("agent %d step %d actions %zu digest %016llx\n", a, t, taken.size(),
                    static_cast<unsigned long long>(digest_of(agent)));
      }
    }
  }
  return 0;
}
