#include "kit/experiments/tile_coder.hpp"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "agent/memory_budget.hpp"
#include "kit/experiments/scratch_array.hpp"

namespace velto {

namespace {

constexpr std::int64_t kMaxIndexCount = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void fail(const std::string& message) {
  throw std::invalid_argument(message);
}

std::string number_text(double value) {
  std::ostringstream text;
  text.precision(17);
  text << value;
  return text.str();
}

// The finaliser of SplitMix64: every input bit reaches every output bit, so tiles that differ in
// one coordinate by one land far apart.
std::uint64_t mix(std::uint64_t value) {
  value ^= value >> 30;
  value *= 0xbf58476d1ce4e5b9ULL;
  value ^= value >> 27;
  value *= 0x94d049bb133111ebULL;
  value ^= value >> 31;
  return value;
}

}  // namespace

std::uint64_t saturated_product(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (a != 0 && b > kMax / a) {
    return kMax;
  }
  const std::uint64_t ab = a * b;
  if (ab != 0 && c > kMax / ab) {
    return kMax;
  }
  return ab * c;
}

TileCoder::TileCoder(std::vector<double> lows, std::vector<double> highs,
                     std::int32_t tiles_per_dimension, std::int32_t num_tilings,
                     std::optional<std::int32_t> hash_size)
    : lows_(std::move(lows)),
      highs_(std::move(highs)),
      tiles_per_dimension_(tiles_per_dimension),
      num_tilings_(num_tilings),
      hash_size_(hash_size.value_or(0)),
      tiles_per_tiling_(0),
      num_features_(0) {
  if (lows_.empty()) {
    fail("lows must not be empty");
  }
  if (lows_.size() != highs_.size()) {
    fail("lows and highs differ in length: " + std::to_string(lows_.size()) + " and " +
         std::to_string(highs_.size()));
  }
  if (lows_.size() > static_cast<std::size_t>(kMaxIndexCount)) {
    fail("lows has more dimensions than 32-bit indices can count");
  }
  for (std::size_t d = 0; d < lows_.size(); ++d) {
    if (!std::isfinite(lows_[d])) {
      fail("lows[" + std::to_string(d) + "] must be finite, not " + number_text(lows_[d]));
    }
    if (!std::isfinite(highs_[d])) {
      fail("highs[" + std::to_string(d) + "] must be finite, not " + number_text(highs_[d]));
    }
    // A zero-width box would divide by zero; the difference must also stay finite.
    if (!(highs_[d] > lows_[d]) || !std::isfinite(highs_[d] - lows_[d])) {
      fail("highs[" + std::to_string(d) + "] = " + number_text(highs_[d]) +
           " must lie above lows[" + std::to_string(d) + "] = " + number_text(lows_[d]) +
           " by a finite amount");
    }
  }
  if (tiles_per_dimension < 1) {
    fail("tiles_per_dimension must be at least 1, not " + std::to_string(tiles_per_dimension));
  }
  if (num_tilings < 1) {
    fail("num_tilings must be at least 1, not " + std::to_string(num_tilings));
  }
  if (hash_size && *hash_size < 1) {
    fail("hash_size must be at least 1, not " + std::to_string(*hash_size));
  }

  const std::size_t dimensions = lows_.size();
  // A shifted grid needs one tile more per dimension to still cover the whole box.
  const std::int64_t tiles_per_axis = static_cast<std::int64_t>(tiles_per_dimension) + 1;
  std::int64_t tiles = 1;
  axis_strides_.resize(dimensions);
  for (std::size_t d = 0; d < dimensions; ++d) {
    axis_strides_[d] = tiles;
    if (tiles > kMaxIndexCount / tiles_per_axis) {
      tiles = 0;  // too many to count: only hashing can index them
      break;
    }
    tiles *= tiles_per_axis;
  }
  tiles_per_tiling_ = tiles;
  if (hash_size_ > 0) {
    num_features_ = hash_size_;
  } else if (tiles == 0 || tiles > kMaxIndexCount / num_tilings) {
    fail("tiles_per_dimension " + std::to_string(tiles_per_dimension) + " over " +
         std::to_string(dimensions) + " dimensions with num_tilings " +
         std::to_string(num_tilings) +
         " makes more features than 32-bit indices can address; give a hash_size");
  } else {
    num_features_ = static_cast<std::int32_t>(tiles * num_tilings);
  }

  // The shifts take 8 bytes per tiling and dimension, and every call of active_features a few
  // dozen per tiling: a coder whose shifts and one call together cannot be had is refused with
  // MemoryError (std::bad_alloc) before anything is allocated, never left for the kernel to kill
  // the process at its first call. Each call checks its own need again (see the bindings).
  const std::uint64_t shifts =
      saturated_product(dimensions, static_cast<std::uint64_t>(num_tilings), sizeof(double));
  const std::uint64_t one_call =
      saturated_product(static_cast<std::uint64_t>(num_tilings), kCallBytesPerTiling, 1);
  require_memory(shifts > UINT64_MAX - one_call ? UINT64_MAX : shifts + one_call);
  // Tiling t is shifted by t * (1, 3, 5, ...) / num_tilings tile widths (modulo one tile): odd,
  // unequal displacements keep the tilings from lining up along the diagonal.
  offsets_.resize(dimensions * static_cast<std::size_t>(num_tilings));
  for (std::int32_t t = 0; t < num_tilings; ++t) {
    for (std::size_t d = 0; d < dimensions; ++d) {
      const std::int64_t displacement = 2 * static_cast<std::int64_t>(d) + 1;
      const std::int64_t shift = (static_cast<std::int64_t>(t) * displacement) % num_tilings;
      offsets_[static_cast<std::size_t>(t) * dimensions + d] =
          static_cast<double>(shift) / static_cast<double>(num_tilings);
    }
  }
}

void TileCoder::active_features(const double* values, std::int32_t* indices) const {
  const std::size_t dimensions = lows_.size();
  ScratchArray<double> scratch(dimensions);
  double* scaled = scratch.data();
  const double tiles = static_cast<double>(tiles_per_dimension_);
  for (std::size_t d = 0; d < dimensions; ++d) {
    const double value = values[d];
    if (std::isnan(value)) {
      fail("observation[" + std::to_string(d) + "] is NaN");
    }
    const double clipped = value < lows_[d] ? lows_[d] : (value > highs_[d] ? highs_[d] : value);
    // Same operations in the same order as the scaling (x - low) / (high - low) * tiles.
    const double from_low = clipped - lows_[d];
    const double width = highs_[d] - lows_[d];
    const double fraction = from_low / width;
    scaled[d] = fraction * tiles;
  }
  for (std::int32_t t = 0; t < num_tilings_; ++t) {
    if (hash_size_ > 0) {
      indices[t] = hashed_index(t, scaled);
      continue;
    }
    const double* offsets = offsets_.data() + static_cast<std::size_t>(t) * dimensions;
    std::int64_t index = tiles_per_tiling_ * t;
    for (std::size_t d = 0; d < dimensions; ++d) {
      const std::int64_t coordinate = static_cast<std::int64_t>(std::floor(scaled[d] + offsets[d]));
      index += coordinate * axis_strides_[d];
    }
    indices[t] = static_cast<std::int32_t>(index);
  }
}

std::int32_t TileCoder::hashed_index(std::int32_t tiling, const double* scaled) const {
  const std::size_t dimensions = lows_.size();
  const double* offsets = offsets_.data() + static_cast<std::size_t>(tiling) * dimensions;
  std::uint64_t hash = mix(static_cast<std::uint64_t>(tiling) + 0x9e3779b97f4a7c15ULL);
  for (std::size_t d = 0; d < dimensions; ++d) {
    const std::int64_t coordinate = static_cast<std::int64_t>(std::floor(scaled[d] + offsets[d]));
    hash = mix(hash ^ (static_cast<std::uint64_t>(coordinate) + 0x9e3779b97f4a7c15ULL));
  }
  return static_cast<std::int32_t>(hash % static_cast<std::uint64_t>(hash_size_));
}

}  // namespace velto
