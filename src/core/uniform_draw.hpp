#pragma once

#include <cstdint>
#include <random>

namespace velto {

// The 53-bit uniform number in [0, 1 - 2^-53] made from two successive engine outputs: the second
// output gives the high 32 bits, the top 21 bits of the first the low bits. Every step is exact in
// double, so the value does not depend on the compiler or the standard library.
inline double uniform_from_outputs(std::uint32_t first, std::uint32_t second) {
  const double high = static_cast<double>(second) * 2097152.0;  // second * 2^21
  const double low = static_cast<double>(first >> 11);          // floor(first / 2^11)
  return (high + low) * 0x1p-53;
}

// Draws one uniform number, advancing the engine by exactly two outputs.
inline double uniform_draw(std::mt19937& rng) {
  const std::uint32_t first = static_cast<std::uint32_t>(rng());
  const std::uint32_t second = static_cast<std::uint32_t>(rng());
  return uniform_from_outputs(first, second);
}

}  // namespace velto
