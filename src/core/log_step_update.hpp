#pragma once

#include <cstddef>
#include <cstdint>

namespace velto {

// The meta-gradient step and cap that both learners' sweeps apply to each listed log step size,
// several at once, with one step's constants: for each n, with i = listed[n] and
// b = log_step_size[i],
//   updated[n] = float((((meta_step_size / (exp(b) + 1e-8)) * error) * h_trace[i]) + b),
// evaluated in double from exactly widened floats (exp in float), then log(budget) instead where
// exp(updated[n]) exceeds `budget` or is infinite; a NaN exp keeps the value. Bit for bit what the
// one-by-one sweeps compute, eight at a time; only when fast_math_usable().
class LogStepUpdate {
 public:
  LogStepUpdate(float meta_step_size, float error, float budget);

  // `listed` holds `count` feature indices, which need not be distinct.
  void apply(const std::int32_t* listed, std::size_t count, const float* log_step_size,
             const float* h_trace, float* updated) const;

 private:
  double meta_step_size_;
  double error_;
  float budget_;
  float log_budget_;
};

}  // namespace velto
