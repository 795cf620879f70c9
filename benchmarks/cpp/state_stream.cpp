#include "state_stream.hpp"

#include <random>
#include <unordered_set>

namespace velto_bench {

StateStream::StateStream(std::int32_t num_features, std::int32_t active, std::size_t ring_length,
                         std::uint32_t seed)
    : ring_(), position_(0), active_(active) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<std::int32_t> feature(0, num_features - 1);
  std::normal_distribution<float> reward(0.0f, 1.0f);
  std::normal_distribution<float> td_error(0.0f, 0.5f);
  std::normal_distribution<float> value_change(0.0f, 0.01f);
  ring_.reserve(ring_length);
  for (std::size_t s = 0; s < ring_length; ++s) {
    Transition transition{{}, reward(engine), td_error(engine), value_change(engine)};
    std::unordered_set<std::int32_t> seen;
    while (static_cast<std::int32_t>(transition.features.size()) < active) {
      const std::int32_t j = feature(engine);
      if (seen.insert(j).second) {
        transition.features.push_back(j);
      }
    }
    ring_.push_back(std::move(transition));
  }
}

const Transition& StateStream::next() {
  const Transition& transition = ring_[position_];
  position_ = position_ + 1 == ring_.size() ? 0 : position_ + 1;
  return transition;
}

}  // namespace velto_bench
