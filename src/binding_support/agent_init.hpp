#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

#include "agent/velto_actor_critic.hpp"

namespace velto {

// The agent's __init__. The binding library ignores a second __init__ on an agent it has
// registered, but checks that before converting the arguments; an argument whose conversion
// runs __init__ on the same object (an __index__ that calls it) registers an agent there first.
// Building a second one afterwards would replace the registered agent's pointer with an
// unregistered one: its memory would leak and deallocating the object would end the process.
// So the check is made again once every argument is converted, and the call whose arguments
// finished last is ignored like any second __init__.
inline void construct_agent(pybind11::detail::value_and_holder& self, std::int32_t num_features,
                            std::int32_t num_actions, float lambda_, float alpha, float epsilon,
                            float meta_step_size, float eta, float eta_actor, float decay,
                            float action_prob_at_init, std::int32_t seed) {
  if (self.instance_registered()) {
    return;
  }
  self.value_ptr() =
      new VeltoActorCritic(num_features, num_actions, lambda_, alpha, epsilon, meta_step_size, eta,
                           eta_actor, decay, action_prob_at_init, seed);
}

}  // namespace velto
