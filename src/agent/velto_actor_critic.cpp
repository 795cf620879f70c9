#include "agent/velto_actor_critic.hpp"

#include <cstddef>

#include "agent/feature_range.hpp"
#include "agent/memory_budget.hpp"

namespace velto {

namespace {

// Returns num_features after making sure the learners' arrays can be had. The arrays are
// zero-filled, so an allocation the kernel grants optimistically would otherwise be committed page
// by page and get the process killed instead of raising an error. A negative count is left to the
// critic, which rejects it with its own length error.
std::int32_t fitting_feature_count(std::int32_t num_features, std::int32_t num_actions) {
  if (num_features >= 0) {
    require_memory(agent_bytes(num_features, num_actions));
  }
  return num_features;
}

}  // namespace

std::uint32_t unit_seed(std::int32_t seed, std::int32_t index) {
  return static_cast<std::uint32_t>(seed) + 230290u + 24030u * static_cast<std::uint32_t>(index);
}

VeltoActorCritic::VeltoActorCritic(std::int32_t num_features, std::int32_t num_actions,
                                   float lambda_, float alpha, float epsilon, float meta_step_size,
                                   float eta, float eta_actor, float decay,
                                   float action_prob_at_init, std::int32_t seed)
    : units(),
      critic(fitting_feature_count(num_features, num_actions), lambda_, alpha, epsilon,
             meta_step_size, eta, decay) {
  if (num_actions <= 0) {
    return;
  }
  units.reserve(static_cast<std::size_t>(num_actions));
  for (std::int32_t i = 0; i < num_actions; ++i) {
    units.push_back(ActorUnit(num_features, lambda_, alpha, epsilon, meta_step_size, eta_actor,
                              decay, action_prob_at_init, unit_seed(seed, i)));
  }
}

std::vector<std::int32_t> VeltoActorCritic::step(const std::vector<std::int32_t>& features,
                                                 float reward, float gamma) {
  check_feature_range(features, critic.weights.size());

  const CriticOutput out = critic.step(features, reward, gamma);
  // The result list is the one allocation of a step once the learners' lists have reached their
  // working sizes: reserved whole, it is not regrown action by action.
  std::vector<std::int32_t> taken;
  taken.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i].step(features, out.td_error, gamma, out.value_change)) {
      taken.push_back(static_cast<std::int32_t>(i));
    }
  }
  return taken;
}

}  // namespace velto
