#pragma once

#include <array>
#include <cstddef>

namespace velto_bench {

// The floating-point work of a critic step on data that never leaves L1: per live trace the
// sweep's two single-precision exponentials, the double-precision meta update and its float
// operations, and per entering feature the entry pass's exponential and float operations. An
// actor unit's work differs by one subtraction per trace. A TD error of 0 and a trace decay of 1
// keep the values from drifting (only the traces creep up by one step size per entry), so no
// visit meets a subnormal, infinite or NaN operand that would run slower than the learners' own.
class ArithmeticFloor {
 public:
  ArithmeticFloor();

  // Runs `traces` sweep updates and `entries` entry updates, cycling over the resident entries.
  void run(std::size_t traces, std::size_t entries);

 private:
  static constexpr std::size_t kResident = 256;  // 11 arrays of 1 KiB: well inside L1

  std::array<float, kResident> weights_;
  std::array<float, kResident> traces_;
  std::array<float, kResident> recent_step_;
  std::array<float, kResident> weight_change_;
  std::array<float, kResident> h_;
  std::array<float, kResident> h_old_;
  std::array<float, kResident> h_temp_;
  std::array<float, kResident> log_step_size_;
  std::array<float, kResident> trace_bar_;
  std::array<float, kResident> h_trace_;
  std::array<float, kResident> entry_step_;
  float td_error_;
  float value_change_;
  float trace_decay_;
  float meta_step_size_;
  float eta_;
  float epsilon_;
  float step_scale_;
  float one_minus_trace_sum_;
  std::size_t pruned_;
};

}  // namespace velto_bench
