#pragma once

#include <cstdint>
#include <vector>

#include "core/actor_unit.hpp"
#include "core/critic.hpp"

namespace velto {

// The agent: one critic and one Bernoulli actor unit per action, stepped together on each
// transition. It checks the feature list once for all learners, which index their arrays
// unchecked.
class VeltoActorCritic {
 public:
  VeltoActorCritic(std::int32_t num_features, std::int32_t num_actions, float lambda_, float alpha,
                   float epsilon, float meta_step_size, float eta, float eta_actor, float decay,
                   float action_prob_at_init, std::int32_t seed);

  // Runs the critic and then every unit on the transition into the state with the active
  // `features`, and returns the ascending indices of the actions taken there. Throws
  // std::out_of_range, before any learner changes, when an index lies outside [0, num_features).
  std::vector<std::int32_t> step(const std::vector<std::int32_t>& features, float reward,
                                 float gamma);

  std::vector<ActorUnit> units;
  Critic critic;
};

// The seed of unit `index`, in unsigned wrap-around arithmetic.
std::uint32_t unit_seed(std::int32_t seed, std::int32_t index);

}  // namespace velto
