#include "arithmetic_floor.hpp"

#include <benchmark/benchmark.h>

#include <cmath>

namespace velto_bench {

ArithmeticFloor::ArithmeticFloor()
    : td_error_(0.0f),
      value_change_(0.0f),
      trace_decay_(1.0f),
      meta_step_size_(1e-2f),
      eta_(1.0f),
      epsilon_(1e-3f),
      step_scale_(1.0f),
      one_minus_trace_sum_(1.0f),
      pruned_(0) {
  weights_.fill(0.0f);
  traces_.fill(1e-4f);
  recent_step_.fill(0.0f);
  weight_change_.fill(0.0f);
  h_.fill(0.0f);
  h_old_.fill(0.0f);
  h_temp_.fill(0.0f);
  log_step_size_.fill(std::log(1e-4f));
  trace_bar_.fill(1e-4f);
  h_trace_.fill(0.0f);
  entry_step_.fill(1e-4f);
  // Hidden from the optimiser, so that nothing is folded although the values never change.
  benchmark::DoNotOptimize(td_error_);
  benchmark::DoNotOptimize(value_change_);
  benchmark::DoNotOptimize(trace_decay_);
  benchmark::DoNotOptimize(step_scale_);
  benchmark::DoNotOptimize(one_minus_trace_sum_);
}

void ArithmeticFloor::run(std::size_t traces, std::size_t entries) {
  for (std::size_t n = 0; n < traces; ++n) {
    const std::size_t i = n % kResident;
    weight_change_[i] = (td_error_ * traces_[i]) - (recent_step_[i] * value_change_);
    weights_[i] = weights_[i] + weight_change_[i];
    const float b = log_step_size_[i];
    const float exp_b = std::exp(b);
    const float td_error_minus_value_change = td_error_ - value_change_;
    const double meta_update =
        (((static_cast<double>(meta_step_size_) / (static_cast<double>(exp_b) + 1e-8)) *
          static_cast<double>(td_error_minus_value_change)) *
         static_cast<double>(h_trace_[i])) +
        static_cast<double>(b);
    log_step_size_[i] = static_cast<float>(meta_update);
    const float capped_step = std::exp(log_step_size_[i]);
    if (capped_step > eta_ || std::isinf(capped_step)) {
      log_step_size_[i] = std::log(eta_);
    }
    h_old_[i] = h_[i];
    h_[i] = ((td_error_ * trace_bar_[i]) + h_temp_[i]) - (recent_step_[i] * value_change_);
    h_temp_[i] = h_[i];
    recent_step_[i] = 0.0f;
    traces_[i] = trace_decay_ * traces_[i];
    h_trace_[i] = trace_decay_ * h_trace_[i];
    trace_bar_[i] = trace_decay_ * trace_bar_[i];
    if (traces_[i] <= entry_step_[i] * epsilon_) {
      ++pruned_;
    }
  }
  float value_change = 0.0f;
  for (std::size_t n = 0; n < entries; ++n) {
    const std::size_t j = n % kResident;
    value_change = value_change + weight_change_[j];
    recent_step_[j] = std::exp(log_step_size_[j]) * step_scale_;
    entry_step_[j] = recent_step_[j];
    traces_[j] = traces_[j] + (one_minus_trace_sum_ * recent_step_[j]);
    h_trace_[j] = h_trace_[j] + h_[j];
    trace_bar_[j] = trace_bar_[j] + ((one_minus_trace_sum_ - trace_bar_[j]) * recent_step_[j]);
    h_temp_[j] = (h_[j] - ((traces_[j] - recent_step_[j]) * h_old_[j])) - (h_[j] * recent_step_[j]);
  }
  benchmark::DoNotOptimize(value_change);
  benchmark::DoNotOptimize(pruned_);
}

}  // namespace velto_bench
