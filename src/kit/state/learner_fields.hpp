#pragma once

#include <array>
#include <vector>

#include "core/actor_unit.hpp"
#include "core/critic.hpp"

namespace velto {

// A learner's per-feature array or scalar member with the name the kit shows it under (the
// member's own name), so that inspection, checkpoints and loading walk one list in one order.
template <typename Learner>
struct ArrayField {
  const char* name;
  std::vector<float> Learner::*member;
};

template <typename Learner>
struct ScalarField {
  const char* name;
  float Learner::*member;
};

template <typename Learner>
struct LearnerFields;

template <>
struct LearnerFields<Critic> {
  static constexpr std::array<ArrayField<Critic>, 11> arrays{{
      {"weights", &Critic::weights},
      {"traces", &Critic::traces},
      {"recent_step", &Critic::recent_step},
      {"weight_change", &Critic::weight_change},
      {"h", &Critic::h},
      {"h_old", &Critic::h_old},
      {"h_temp", &Critic::h_temp},
      {"log_step_size", &Critic::log_step_size},
      {"trace_bar", &Critic::trace_bar},
      {"h_trace", &Critic::h_trace},
      {"entry_step", &Critic::entry_step},
  }};
  static constexpr std::array<ScalarField<Critic>, 7> scalars{{
      {"value_change", &Critic::value_change},
      {"lambda_", &Critic::lambda_},
      {"epsilon", &Critic::epsilon},
      {"last_value", &Critic::last_value},
      {"meta_step_size", &Critic::meta_step_size},
      {"eta", &Critic::eta},
      {"decay", &Critic::decay},
  }};
};

template <>
struct LearnerFields<ActorUnit> {
  static constexpr std::array<ArrayField<ActorUnit>, 10> arrays{{
      {"weights", &ActorUnit::weights},
      {"traces", &ActorUnit::traces},
      {"recent_step", &ActorUnit::recent_step},
      {"h", &ActorUnit::h},
      {"h_old", &ActorUnit::h_old},
      {"h_temp", &ActorUnit::h_temp},
      {"log_step_size", &ActorUnit::log_step_size},
      {"trace_bar", &ActorUnit::trace_bar},
      {"h_trace", &ActorUnit::h_trace},
      {"entry_step", &ActorUnit::entry_step},
  }};
  static constexpr std::array<ScalarField<ActorUnit>, 6> scalars{{
      {"lambda_", &ActorUnit::lambda_},
      {"epsilon", &ActorUnit::epsilon},
      {"meta_step_size", &ActorUnit::meta_step_size},
      {"eta_actor", &ActorUnit::eta_actor},
      {"decay", &ActorUnit::decay},
      {"action_prob_at_init", &ActorUnit::action_prob_at_init},
  }};
};

}  // namespace velto
