#include "kit/tile_coder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

namespace velto {
namespace {

std::vector<std::int32_t> tiles_of(const TileCoder& coder, const std::vector<double>& point) {
  std::vector<std::int32_t> indices(static_cast<std::size_t>(coder.num_tilings()));
  coder.active_features(point.data(), indices.data());
  return indices;
}

TEST(TileCoder, ShiftedTilingsOwnDisjointBlocks) {
  // Box [0, 1] in 4 tiles, 2 tilings of 5 tiles each; tiling 1 is shifted by half a tile.
  const TileCoder coder({0.0}, {1.0}, 4, 2, std::nullopt);
  EXPECT_EQ(coder.num_features(), 10);
  // 0.3 scales to 1.2: tile 1 of tiling 0; 1.2 + 0.5 = 1.7: tile 1 of tiling 1, index 5 + 1.
  EXPECT_EQ(tiles_of(coder, {0.3}), (std::vector<std::int32_t>{1, 6}));
  // 0.4 scales to 1.6: still tile 1 of tiling 0, but 2.1 crosses into tile 2 of tiling 1.
  EXPECT_EQ(tiles_of(coder, {0.4}), (std::vector<std::int32_t>{1, 7}));
  // Beyond the box: clipped onto its faces, infinities included.
  EXPECT_EQ(tiles_of(coder, {-5.0}), tiles_of(coder, {0.0}));
  EXPECT_EQ(tiles_of(coder, {std::numeric_limits<double>::infinity()}),
            (std::vector<std::int32_t>{4, 9}));
}

TEST(TileCoder, NaNIsRefusedRatherThanClippedIntoATile) {
  const TileCoder coder({0.0, 0.0}, {1.0, 1.0}, 4, 2, std::nullopt);
  std::vector<std::int32_t> indices(2, -1);
  const std::vector<double> point{0.5, std::nan("")};
  EXPECT_THROW(coder.active_features(point.data(), indices.data()), std::invalid_argument);
}

TEST(TileCoder, RefusesBoxesAndCountsItCannotIndex) {
  const std::vector<double> unit{1.0};
  EXPECT_THROW(TileCoder({}, {}, 4, 2, std::nullopt), std::invalid_argument);
  EXPECT_THROW(TileCoder({0.0, 0.0}, unit, 4, 2, std::nullopt), std::invalid_argument);
  EXPECT_THROW(TileCoder({1.0}, unit, 4, 2, std::nullopt), std::invalid_argument);
  EXPECT_THROW(TileCoder({0.0}, unit, 0, 2, std::nullopt), std::invalid_argument);
  EXPECT_THROW(TileCoder({0.0}, unit, 4, 0, std::nullopt), std::invalid_argument);
  EXPECT_THROW(TileCoder({0.0}, unit, 4, 2, 0), std::invalid_argument);
  // 101^5 tiles per tiling exceed 32-bit indices: only hashing can index them.
  const std::vector<double> lows(5, 0.0), highs(5, 1.0);
  EXPECT_THROW(TileCoder(lows, highs, 100, 1, std::nullopt), std::invalid_argument);
  EXPECT_EQ(TileCoder(lows, highs, 100, 1, 4096).num_features(), 4096);
}

TEST(TileCoder, HashingManyDimensionsAndTilingsStaysInRange) {
  // More dimensions and tilings than the calls keep on the stack.
  const std::size_t dimensions = 300;
  const TileCoder coder(std::vector<double>(dimensions, -1.0), std::vector<double>(dimensions, 1.0),
                        10, 100, 1000);
  std::vector<double> point(dimensions);
  std::set<std::int32_t> seen;
  for (int sample = 0; sample < 20; ++sample) {
    for (std::size_t d = 0; d < dimensions; ++d) {
      point[d] = std::sin(static_cast<double>(sample * 1000 + static_cast<int>(d)));
    }
    for (const std::int32_t index : tiles_of(coder, point)) {
      ASSERT_GE(index, 0);
      ASSERT_LT(index, 1000);
      seen.insert(index);
    }
  }
  // 2000 tiles hashed into 1000 slots cover most of them rather than a few.
  EXPECT_GT(seen.size(), 700u);
}

}  // namespace
}  // namespace velto
