#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/sweep_scratch.hpp"

namespace velto {

// One Bernoulli action unit: its probability is `action_prob_at_init` plus the weights of the
// active features, and when that lies strictly between 0 and 1 the unit's own engine decides.
// It learns from the critic's TD error with sparse traces and meta-learned per-feature step sizes,
// like the critic, under its own budget `eta_actor`.
//
// A plain value: copying a unit copies every array and the engine state, so the copy continues
// the same random sequence.
class ActorUnit {
 public:
  ActorUnit(std::int32_t num_features, float lambda_, float alpha, float epsilon,
            float meta_step_size, float eta_actor, float decay, float action_prob_at_init,
            std::uint32_t seed);

  // Learns from the transition into the state whose active features are `features` (every index
  // must lie in [0, num_features): nothing here checks it) and returns whether the unit's action
  // is taken in that state.
  bool step(const std::vector<std::int32_t>& features, float td_error, float gamma,
            float value_change);

  std::vector<std::int32_t> trace_list;
  std::vector<float> weights;
  std::vector<float> traces;
  std::vector<float> recent_step;
  std::vector<float> h;
  std::vector<float> h_old;
  std::vector<float> h_temp;
  std::vector<float> log_step_size;
  std::vector<float> trace_bar;
  std::vector<float> h_trace;
  std::vector<float> entry_step;
  std::mt19937 rng;
  float lambda_;
  float epsilon;
  float meta_step_size;
  float eta_actor;
  float decay;
  float action_prob_at_init;

 private:
  // The one-by-one sweep: the reference, and the path for a list that holds an index twice, for
  // arrays too large for the other to pay (SweepScratch::pays_for) and for processors without
  // AVX2 and FMA.
  void sweep_traces(float td_error, float gamma, float value_change);
  // The same sweep with the exps, the division and the cap eight entries at a time, and the same
  // result in every bit; only when fast_math_usable().
  void sweep_traces_avx2(float td_error, float gamma, float value_change);
  void enter_features(const std::vector<std::int32_t>& features, float clipped_probability);

  SweepScratch sweep_scratch;
};

}  // namespace velto
