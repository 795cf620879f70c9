#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

#include "agent/velto_actor_critic.hpp"
#include "binding_support/construct_once.hpp"

namespace velto {

// The agent's __init__, built once even when an argument's conversion re-enters it (see
// construct_once).
inline void construct_agent(pybind11::detail::value_and_holder& self, std::int32_t num_features,
                            std::int32_t num_actions, float lambda_, float alpha, float epsilon,
                            float meta_step_size, float eta, float eta_actor, float decay,
                            float action_prob_at_init, std::int32_t seed) {
  construct_once<VeltoActorCritic>(self, num_features, num_actions, lambda_, alpha, epsilon,
                                   meta_step_size, eta, eta_actor, decay, action_prob_at_init,
                                   seed);
}

}  // namespace velto
