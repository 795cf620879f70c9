#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/huge_pages.hpp"

namespace velto {

// Builds one learner's array of num_features floats. A negative count is rejected here, with the
// message callers rely on, before anything is allocated: widened to an unsigned element count it
// would otherwise ask for an absurd allocation whose error text depends on the standard library.
inline std::vector<float> per_feature_array(std::int32_t num_features, float fill) {
  if (num_features < 0) {
    throw std::length_error("vector too long");
  }
  // Reserved first and filled after the advice, so that the pages are first touched, and backed,
  // as huge pages where the system allows.
  const std::size_t count = static_cast<std::size_t>(num_features);
  std::vector<float> array;
  array.reserve(count);
  advise_huge_pages(array.data(), count * sizeof(float));
  array.assign(count, fill);
  return array;
}

}  // namespace velto
