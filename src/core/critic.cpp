#include "core/critic.hpp"

#include <cmath>

#include "core/fast_math.hpp"
#include "core/feature_sum.hpp"
#include "core/per_feature_array.hpp"

namespace velto {

Critic::Critic(std::int32_t num_features, float lambda_, float alpha, float epsilon,
               float meta_step_size, float eta, float decay)
    : trace_list(),
      weights(per_feature_array(num_features, 0.0f)),
      traces(per_feature_array(num_features, 0.0f)),
      recent_step(per_feature_array(num_features, 0.0f)),
      weight_change(per_feature_array(num_features, 0.0f)),
      h(per_feature_array(num_features, 0.0f)),
      h_old(per_feature_array(num_features, 0.0f)),
      h_temp(per_feature_array(num_features, 0.0f)),
      log_step_size(per_feature_array(num_features, std::log(alpha))),
      trace_bar(per_feature_array(num_features, 0.0f)),
      h_trace(per_feature_array(num_features, 0.0f)),
      entry_step(per_feature_array(num_features, 0.0f)),
      value_change(0.0f),
      lambda_(lambda_),
      epsilon(epsilon),
      last_value(0.0f),
      meta_step_size(meta_step_size),
      eta(eta),
      decay(decay) {}

CriticOutput Critic::step(const std::vector<std::int32_t>& features, float reward, float gamma) {
  // Value of the new state before this step's sweep changes any weight.
  const float new_value = sum_over(features, 0.0f, [this](std::int32_t j) { return weights[j]; });
  const float td_error = ((new_value * gamma) + reward) - last_value;

  if (fast_math_usable() && SweepScratch::pays_for(weights.size())) {
    sweep_traces_avx2(td_error, gamma);
  } else {
    sweep_traces(td_error, gamma);
  }

  value_change = 0.0f;
  const float step_total =
      sum_over(features, 0.0f, [this](std::int32_t j) { return std::exp(log_step_size[j]); });
  // A tie or a NaN step_total keeps the budget itself as the divisor.
  const float budget_divisor = step_total > eta ? step_total : eta;
  const float step_scale = eta / budget_divisor;
  const float trace_sum = sum_over(features, 0.0f, [this](std::int32_t j) { return traces[j]; });
  const float one_minus_trace_sum = 1.0f - trace_sum;

  enter_features(features, step_scale, one_minus_trace_sum);

  last_value = new_value;
  return CriticOutput{value_change, td_error};
}

// Updates every live trace's feature and decays its traces; a trace that has fallen to the
// fraction `epsilon` of its entry step is pruned by moving the last entry into its place, which is
// then visited at the same position. `value_change` still holds the previous step's value here.
void Critic::sweep_traces(float td_error, float gamma) {
  const float trace_decay = gamma * lambda_;
  std::size_t k = 0;
  while (k < trace_list.size()) {
    const std::int32_t i = trace_list[k];

    weight_change[i] = (td_error * traces[i]) - (recent_step[i] * value_change);
    weights[i] = weights[i] + weight_change[i];

    // Meta-gradient step of the log step size: the only update carried out in double, from the
    // float operands widened exactly, rounded to float once at the end.
    const float b = log_step_size[i];
    const float exp_b = std::exp(b);
    const float td_error_minus_value_change = td_error - value_change;
    const double meta_update =
        (((static_cast<double>(meta_step_size) / (static_cast<double>(exp_b) + 1e-8)) *
          static_cast<double>(td_error_minus_value_change)) *
         static_cast<double>(h_trace[i])) +
        static_cast<double>(b);
    log_step_size[i] = static_cast<float>(meta_update);

    // No single step size may exceed the budget; a NaN exponential is left alone.
    const float capped_step = std::exp(log_step_size[i]);
    if (capped_step > eta || std::isinf(capped_step)) {
      log_step_size[i] = std::log(eta);
    }

    h_old[i] = h[i];
    h[i] = ((td_error * trace_bar[i]) + h_temp[i]) - (recent_step[i] * value_change);
    h_temp[i] = h[i];

    recent_step[i] = 0.0f;

    traces[i] = trace_decay * traces[i];
    h_trace[i] = trace_decay * h_trace[i];
    trace_bar[i] = trace_decay * trace_bar[i];

    // False for NaN on either side, so a NaN trace stays listed.
    if (traces[i] <= entry_step[i] * epsilon) {
      traces[i] = 0.0f;
      h_trace[i] = 0.0f;
      trace_bar[i] = 0.0f;
      weight_change[i] = 0.0f;
      trace_list[k] = trace_list.back();
      trace_list.pop_back();
    } else {
      ++k;
    }
  }
}

// Gives each occurrence in the feature list its step size and adds it to the traces. Each
// occurrence sees what earlier occurrences of the same index wrote.
void Critic::enter_features(const std::vector<std::int32_t>& features, float step_scale,
                            float one_minus_trace_sum) {
  const bool over_budget = step_scale < 1.0f;
  const float log_decay = over_budget ? std::log(decay) : 0.0f;
  for (const std::int32_t j : features) {
    // Admission tests the trace's value (a NaN trace is not 0), not membership of the list.
    if (traces[j] == 0.0f) {
      trace_list.push_back(j);
    }
    value_change = value_change + weight_change[j];

    recent_step[j] = std::exp(log_step_size[j]) * step_scale;
    entry_step[j] = recent_step[j];

    // The step size just given came from the undecayed log step size.
    if (over_budget) {
      h_temp[j] = 0.0f;
      h[j] = 0.0f;
      h_old[j] = 0.0f;
      trace_bar[j] = 0.0f;
      log_step_size[j] = log_step_size[j] + log_decay;
    }

    traces[j] = traces[j] + (one_minus_trace_sum * recent_step[j]);
    h_trace[j] = h_trace[j] + h[j];
    trace_bar[j] = trace_bar[j] + ((one_minus_trace_sum - trace_bar[j]) * recent_step[j]);
    h_temp[j] = (h[j] - ((traces[j] - recent_step[j]) * h_old[j])) - (h[j] * recent_step[j]);
  }
}

}  // namespace velto
