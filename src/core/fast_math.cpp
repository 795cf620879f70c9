#include "core/fast_math.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/fast_math_avx2.hpp"

namespace velto {

namespace {

#ifdef VELTO_HAVE_AVX2_KERNELS

void VELTO_AVX2 exp_floats_avx2(const float* in, float* out, std::size_t count) {
  std::size_t n = 0;
  for (; n + 8 <= count; n += 8) {
    _mm256_storeu_ps(out + n, avx2::exp8(_mm256_loadu_ps(in + n)));
  }
  for (; n < count; ++n) {
    out[n] = std::exp(in[n]);
  }
}

void VELTO_AVX2 log_floats_avx2(const float* in, float* out, std::size_t count) {
  std::size_t n = 0;
  for (; n + 8 <= count; n += 8) {
    _mm256_storeu_ps(out + n, avx2::log8(_mm256_loadu_ps(in + n)));
  }
  for (; n < count; ++n) {
    out[n] = std::log(in[n]);
  }
}

float float_from_bits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

// Compares the eight-lane routines with the platform's functions on inputs that take the
// polynomial paths: exp over (-88, 88) and log over every binade of the positive normal numbers.
// Runs on whichever thread steps first, whose stack may be as small as a few tens of KiB, so the
// samples go through in chunks that keep about 2 KiB on the stack.
bool platform_agrees() {
  constexpr int kSamples = 8192;
  constexpr int kChunk = 256;
  float inputs[kChunk];
  float fast[kChunk];
  for (int pass = 0; pass < 2; ++pass) {
    for (int first = 0; first < kSamples; first += kChunk) {
      for (int k = 0; k < kChunk; ++k) {
        const int n = first + k;
        inputs[k] = pass == 0
                        ? -88.0f + 176.0f * (static_cast<float>(n) + 0.37f) / kSamples
                        : float_from_bits(0x00800000u + static_cast<std::uint32_t>(n) * 259983u);
      }
      if (pass == 0) {
        exp_floats_avx2(inputs, fast, kChunk);
      } else {
        log_floats_avx2(inputs, fast, kChunk);
      }
      for (int k = 0; k < kChunk; ++k) {
        const float platform = pass == 0 ? std::exp(inputs[k]) : std::log(inputs[k]);
        if (std::memcmp(&platform, &fast[k], sizeof(float)) != 0) {
          return false;
        }
      }
    }
  }
  return true;
}

bool processor_has_avx2_and_fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#endif

}  // namespace

bool processor_supports_fast_math() {
#ifdef VELTO_HAVE_AVX2_KERNELS
  static const bool supported = processor_has_avx2_and_fma();
  return supported;
#else
  return false;
#endif
}

bool fast_math_usable() {
#ifdef VELTO_HAVE_AVX2_KERNELS
  static const bool usable = processor_supports_fast_math() && platform_agrees();
  return usable;
#else
  return false;
#endif
}

void exp_floats(const float* in, float* out, std::size_t count) {
#ifdef VELTO_HAVE_AVX2_KERNELS
  if (processor_supports_fast_math()) {
    exp_floats_avx2(in, out, count);
    return;
  }
#endif
  for (std::size_t n = 0; n < count; ++n) {
    out[n] = std::exp(in[n]);
  }
}

void log_floats(const float* in, float* out, std::size_t count) {
#ifdef VELTO_HAVE_AVX2_KERNELS
  if (processor_supports_fast_math()) {
    log_floats_avx2(in, out, count);
    return;
  }
#endif
  for (std::size_t n = 0; n < count; ++n) {
    out[n] = std::log(in[n]);
  }
}

}  // namespace velto
