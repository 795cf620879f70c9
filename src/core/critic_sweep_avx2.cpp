#include <cstddef>

#include "core/critic.hpp"
#include "core/fast_math_avx2.hpp"
#include "core/log_step_update.hpp"

namespace velto {

#ifdef VELTO_HAVE_AVX2_KERNELS

namespace {

constexpr std::size_t kBlock = 16;

}  // namespace

// The sweep of Critic::sweep_traces in three passes (see SweepScratch): the same operations on
// the same operands, each rounded by itself, with exp from the eight-lane routine that returns the
// platform's bits. Entries of distinct features do not interact, so only the order of trace_list
// needs care, and SweepScratch::remove_pruned reproduces it.
//
// One thing is not fixed, here or in the one-by-one code: when both operands of an operation are
// NaN, x86 keeps the first one's payload, and compilers commute the operands of sums and products
// as they like (GCC 12 does so between -O0 and -O2), so which NaN survives may differ.
void Critic::sweep_traces_avx2(float td_error, float gamma) {
  if (!sweep_scratch.save_recent_steps(trace_list, recent_step)) {
    sweep_traces(td_error, gamma);
    return;
  }
  const std::size_t count = trace_list.size();
  const LogStepUpdate log_step_update(meta_step_size, td_error - value_change, eta);

  // Plain pointers in locals: the flag stores below are of a character type, which may alias
  // anything, and would otherwise make the compiler reload every array's address each time.
  const float trace_decay = gamma * lambda_;
  const std::int32_t* const listed = trace_list.data();
  const float* const step = sweep_scratch.saved_recent_steps();
  std::uint8_t* const pruned = sweep_scratch.pruned_flags();
  float* const weights_of = weights.data();
  float* const traces_of = traces.data();
  float* const recent_step_of = recent_step.data();
  float* const weight_change_of = weight_change.data();
  float* const h_of = h.data();
  float* const h_old_of = h_old.data();
  float* const h_temp_of = h_temp.data();
  float* const log_step_size_of = log_step_size.data();
  float* const trace_bar_of = trace_bar.data();
  float* const h_trace_of = h_trace.data();
  const float* const entry_step_of = entry_step.data();
  float updated_log_step[kBlock];
  for (std::size_t k = 0; k < count; ++k) {
    // The expensive part of a block of entries first, eight at a time, which also brings the
    // lines of its log step sizes and h traces in just before their use below.
    const std::size_t in_block = k % kBlock;
    if (in_block == 0) {
      log_step_update.apply(listed + k, count - k < kBlock ? count - k : kBlock, log_step_size_of,
                            h_trace_of, updated_log_step);
    }
    const std::int32_t i = listed[k];
    const float trace = traces_of[i];
    const float trace_bar_old = trace_bar_of[i];
    const float h_before = h_of[i];

    const float change = (td_error * trace) - (step[k] * value_change);
    const float h_new = ((td_error * trace_bar_old) + h_temp_of[i]) - (step[k] * value_change);
    const float trace_new = trace_decay * trace;
    const float h_trace_new = trace_decay * h_trace_of[i];
    const float trace_bar_new = trace_decay * trace_bar_old;
    // False for NaN on either side, so a NaN trace stays listed.
    const bool prune = trace_new <= entry_step_of[i] * epsilon;

    weights_of[i] = weights_of[i] + change;
    log_step_size_of[i] = updated_log_step[in_block];
    h_old_of[i] = h_before;
    h_of[i] = h_new;
    h_temp_of[i] = h_new;
    recent_step_of[i] = 0.0f;
    traces_of[i] = prune ? 0.0f : trace_new;
    h_trace_of[i] = prune ? 0.0f : h_trace_new;
    trace_bar_of[i] = prune ? 0.0f : trace_bar_new;
    weight_change_of[i] = prune ? 0.0f : change;
    pruned[k] = prune ? 1 : 0;
  }
  sweep_scratch.remove_pruned(trace_list);
}

#else

void Critic::sweep_traces_avx2(float td_error, float gamma) {
  sweep_traces(td_error, gamma);
}

#endif

}  // namespace velto
