#pragma once

// Eight-lane single-precision exp and log for AVX2 processors with FMA. They return, lane by
// lane, the very bits that the platform's expf and logf return on such a processor: glibc then
// runs its FMA build of both, which evaluates a short polynomial in double around a table of 32
// (exp) or 16 (log) entries, and these routines repeat its operations one for one, fused where it
// fuses and rounded where it rounds, with its constants and tables. Inputs outside the range that
// the polynomial covers (large magnitudes, subnormals, zero, negatives, infinities, NaN) are
// handed to std::exp and std::log lane by lane, so they match by construction. Every input of
// both routines is compared with the platform's functions by tests/cpp/exhaustive_math_check.cpp.
//
// Only code that has checked fast_math_usable() may call these.

#if defined(__x86_64__) && !defined(VELTO_FORCE_SCALAR)
#define VELTO_HAVE_AVX2_KERNELS 1

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#define VELTO_AVX2 __attribute__((target("avx2,fma")))

namespace velto {
namespace avx2 {

// 2^(i/32) for i in 0..31, each with i << 47 subtracted from its bits so that adding k << 47 for
// a k with k mod 32 = i yields 2^(k/32).
alignas(64) inline constexpr std::uint64_t kExpTable[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540};

// For each of 16 subintervals of the reduced argument: 1/c and log(c), interleaved.
alignas(64) inline constexpr double kLogTable[32] = {
    0x1.661ec79f8f3bep+0, -0x1.57bf7808caadep-2, 0x1.571ed4aaf883dp+0, -0x1.2bef0a7c06ddbp-2,
    0x1.49539f0f010b0p+0, -0x1.01eae7f513a67p-2, 0x1.3c995b0b80385p+0, -0x1.b31d8a68224e9p-3,
    0x1.30d190c8864a5p+0, -0x1.6574f0ac07758p-3, 0x1.25e227b0b8ea0p+0, -0x1.1aa2bc79c8100p-3,
    0x1.1bb4a4a1a343fp+0, -0x1.a4e76ce8c0e5ep-4, 0x1.12358f08ae5bap+0, -0x1.1973c5a611cccp-4,
    0x1.0953f419900a7p+0, -0x1.252f438e10c1ep-5, 0x1.0000000000000p+0, 0x0.0p+0,
    0x1.e608cfd9a47acp-1, 0x1.aa5aa5df25984p-5,  0x1.ca4b31f026aa0p-1, 0x1.c5e53aa362eb4p-4,
    0x1.b2036576afce6p-1, 0x1.526e57720db08p-3,  0x1.9c2d163a1aa2dp-1, 0x1.bc2860d224770p-3,
    0x1.886e6037841edp-1, 0x1.1058bc8a07ee1p-2,  0x1.767dcf5534862p-1, 0x1.4043057b6ee09p-2};

// Lanes whose result must come from the platform's function itself.
template <typename Function>
inline __m256 VELTO_AVX2 replace_lanes(__m256 result, __m256 x, int lanes, Function function) {
  alignas(32) float inputs[8];
  alignas(32) float outputs[8];
  _mm256_store_ps(inputs, x);
  _mm256_store_ps(outputs, result);
  for (int lane = 0; lane < 8; ++lane) {
    if ((lanes >> lane) & 1) {
      outputs[lane] = function(inputs[lane]);
    }
  }
  return _mm256_load_ps(outputs);
}

// exp of four floats widened to double, before the final rounding to float.
inline __m256d VELTO_AVX2 exp_in_double(__m128 x) {
  const __m256d inv_ln2_times_32 = _mm256_set1_pd(0x1.71547652b82fep+5);
  const __m256d shift = _mm256_set1_pd(0x1.8p+52);
  const __m256d xd = _mm256_cvtps_pd(x);
  // k = round(x * 32 / ln 2) lands in the low bits of the shifted sum; r = x * 32 / ln 2 - k.
  const __m256d shifted = _mm256_fmadd_pd(inv_ln2_times_32, xd, shift);
  const __m256i k_bits = _mm256_castpd_si256(shifted);
  const __m256d k = _mm256_sub_pd(shifted, shift);
  const __m256d r = _mm256_fmsub_pd(inv_ln2_times_32, xd, k);
  // s = 2^(k/32) from the table entry of k mod 32 and k / 32 added to its exponent.
  const __m256i entry = _mm256_mask_i64gather_epi64(
      _mm256_setzero_si256(), reinterpret_cast<const long long*>(kExpTable),
      _mm256_and_si256(k_bits, _mm256_set1_epi64x(31)), _mm256_set1_epi64x(-1), 8);
  const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(k_bits, 47)));
  // 2^(r/32) ~ (c0 r + c1) r^2 + (c2 r + 1).
  const __m256d z = _mm256_fmadd_pd(r, _mm256_set1_pd(0x1.c6af84b912394p-20),
                                    _mm256_set1_pd(0x1.ebfce50fac4f3p-13));
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d y = _mm256_fmadd_pd(r, _mm256_set1_pd(0x1.62e42ff0c52d6p-6), _mm256_set1_pd(1.0));
  return _mm256_mul_pd(_mm256_fmadd_pd(z, r2, y), s);
}

