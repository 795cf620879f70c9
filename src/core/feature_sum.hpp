#pragma once

#include <cstdint>
#include <vector>

namespace velto {

// Sum over a feature list from `start`, in list order and one term per occurrence, each addition
// rounded to float: the order in which the learners' results are defined.
template <typename Term>
float sum_over(const std::vector<std::int32_t>& features, float start, Term term) {
  float total = start;
  for (const std::int32_t j : features) {
    total = total + term(j);
  }
  return total;
}

}  // namespace velto
