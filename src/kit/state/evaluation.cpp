#include "kit/state/evaluation.hpp"

#include "agent/feature_range.hpp"
#include "core/feature_sum.hpp"

namespace velto {

float critic_value(const VeltoActorCritic& agent, const std::vector<std::int32_t>& features) {
  const Critic& critic = agent.critic;
  check_feature_range(features, critic.weights.size());
  return sum_over(features, 0.0f, [&critic](std::int32_t j) { return critic.weights[j]; });
}

std::vector<float> action_probabilities(const VeltoActorCritic& agent,
                                        const std::vector<std::int32_t>& features) {
  check_feature_range(features, agent.critic.weights.size());
  std::vector<float> probabilities;
  probabilities.reserve(agent.units.size());
  for (const ActorUnit& unit : agent.units) {
    const float probability = sum_over(features, unit.action_prob_at_init,
                                       [&unit](std::int32_t j) { return unit.weights[j]; });
    // The unit's own tests, in its order: a NaN fails both and stays NaN.
    if (probability >= 1.0f) {
      probabilities.push_back(1.0f);
    } else if (probability <= 0.0f) {
      probabilities.push_back(0.0f);
    } else {
      probabilities.push_back(probability);
    }
  }
  return probabilities;
}

}  // namespace velto
