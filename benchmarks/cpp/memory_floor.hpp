#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "recorded_step.hpp"

namespace velto_bench {

// Keeps a loaded value alive in a register, so the load happens, without any arithmetic on it.
inline void keep_loaded(float value) {
#if defined(__x86_64__)
  asm volatile("" : : "x"(value));
#else
  benchmark::DoNotOptimize(value);
#endif
}

// The memory traffic of a learner's step without its arithmetic: it loads and stores the same
// elements of as many per-feature arrays of the same size, at the indices a real step visited, in
// the same order. Values are only moved between the arrays at one index, so the compiler must keep
// every load and store and nothing is computed.
template <std::size_t SweptArrays, std::size_t EnteredArrays, bool ValueBeforeSweep>
class MemoryFloor {
 public:
  // Array a holds a + 1 everywhere, so every move between arrays shows in the values.
  explicit MemoryFloor(std::int32_t num_features) {
    for (std::size_t a = 0; a < SweptArrays; ++a) {
      arrays_[a].assign(static_cast<std::size_t>(num_features), static_cast<float>(a + 1));
    }
  }

  float element(std::size_t array, std::int32_t index) const { return arrays_[array][index]; }

  void replay(const RecordedStep& step) {
    const std::vector<std::int32_t>& features = step.transition->features;
    if (ValueBeforeSweep) {
      load_each(features, 0);
    }
    for (const std::int32_t i : step.swept) {
      rotate_at(i, std::make_index_sequence<SweptArrays - 1>());
    }
    if (!ValueBeforeSweep) {
      load_each(features, 0);
    }
    if (!step.entered) {
      return;
    }
    // The budget's two sums, then the entry pass.
    load_each(features, 1);
    load_each(features, 2);
    for (const std::int32_t j : features) {
      rotate_at(j, std::make_index_sequence<EnteredArrays - 1>());
    }
  }

 private:
  void load_each(const std::vector<std::int32_t>& features, std::size_t array) {
    const float* data = arrays_[array].data();
    for (const std::int32_t j : features) {
      keep_loaded(data[j]);
    }
  }

  // Loads element i of the first sizeof...(A) + 1 arrays and stores each into its neighbour.
  template <std::size_t... A>
  void rotate_at(std::int32_t i, std::index_sequence<A...>) {
    constexpr std::size_t last = sizeof...(A);
    const float first = arrays_[0][i];
    ((arrays_[A][i] = arrays_[A + 1][i]), ...);
    arrays_[last][i] = first;
  }

  std::array<std::vector<float>, SweptArrays> arrays_;
};

}  // namespace velto_bench