inline __m256 VELTO_AVX2 exp8(__m256 x) {
  const __m256d low = exp_in_double(_mm256_castps256_ps128(x));
  const __m256d high = exp_in_double(_mm256_extractf128_ps(x, 1));
  const __m256 result = _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
  // |x| >= 88 (the exponent field and top mantissa bits of 88 or more), infinities and NaN.
  const __m256i top =
      _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(x), 20), _mm256_set1_epi32(0x7ff));
  const int special =
      _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(top, _mm256_set1_epi32(0x42a))));
  if (special == 0) {
    return result;
  }
  return replace_lanes(result, x, special, [](float value) { return std::exp(value); });
}

// log of the four lanes whose reduced arguments and exponents are given, before the final
// rounding to float.
inline __m256d VELTO_AVX2 log_in_double(__m128i z_bits, __m128i k, __m128i entry) {
  const __m128i slot = _mm_slli_epi32(entry, 1);
  // The masked form with every lane enabled: the plain one trips GCC's uninitialised warning.
  const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  const __m256d inv_c = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), kLogTable, slot, all, 8);
  const __m256d log_c = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), kLogTable + 1, slot, all, 8);
  const __m256d z = _mm256_cvtps_pd(_mm_castsi128_ps(z_bits));
  // log(x) = log1p(z/c - 1) + log(c) + k ln 2.
  const __m256d y0 =
      _mm256_fmadd_pd(_mm256_cvtepi32_pd(k), _mm256_set1_pd(0x1.62e42fefa39efp-1), log_c);
  const __m256d r = _mm256_fmadd_pd(z, inv_c, _mm256_set1_pd(-1.0));
  const __m256d a = _mm256_fmadd_pd(r, _mm256_set1_pd(0x1.5575b0be00b6ap-2),
                                    _mm256_set1_pd(-0x1.ffffef20a4123p-2));
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d r_plus_y0 = _mm256_add_pd(r, y0);
  const __m256d p = _mm256_fmadd_pd(r2, _mm256_set1_pd(-0x1.00ea348b88334p-2), a);
  return _mm256_fmadd_pd(r2, p, r_plus_y0);
}

inline __m256 VELTO_AVX2 log8(__m256 x) {
  const __m256i ix = _mm256_castps_si256(x);
  // Reduce x = 2^k z with z in [0x3f330000, 2 * 0x3f330000) as bits; entry picks c near z.
  const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(0x3f330000));
  const __m256i entry = _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15));
  const __m256i k = _mm256_srai_epi32(tmp, 23);
  const __m256i z_bits =
      _mm256_sub_epi32(ix, _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000))));
  const __m256d low = log_in_double(_mm256_castsi256_si128(z_bits), _mm256_castsi256_si128(k),
                                    _mm256_castsi256_si128(entry));
  const __m256d high =
      log_in_double(_mm256_extracti128_si256(z_bits, 1), _mm256_extracti128_si256(k, 1),
                    _mm256_extracti128_si256(entry, 1));
  const __m256 result = _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
  // Outside the positive normal numbers: (ix - 2^23) as unsigned above 0x7effffff, compared with
  // the sign bits flipped.
  const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000));
  const __m256i offset = _mm256_xor_si256(_mm256_sub_epi32(ix, _mm256_set1_epi32(0x800000)), flip);
  const __m256i limit = _mm256_xor_si256(_mm256_set1_epi32(0x7effffff), flip);
  const int special = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(offset, limit)));
  if (special == 0) {
    return result;
  }
  return replace_lanes(result, x, special, [](float value) { return std::log(value); });
}

}  // namespace avx2
}  // namespace velto

#endif
