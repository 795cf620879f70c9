#pragma once

#include "core/fast_math_avx2.hpp"

#ifdef VELTO_HAVE_AVX2_KERNELS

namespace velto {
namespace avx2 {

// The meta-gradient step of eight log step sizes b, as both learners take it: lane by lane
// (((meta / (exp(b) + 1e-8)) * error) * h_trace) + b in double, from exactly widened floats,
// rounded to float once. `meta` and `error` hold the step's widened constants.
inline __m256 VELTO_AVX2 meta_step(__m256 b, __m256 h_trace, __m256d meta, __m256d error) {
  const __m256 exp_b = exp8(b);
  const __m256d tiny = _mm256_set1_pd(1e-8);
  __m128 halves[2];
  for (int half = 0; half < 2; ++half) {
    const __m128 exp_half =
        half == 0 ? _mm256_castps256_ps128(exp_b) : _mm256_extractf128_ps(exp_b, 1);
    const __m128 h_trace_half =
        half == 0 ? _mm256_castps256_ps128(h_trace) : _mm256_extractf128_ps(h_trace, 1);
    const __m128 b_half = half == 0 ? _mm256_castps256_ps128(b) : _mm256_extractf128_ps(b, 1);
    const __m256d rate = _mm256_div_pd(meta, _mm256_add_pd(_mm256_cvtps_pd(exp_half), tiny));
    const __m256d scaled = _mm256_mul_pd(_mm256_mul_pd(rate, error), _mm256_cvtps_pd(h_trace_half));
    halves[half] = _mm256_cvtpd_ps(_mm256_add_pd(scaled, _mm256_cvtps_pd(b_half)));
  }
  return _mm256_set_m128(halves[1], halves[0]);
}

// Eight updated log step sizes, each replaced by log_budget where its exp exceeds the budget or is
// infinite; a NaN exp fails both tests and keeps its lane.
inline __m256 VELTO_AVX2 cap_log_step(__m256 updated, __m256 budget, __m256 log_budget) {
  const __m256 step = exp8(updated);
  const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), step);
  const __m256 cap = _mm256_or_ps(_mm256_cmp_ps(step, budget, _CMP_GT_OQ),
                                  _mm256_cmp_ps(magnitude, _mm256_set1_ps(INFINITY), _CMP_EQ_OQ));
  return _mm256_blendv_ps(updated, log_budget, cap);
}

}  // namespace avx2
}  // namespace velto

#endif
