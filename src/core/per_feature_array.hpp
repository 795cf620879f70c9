#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace velto {

// Builds one learner's array of num_features floats. A negative count is rejected here, with the
// message callers rely on, before anything is allocated: widened to an unsigned element count it
// would otherwise ask for an absurd allocation whose error text depends on the standard library.
inline std::vector<float> per_feature_array(std::int32_t num_features, float fill) {
  if (num_features < 0) {
    throw std::length_error("vector too long");
  }
  return std::vector<float>(static_cast<std::size_t>(num_features), fill);
}

}  // namespace velto
