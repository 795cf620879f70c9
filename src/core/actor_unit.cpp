#include "core/actor_unit.hpp"

#include <cmath>

#include "core/fast_math.hpp"
#include "core/feature_sum.hpp"
#include "core/per_feature_array.hpp"
#include "core/uniform_draw.hpp"

namespace velto {

ActorUnit::ActorUnit(std::int32_t num_features, float lambda_, float alpha, float epsilon,
                     float meta_step_size, float eta_actor, float decay, float action_prob_at_init,
                     std::uint32_t seed)
    : trace_list(),
      weights(per_feature_array(num_features, 0.0f)),
      traces(per_feature_array(num_features, 0.0f)),
      recent_step(per_feature_array(num_features, 0.0f)),
      h(per_feature_array(num_features, 0.0f)),
      h_old(per_feature_array(num_features, 0.0f)),
      h_temp(per_feature_array(num_features, 0.0f)),
      log_step_size(per_feature_array(num_features, std::log(alpha))),
      trace_bar(per_feature_array(num_features, 0.0f)),
      h_trace(per_feature_array(num_features, 0.0f)),
      entry_step(per_feature_array(num_features, 0.0f)),
      rng(seed),
      lambda_(lambda_),
      epsilon(epsilon),
      meta_step_size(meta_step_size),
      eta_actor(eta_actor),
      decay(decay),
      action_prob_at_init(action_prob_at_init) {}

bool ActorUnit::step(const std::vector<std::int32_t>& features, float td_error, float gamma,
                     float value_change) {
  if (fast_math_usable() && SweepScratch::pays_for(weights.size())) {
    sweep_traces_avx2(td_error, gamma, value_change);
  } else {
    sweep_traces(td_error, gamma, value_change);
  }

  const float probability =
      sum_over(features, action_prob_at_init, [this](std::int32_t j) { return weights[j]; });

  // Certain outcomes need no draw; anything else, NaN included, draws once and a NaN probability
  // then compares false.
  float clipped_probability = 1.0f;
  if (probability >= 1.0f) {
    clipped_probability = 1.0f;
  } else if (probability <= 0.0f) {
    return false;
  } else {
    const double u = uniform_draw(rng);
    if (!(static_cast<double>(probability) > u)) {
      return false;
    }
    clipped_probability = probability;
  }

  enter_features(features, clipped_probability);
  return true;
}

// Same sweep as the critic's, except that the meta update multiplies by `td_error` alone and
// `value_change` is this step's critic output.
void ActorUnit::sweep_traces(float td_error, float gamma, float value_change) {
  const float trace_decay = gamma * lambda_;
  std::size_t k = 0;
  while (k < trace_list.size()) {
    const std::int32_t i = trace_list[k];

    weights[i] = ((td_error * traces[i]) - (value_change * recent_step[i])) + weights[i];

    // Meta-gradient step of the log step size, in double from the widened float operands and
    // rounded to float once.
    const float b = log_step_size[i];
    const float exp_b = std::exp(b);
    const double meta_update =
        (((static_cast<double>(meta_step_size) / (static_cast<double>(exp_b) + 1e-8)) *
          static_cast<double>(td_error)) *
         static_cast<double>(h_trace[i])) +
        static_cast<double>(b);
    log_step_size[i] = static_cast<float>(meta_update);

    const float clamped_step = std::exp(log_step_size[i]);
    if (clamped_step > eta_actor || std::isinf(clamped_step)) {
      log_step_size[i] = std::log(eta_actor);
    }

    h_old[i] = h[i];
    h[i] = ((td_error * trace_bar[i]) + h_temp[i]) - (value_change * recent_step[i]);
    h_temp[i] = h[i];

    recent_step[i] = 0.0f;

    traces[i] = trace_decay * traces[i];
    h_trace[i] = trace_decay * h_trace[i];
    trace_bar[i] = trace_decay * trace_bar[i];

    if (traces[i] <= entry_step[i] * epsilon) {
      traces[i] = 0.0f;
      h_trace[i] = 0.0f;
      trace_bar[i] = 0.0f;
      trace_list[k] = trace_list.back();
      trace_list.pop_back();
    } else {
      ++k;
    }
  }
}

// Runs only when the action is taken. Each entering step size is divided by the clipped
// probability, and the state's step sizes together stay within `eta_actor`.
void ActorUnit::enter_features(const std::vector<std::int32_t>& features,
                               float clipped_probability) {
  const float step_total =
      sum_over(features, 0.0f, [this](std::int32_t j) { return std::exp(log_step_size[j]); });
  const float q = (clipped_probability * eta_actor) / step_total;
  // 1 also for a NaN or infinite q.
  const float step_scale = q < 1.0f ? q : 1.0f;
  if (features.empty()) {
    return;
  }

  const float trace_sum = sum_over(features, 0.0f, [this](std::int32_t j) { return traces[j]; });
  const float entry_scale = (1.0f / clipped_probability) * step_scale;
  const float one_minus_trace_sum = 1.0f - trace_sum;
  const bool over_budget = step_scale < 1.0f;
  const float log_decay = over_budget ? std::log(decay) : 0.0f;

  for (const std::int32_t j : features) {
    if (traces[j] == 0.0f) {
      trace_list.push_back(j);
    }

    recent_step[j] = std::exp(log_step_size[j]) * entry_scale;
    entry_step[j] = recent_step[j];

    if (over_budget) {
      h_temp[j] = 0.0f;
      h[j] = 0.0f;
      h_old[j] = 0.0f;
      trace_bar[j] = 0.0f;
      log_step_size[j] = log_decay + log_step_size[j];
    }

    traces[j] = (one_minus_trace_sum * recent_step[j]) + traces[j];
    h_trace[j] = h[j] + h_trace[j];
    trace_bar[j] = ((one_minus_trace_sum - trace_bar[j]) * recent_step[j]) + trace_bar[j];
    h_temp[j] = (h[j] - ((traces[j] - recent_step[j]) * h_old[j])) - (h[j] * recent_step[j]);
  }
}

}  // namespace velto
