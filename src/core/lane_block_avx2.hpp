#pragma once

#include "core/fast_math_avx2.hpp"

#ifdef VELTO_HAVE_AVX2_KERNELS

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto {
namespace avx2 {

// Up to eight consecutive positions of a trace_list, as the lanes of one step of a vectorised
// sweep: gathers each listed feature's values from a per-feature array and scatters results back.
// A short block at the end of the list repeats its first index in the unused lanes, so that their
// gathers stay inside the arrays; nothing is ever stored from them.
class LaneBlock {
 public:
  VELTO_AVX2 LaneBlock(const std::int32_t* positions, std::size_t lanes) : lanes_(lanes) {
    for (std::size_t lane = 0; lane < 8; ++lane) {
      index_[lane] = positions[lane < lanes ? lane : 0];
    }
    indices_ = _mm256_load_si256(reinterpret_cast<const __m256i*>(index_));
  }

  VELTO_AVX2 __m256 gather(const std::vector<float>& array) const {
    // The masked form with every lane enabled: the plain one trips GCC's uninitialised warning.
    return _mm256_mask_i32gather_ps(_mm256_setzero_ps(), array.data(), indices_,
                                    _mm256_castsi256_ps(_mm256_set1_epi32(-1)), 4);
  }

  // Values kept by position rather than by feature, starting at this block's first position.
  VELTO_AVX2 __m256 load(const float* by_position) const {
    if (lanes_ == 8) {
      return _mm256_loadu_ps(by_position);
    }
    alignas(32) float values[8] = {};
    for (std::size_t lane = 0; lane < lanes_; ++lane) {
      values[lane] = by_position[lane];
    }
    return _mm256_load_ps(values);
  }

  VELTO_AVX2 void scatter(__m256 values, std::vector<float>& array) const {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, values);
    float* data = array.data();
    if (lanes_ == 8) {
      for (std::size_t lane = 0; lane < 8; ++lane) {
        data[index_[lane]] = lanes[lane];
      }
      return;
    }
    for (std::size_t lane = 0; lane < lanes_; ++lane) {
      data[index_[lane]] = lanes[lane];
    }
  }

  // One flag per position, 1 where the lane's bit is set in `lane_mask`.
  void store_flags(int lane_mask, std::uint8_t* by_position) const {
    for (std::size_t lane = 0; lane < lanes_; ++lane) {
      by_position[lane] = static_cast<std::uint8_t>((lane_mask >> lane) & 1);
    }
  }

 private:
  alignas(32) std::int32_t index_[8];
  __m256i indices_;
  std::size_t lanes_;
};

}  // namespace avx2
}  // namespace velto

#endif
