#include "core/log_step_update.hpp"

#include <cmath>

#include "core/fast_math_avx2.hpp"
#include "core/sweep_math_avx2.hpp"

namespace velto {

LogStepUpdate::LogStepUpdate(float meta_step_size, float error, float budget)
    : meta_step_size_(static_cast<double>(meta_step_size)),
      error_(static_cast<double>(error)),
      budget_(budget),
      log_budget_(std::log(budget)) {}

#ifdef VELTO_HAVE_AVX2_KERNELS

namespace {

inline __m256 VELTO_AVX2 gather(const float* array, __m256i indices) {
  // The masked form with every lane enabled: the plain one trips GCC's uninitialised warning.
  return _mm256_mask_i32gather_ps(_mm256_setzero_ps(), array, indices,
                                  _mm256_castsi256_ps(_mm256_set1_epi32(-1)), 4);
}

}  // namespace

void VELTO_AVX2 LogStepUpdate::apply(const std::int32_t* listed, std::size_t count,
                                     const float* log_step_size, const float* h_trace,
                                     float* updated) const {
  const __m256d meta = _mm256_set1_pd(meta_step_size_);
  const __m256d error = _mm256_set1_pd(error_);
  const __m256 budget = _mm256_set1_ps(budget_);
  const __m256 log_budget = _mm256_set1_ps(log_budget_);
  const auto update = [&](__m256i indices) VELTO_AVX2 {
    const __m256 step =
        avx2::meta_step(gather(log_step_size, indices), gather(h_trace, indices), meta, error);
    return avx2::cap_log_step(step, budget, log_budget);
  };
  std::size_t n = 0;
  for (; n + 8 <= count; n += 8) {
    _mm256_storeu_ps(updated + n,
                     update(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(listed + n))));
  }
  if (n == count) {
    return;
  }
  // The last few, with the first index repeated in lanes whose results are dropped.
  alignas(32) std::int32_t tail_listed[8];
  alignas(32) float tail_updated[8];
  for (std::size_t lane = 0; lane < 8; ++lane) {
    tail_listed[lane] = listed[n + (n + lane < count ? lane : 0)];
  }
  _mm256_store_ps(tail_updated,
                  update(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail_listed))));
  for (std::size_t lane = 0; n + lane < count; ++lane) {
    updated[n + lane] = tail_updated[lane];
  }
}

#endif

}  // namespace velto
