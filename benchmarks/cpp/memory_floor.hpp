#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recorded_step.hpp"

namespace velto_bench {

// Loads an element and stores the same value back. The empty asm claims to change the value in
// its register, so the compiler must keep both the load and the store, and nothing is computed.
inline void load_and_store(float* element) {
  float value = *element;
#if defined(__x86_64__)
  asm volatile("" : "+x"(value));
#else
  benchmark::DoNotOptimize(value);
#endif
  *element = value;
}

inline void load(const float* element) {
  float value = *element;
#if defined(__x86_64__)
  asm volatile("" : : "x"(value));
#else
  benchmark::DoNotOptimize(value);
#endif
}

// A learner's per-feature arrays as its step reaches them: `swept` are those the sweep loads and
// stores at a live index, the first EnteredArrays of them those the entry pass does at an entering
// one; `value`, `log_step_size` and `traces` are read over the new state for its sums.
template <std::size_t SweptArrays>
struct StepArrays {
  std::array<float*, SweptArrays> swept;
  const float* value;
  const float* log_step_size;
  const float* traces;
};

// The memory traffic of a learner's step without its arithmetic: it loads and stores the elements
// of the learner's own arrays at the indices a real step visited, in the same order, and leaves
// every value as it was, so the learner can go on stepping afterwards.
template <std::size_t SweptArrays, std::size_t EnteredArrays, bool ValueBeforeSweep>
class MemoryFloor {
 public:
  explicit MemoryFloor(const StepArrays<SweptArrays>& arrays) : arrays_(arrays) {}

  void replay(const RecordedStep& step) const {
    const std::vector<std::int32_t>& features = step.transition->features;
    if (ValueBeforeSweep) {
      load_each(features, arrays_.value);
    }
    for (const std::int32_t i : step.swept) {
      for (std::size_t a = 0; a < SweptArrays; ++a) {
        load_and_store(arrays_.swept[a] + i);
      }
    }
    if (!ValueBeforeSweep) {
      load_each(features, arrays_.value);
    }
    if (!step.entered) {
      return;
    }
    load_each(features, arrays_.log_step_size);
    load_each(features, arrays_.traces);
    for (const std::int32_t j : features) {
      for (std::size_t a = 0; a < EnteredArrays; ++a) {
        load_and_store(arrays_.swept[a] + j);
      }
    }
  }

 private:
  static void load_each(const std::vector<std::int32_t>& features, const float* array) {
    for (const std::int32_t j : features) {
      load(array + j);
    }
  }

  StepArrays<SweptArrays> arrays_;
};

}  // namespace velto_bench
