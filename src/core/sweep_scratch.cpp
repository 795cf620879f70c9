#include "core/sweep_scratch.hpp"

#include <cstddef>
#include <cstring>

namespace velto {

namespace {

// A signalling NaN: arithmetic only ever yields quiet NaNs, so only a listed feature that this
// sweep has already marked (or a value stored from outside) holds it.
constexpr std::uint32_t kListedMark = 0x7f8c51edu;

std::uint32_t bits_at(const std::vector<float>& array, std::int32_t index) {
  std::uint32_t bits;
  std::memcpy(&bits, &array[static_cast<std::size_t>(index)], sizeof(bits));
  return bits;
}

void store_bits(std::vector<float>& array, std::int32_t index, std::uint32_t bits) {
  std::memcpy(&array[static_cast<std::size_t>(index)], &bits, sizeof(bits));
}

}  // namespace

bool SweepScratch::save_recent_steps(const std::vector<std::int32_t>& trace_list,
                                     std::vector<float>& recent_step) {
  const std::size_t count = trace_list.size();
  saved_recent_step.resize(count);
  pruned.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::int32_t i = trace_list[k];
    const std::uint32_t bits = bits_at(recent_step, i);
    if (bits == kListedMark) {
      // Restore in reverse so that every feature ends with the value it had before the first mark.
      for (std::size_t m = k; m-- > 0;) {
        std::uint32_t saved;
        std::memcpy(&saved, &saved_recent_step[m], sizeof(saved));
        store_bits(recent_step, trace_list[m], saved);
      }
      return false;
    }
    std::memcpy(&saved_recent_step[k], &bits, sizeof(bits));
    store_bits(recent_step, i, kListedMark);
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
