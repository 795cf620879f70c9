#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "learner_traits.hpp"
#include "memory_floor.hpp"
#include "recorded_step.hpp"
#include "state_stream.hpp"

namespace velto_bench {

// One learner at one size, brought to its steady working size, with a recording of the indices
// its steps visit and a memory floor that replays them on the learner's own arrays.
template <typename Learner>
class Scenario {
 public:
  using Traits = LearnerTraits<Learner>;
  using Floor =
      MemoryFloor<Traits::swept_arrays, Traits::entered_arrays, Traits::reads_value_before_sweep>;

  // A trace lives about 45 steps with the benchmarks' parameters; the warm-up and the recording
  // are counted in such lifetimes.
  static constexpr std::size_t kLifetime = 45;
  static constexpr std::size_t kMaxWarmUpWindows = 20;
  static constexpr std::size_t kRecordedSteps = 64;
  static constexpr std::size_t kRingLength = 256;

  Scenario(std::int32_t num_features, std::int32_t active)
      : num_features(num_features),
        active(active),
        learner(Traits::make(num_features)),
        stream(num_features, active, kRingLength, 2026u),
        warm_up_steps(warm_up()),
        recording(record()),
        memory_floor(Traits::arrays(learner)) {}

  double mean_live() const {
    double total = 0.0;
    for (const RecordedStep& step : recording) {
      total += static_cast<double>(step.swept.size());
    }
    return total / static_cast<double>(recording.size());
  }

  double entered_fraction() const {
    double entered = 0.0;
    for (const RecordedStep& step : recording) {
      entered += step.entered ? 1.0 : 0.0;
    }
    return entered / static_cast<double>(recording.size());
  }

  const std::int32_t num_features;
  const std::int32_t active;
  Learner learner;
  StateStream stream;
  const std::size_t warm_up_steps;
  const std::vector<RecordedStep> recording;
  Floor memory_floor;

 private:
  // Steps until the trace list stops growing: its mean length over one lifetime grows by less
  // than 1% from the lifetime before.
  std::size_t warm_up() {
    double previous_mean = 0.0;
    std::size_t window = 0;
    while (window < kMaxWarmUpWindows) {
      double total = 0.0;
      for (std::size_t s = 0; s < kLifetime; ++s) {
        total += static_cast<double>(learner.trace_list.size());
        Traits::step(learner, stream.next());
      }
      const double mean = total / static_cast<double>(kLifetime);
      ++window;
      if (window >= 2 && mean <= previous_mean * 1.01) {
        break;
      }
      previous_mean = mean;
    }
    return window * kLifetime;
  }

  std::vector<RecordedStep> record() {
    std::vector<RecordedStep> steps;
    steps.reserve(kRecordedSteps);
    for (std::size_t s = 0; s < kRecordedSteps; ++s) {
      const Transition& transition = stream.next();
      std::vector<std::int32_t> swept = learner.trace_list;
      const bool entered = Traits::step(learner, transition);
      steps.push_back(RecordedStep{std::move(swept), &transition, entered});
    }
    return steps;
  }
};

}  // namespace velto_bench
