#include <cmath>
#include <cstddef>

#include "core/critic.hpp"
#include "core/fast_math_avx2.hpp"
#include "core/lane_block_avx2.hpp"
#include "core/sweep_math_avx2.hpp"

namespace velto {

#ifdef VELTO_HAVE_AVX2_KERNELS

// The sweep of Critic::sweep_traces on eight entries at once. Each lane performs the same
// operations on the same operands, each rounded by itself, with exp from the eight-lane routine
// that returns the platform's bits; entries of distinct features do not interact, so only the
// order of trace_list needs care, and SweepScratch reproduces it.
//
// One thing is not fixed, here or in the one-by-one code: when both operands of an operation are
// NaN, x86 keeps the first one's payload, and compilers commute the operands of sums and products
// as they like (GCC 12 does so between -O0 and -O2), so which NaN survives may differ.
void VELTO_AVX2 Critic::sweep_traces_avx2(float td_error, float gamma) {
  if (!sweep_scratch.save_recent_steps(trace_list, recent_step)) {
    sweep_traces(td_error, gamma);
    return;
  }
  const std::size_t count = trace_list.size();
  const __m256 td = _mm256_set1_ps(td_error);
  const __m256 previous_change = _mm256_set1_ps(value_change);
  const __m256 trace_decay = _mm256_set1_ps(gamma * lambda_);
  const __m256 prune_fraction = _mm256_set1_ps(epsilon);
  const __m256 budget = _mm256_set1_ps(eta);
  const __m256 log_budget = _mm256_set1_ps(std::log(eta));
  const __m256d meta = _mm256_set1_pd(static_cast<double>(meta_step_size));
  const __m256d meta_error = _mm256_set1_pd(static_cast<double>(td_error - value_change));
  const float* saved_recent_step = sweep_scratch.saved_recent_steps();
  std::uint8_t* pruned = sweep_scratch.pruned_flags();

  for (std::size_t k = 0; k < count; k += 8) {
    const avx2::LaneBlock block(trace_list.data() + k, count - k < 8 ? count - k : 8);
    const __m256 trace = block.gather(traces);
    const __m256 step = block.load(saved_recent_step + k);
    const __m256 h_trace_old = block.gather(h_trace);

    const __m256 change =
        _mm256_sub_ps(_mm256_mul_ps(td, trace), _mm256_mul_ps(step, previous_change));
    block.scatter(_mm256_add_ps(block.gather(weights), change), weights);

    // Meta-gradient step, then the cap on a single step size.
    const __m256 updated =
        avx2::meta_step(block.gather(log_step_size), h_trace_old, meta, meta_error);
    block.scatter(avx2::cap_log_step(updated, budget, log_budget), log_step_size);

    const __m256 h_before = block.gather(h);
    const __m256 h_new = _mm256_sub_ps(
        _mm256_add_ps(_mm256_mul_ps(td, block.gather(trace_bar)), block.gather(h_temp)),
        _mm256_mul_ps(step, previous_change));
    block.scatter(h_before, h_old);
    block.scatter(h_new, h);
    block.scatter(h_new, h_temp);
    block.scatter(_mm256_setzero_ps(), recent_step);

    const __m256 trace_new = _mm256_mul_ps(trace_decay, trace);
    const __m256 h_trace_new = _mm256_mul_ps(trace_decay, h_trace_old);
    const __m256 trace_bar_new = _mm256_mul_ps(trace_decay, block.gather(trace_bar));

    // Pruned lanes store +0 in the three traces and the weight change; the list is fixed below.
    const __m256 prune = _mm256_cmp_ps(
        trace_new, _mm256_mul_ps(block.gather(entry_step), prune_fraction), _CMP_LE_OQ);
    block.scatter(_mm256_andnot_ps(prune, trace_new), traces);
    block.scatter(_mm256_andnot_ps(prune, h_trace_new), h_trace);
    block.scatter(_mm256_andnot_ps(prune, trace_bar_new), trace_bar);
    block.scatter(_mm256_andnot_ps(prune, change), weight_change);
    block.store_flags(_mm256_movemask_ps(prune), pruned + k);
  }
  sweep_scratch.remove_pruned(trace_list);
}

#else

void Critic::sweep_traces_avx2(float td_error, float gamma) {
  sweep_traces(td_error, gamma);
}

#endif

}  // namespace velto
