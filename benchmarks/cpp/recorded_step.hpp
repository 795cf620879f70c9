#pragma once

#include <cstdint>
#include <vector>

#include "state_stream.hpp"

namespace velto_bench {

// The indices one learner step visited: its trace list as the sweep found it, the new state's
// features, and whether the entry pass ran.
struct RecordedStep {
  std::vector<std::int32_t> swept;
  const Transition* transition;
  bool entered;
};

}  // namespace velto_bench
