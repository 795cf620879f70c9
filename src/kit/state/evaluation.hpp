#pragma once

#include <cstdint>
#include <vector>

#include "agent/velto_actor_critic.hpp"

namespace velto {

// What the agent's learners give for a state right now, computed as their step computes it and
// changing nothing: no learning, no draw. Both check the feature list first, as the step does
// (std::out_of_range with the step's message).

// The critic's value: its weights summed from 0 in list order, one term per occurrence. A step
// into this state computes exactly this value before its sweep changes any weight.
float critic_value(const VeltoActorCritic& agent, const std::vector<std::int32_t>& features);

// Each unit's probability (`action_prob_at_init` plus the weights in list order) clipped as the
// unit clips it before it decides: 1 at or above 1, 0 at or below 0, NaN kept. A step computes its
// probability after its sweep, from weights the sweep may have changed.
std::vector<float> action_probabilities(const VeltoActorCritic& agent,
                                        const std::vector<std::int32_t>& features);

}  // namespace velto
