#pragma once

#include <cstddef>
#include <cstdint>

#include "core/actor_unit.hpp"
#include "core/critic.hpp"
#include "memory_floor.hpp"
#include "state_stream.hpp"

namespace velto_bench {

// Learning parameters of every benchmark: lambda 0.9 and gamma 0.95 with epsilon 1e-3 let a trace
// live about 45 steps. alpha 1e-4 keeps a state of 2048 features within the budgets of 1, so the
// over-budget path stays out of the measurement. The meta step size is alpha's: the random TD
// errors of the workload then move the log step sizes slowly, where 1e-2 drove some of them to
// step sizes of 0 and their traces to subnormal values within 10^5 steps, and the cost of a step
// grew with every repetition.
constexpr float kLambda = 0.9f;
constexpr float kGamma = 0.95f;
constexpr float kEpsilon = 1e-3f;
constexpr float kAlpha = 1e-4f;
constexpr float kMetaStepSize = 1e-4f;
constexpr float kEta = 1.0f;
constexpr float kDecay = 0.5f;
constexpr float kActionProbAtInit = 0.5f;

template <typename Learner>
struct LearnerTraits;

// What the benchmarks need to know about each learner: how to build and step it through its
// public interface, and how many per-feature arrays each of its passes touches at one index.
template <>
struct LearnerTraits<velto::Critic> {
  static constexpr const char* name = "critic";
  static constexpr std::size_t swept_arrays = 11;
  static constexpr std::size_t entered_arrays = 10;
  // The critic reads the new state's weights before its sweep.
  static constexpr bool reads_value_before_sweep = true;

  static velto::Critic make(std::int32_t num_features) {
    return velto::Critic(num_features, kLambda, kAlpha, kEpsilon, kMetaStepSize, kEta, kDecay);
  }
  // The critic admits the new state at every step.
  static bool step(velto::Critic& critic, const Transition& transition) {
    critic.step(transition.features, transition.reward, kGamma);
    return true;
  }
  // The entry pass reaches every swept array but `weights`, which comes last.
  static StepArrays<swept_arrays> arrays(velto::Critic& c) {
    return {{c.traces.data(), c.log_step_size.data(), c.weight_change.data(), c.recent_step.data(),
             c.entry_step.data(), c.h_temp.data(), c.h.data(), c.h_old.data(), c.trace_bar.data(),
             c.h_trace.data(), c.weights.data()},
            c.weights.data(),
            c.log_step_size.data(),
            c.traces.data()};
  }
};

template <>
struct LearnerTraits<velto::ActorUnit> {
  static constexpr const char* name = "unit";
  static constexpr std::size_t swept_arrays = 10;
  static constexpr std::size_t entered_arrays = 9;
  static constexpr bool reads_value_before_sweep = false;

  static velto::ActorUnit make(std::int32_t num_features) {
    return velto::ActorUnit(num_features, kLambda, kAlpha, kEpsilon, kMetaStepSize, kEta, kDecay,
                            kActionProbAtInit, 5489u);
  }
  // A unit admits the new state only when its action is taken.
  static bool step(velto::ActorUnit& unit, const Transition& transition) {
    return unit.step(transition.features, transition.td_error, kGamma, transition.value_change);
  }
  static StepArrays<swept_arrays> arrays(velto::ActorUnit& u) {
    return {{u.traces.data(), u.log_step_size.data(), u.recent_step.data(), u.entry_step.data(),
             u.h_temp.data(), u.h.data(), u.h_old.data(), u.trace_bar.data(), u.h_trace.data(),
             u.weights.data()},
            u.weights.data(),
            u.log_step_size.data(),
            u.traces.data()};
  }
};

}  // namespace velto_bench
