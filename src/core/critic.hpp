#pragma once

#include <cstdint>
#include <vector>

#include "core/critic_output.hpp"
#include "core/sweep_scratch.hpp"

namespace velto {

// Linear state-value learner over sparse binary features, with per-feature step sizes learned in
// log space by a meta-gradient and held under a per-state budget `eta`. A step visits only the
// live traces in `trace_list` and the new state's features.
//
// The members are public and named as the algorithm names them so that tests and benchmarks can
// read the whole state; only `step` changes it.
class Critic {
 public:
  Critic(std::int32_t num_features, float lambda_, float alpha, float epsilon, float meta_step_size,
         float eta, float decay);

  // Learns from the transition into the state whose active features are `features` (every index
  // must lie in [0, num_features): nothing here checks it) and returns the change the sweep made
  // to that state's value together with the TD error.
  CriticOutput step(const std::vector<std::int32_t>& features, float reward, float gamma);

  std::vector<std::int32_t> trace_list;
  std::vector<float> weights;
  std::vector<float> traces;
  std::vector<float> recent_step;
  std::vector<float> weight_change;
  std::vector<float> h;
  std::vector<float> h_old;
  std::vector<float> h_temp;
  std::vector<float> log_step_size;
  std::vector<float> trace_bar;
  std::vector<float> h_trace;
  std::vector<float> entry_step;
  float value_change;
  float lambda_;
  float epsilon;
  float last_value;
  float meta_step_size;
  float eta;
  float decay;

 private:
  // The one-by-one sweep: the reference, and the path for a list that holds an index twice, for
  // arrays too large for the other to pay (SweepScratch::pays_for) and for processors without
  // AVX2 and FMA.
  void sweep_traces(float td_error, float gamma);
  // The same sweep with the exps, the division and the cap eight entries at a time, and the same
  // result in every bit; only when fast_math_usable().
  void sweep_traces_avx2(float td_error, float gamma);
  void enter_features(const std::vector<std::int32_t>& features, float step_scale,
                      float one_minus_trace_sum);

  SweepScratch sweep_scratch;
};

}  // namespace velto
