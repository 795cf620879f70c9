#include "core/sweep_scratch.hpp"

#include <cstddef>
#include <cstring>

namespace velto {

namespace {

// A signalling NaN: arithmetic only ever yields quiet NaNs, so only a listed feature that this
// sweep has already marked (or a value stored from outside) holds it.
constexpr std::uint32_t kListedMark = 0x7f8c51edu;

}  // namespace

bool SweepScratch::save_recent_steps(const std::vector<std::int32_t>& trace_list,
                                     std::vector<float>& recent_step_by_feature) {
  const std::size_t count = trace_list.size();
  recent_step.resize(count);
  pruned.resize(count);
  // Bits move by memcpy, so that no value passes through a floating-point register, and the array
  // addresses sit in locals that those byte-wise stores cannot change.
  const std::int32_t* const listed = trace_list.data();
  float* const marks = recent_step_by_feature.data();
  float* const saved = recent_step.data();
  for (std::size_t k = 0; k < count; ++k) {
    const std::int32_t i = listed[k];
    std::uint32_t bits;
    std::memcpy(&bits, &marks[i], sizeof(bits));
    if (bits == kListedMark) {
      // Restore in reverse so that every feature ends with the value it had before the first mark.
      for (std::size_t m = k; m-- > 0;) {
        std::memcpy(&marks[listed[m]], &saved[m], sizeof(bits));
      }
      return false;
    }
    std::memcpy(&saved[k], &bits, sizeof(bits));
    std::memcpy(&marks[i], &kListedMark, sizeof(bits));
  }
  return true;
}

void SweepScratch::remove_pruned(std::vector<std::int32_t>& trace_list) {
  std::size_t count = trace_list.size();
  std::size_t k = 0;
  while (k < count) {
    if (pruned[k] != 0) {
      --count;
      trace_list[k] = trace_list[count];
      pruned[k] = pruned[count];
    } else {
      ++k;
    }
  }
  trace_list.resize(count);
}

}  // namespace velto
