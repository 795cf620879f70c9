#include "agent/memory_budget.hpp"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <optional>

#include "agent/memory_limits.hpp"
#include "core/actor_unit.hpp"

namespace velto {

namespace {

constexpr std::uint64_t kCriticArrays = 11;
constexpr std::uint64_t kUnitArrays = 10;

}  // namespace

std::uint64_t available_memory_bytes() {
  // Physical memory bounds everything; the kernel's own figures (free memory, cgroup limits
  // less usage) can only lower it.
  std::uint64_t available = UINT64_MAX;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) {
    available = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  const std::optional<std::uint64_t> limited = MemoryLimits("/").available_bytes();
  return limited ? std::min(available, *limited) : available;
}

void require_memory(std::uint64_t bytes) {
  if (bytes > available_memory_bytes()) {
    throw std::bad_alloc();
  }
}

std::uint64_t agent_bytes(std::int32_t num_features, std::int32_t num_actions) {
  const std::uint64_t unit_count = num_actions > 0 ? static_cast<std::uint64_t>(num_actions) : 0;
  const std::uint64_t array_bytes =
      num_features > 0 ? static_cast<std::uint64_t>(num_features) * sizeof(float) : 0;
  const std::uint64_t array_count = kCriticArrays + kUnitArrays * unit_count;  // below 2^36
  const std::uint64_t unit_bytes = unit_count * sizeof(ActorUnit);             // below 2^45
  // array_count * array_bytes can exceed 64 bits, so compare by division.
  if (array_bytes != 0 && array_count > (UINT64_MAX - unit_bytes) / array_bytes) {
    return UINT64_MAX;
  }
  return array_count * array_bytes + unit_bytes;
}

}  // namespace velto
