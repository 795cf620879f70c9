#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto {

// Throws std::out_of_range, naming the first offending index and the range, when an index of
// `features` lies outside [0, num_features). The learners index their arrays unchecked, so every
// path that hands them a feature list (the step, and the kit's read-only evaluations) checks it
// here first, with one message.
void check_feature_range(const std::vector<std::int32_t>& features, std::size_t num_features);

}  // namespace velto
