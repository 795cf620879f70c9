#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace velto {

// a * b * c, or UINT64_MAX where that does not fit: the bytes of an allocation, for the memory
// guard.
std::uint64_t saturated_product(std::uint64_t a, std::uint64_t b, std::uint64_t c);

// Tile coding: turns a point of a box into one active binary feature per tiling. Each tiling is
// a regular grid over the box, shifted against the others by a fraction of a tile, so that near
// points share most of their tiles and distant ones share none. Values outside the box are
// clipped onto its faces.
//
// Without hashing, tiling t owns the block [t * tiles_per_tiling, (t + 1) * tiles_per_tiling) of
// indices, a grid of (tiles_per_dimension + 1)^dimensions tiles (one more per axis than the
// box holds, so that a shifted grid still covers it). With hashing, the tiling and the tile's
// coordinates are hashed into [0, hash_size): the number of features no longer grows with the
// dimension, at the price of collisions between tiles.
class TileCoder {
 public:
  // What one tiling costs a call of active_features from Python: its 32-bit index, the Python
  // int made of it (32 bytes) and the result list's pointer to that.
  static constexpr std::uint64_t kCallBytesPerTiling = sizeof(std::int32_t) + 32 + 8;

  // Throws std::invalid_argument naming the argument when the box is empty, unequal, not
  // finite or not strictly increasing, a count is below 1, or the features cannot be indexed by
  // 32-bit integers without hashing. No hash_size means no hashing.
  TileCoder(std::vector<double> lows, std::vector<double> highs, std::int32_t tiles_per_dimension,
            std::int32_t num_tilings, std::optional<std::int32_t> hash_size);

  std::int32_t num_dimensions() const { return static_cast<std::int32_t>(lows_.size()); }
  std::int32_t tiles_per_dimension() const { return tiles_per_dimension_; }
  std::int32_t num_tilings() const { return num_tilings_; }
  // 0 without hashing.
  std::int32_t hash_size() const { return hash_size_; }
  std::int32_t num_features() const { return num_features_; }
  // Tiles of one tiling without hashing; 0 when their count does not fit (hashing only).
  std::int64_t tiles_per_tiling() const { return tiles_per_tiling_; }
  const std::vector<double>& lows() const { return lows_; }
  const std::vector<double>& highs() const { return highs_; }

  // Writes the index of the tile that `values` (num_dimensions() of them) falls in, one per
  // tiling in tiling order, to `indices` (num_tilings() of them). Throws std::invalid_argument
  // when a value is NaN: it lies in no tile, and clipping would silently put it in one.
  void active_features(const double* values, std::int32_t* indices) const;

 private:
  std::int32_t hashed_index(std::int32_t tiling, const double* scaled) const;

  std::vector<double> lows_;
  std::vector<double> highs_;
  std::int32_t tiles_per_dimension_;
  std::int32_t num_tilings_;
  std::int32_t hash_size_;
  std::int64_t tiles_per_tiling_;
  std::int32_t num_features_;
  std::vector<std::int64_t> axis_strides_;
  // offsets_[t * dimensions + d]: the shift of tiling t along axis d, in tiles.
  std::vector<double> offsets_;
};

}  // namespace velto
