#include "agent/feature_range.hpp"

#include <stdexcept>
#include <string>

namespace velto {

void check_feature_range(const std::vector<std::int32_t>& features, std::size_t num_features) {
  for (const std::int32_t index : features) {
    if (index < 0 || static_cast<std::size_t>(index) >= num_features) {
      throw std::out_of_range("feature index " + std::to_string(index) +
                              " is outside the valid range [0, " + std::to_string(num_features) +
                              ")");
    }
  }
}

}  // namespace velto
