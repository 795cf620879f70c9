#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto_bench {

// One transition as the learners see it: the new state's active features and the numbers that
// come with it. A critic takes `reward`; a unit takes the `td_error` and `value_change` that a
// critic would hand it.
struct Transition {
  std::vector<std::int32_t> features;
  float reward;
  float td_error;
  float value_change;
};

// A fixed ring of random transitions, each state with `active` distinct features drawn uniformly
// from [0, num_features). The ring is far longer than a trace lives, so cycling through it looks
// to the learners like an endless stream, and the timed loop draws no random numbers.
class StateStream {
 public:
  StateStream(std::int32_t num_features, std::int32_t active, std::size_t ring_length,
              std::uint32_t seed);

  const Transition& next();
  std::int32_t active() const { return active_; }

 private:
  std::vector<Transition> ring_;
  std::size_t position_;
  std::int32_t active_;
};

}  // namespace velto_bench
