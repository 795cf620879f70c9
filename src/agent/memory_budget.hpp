#pragma once

#include <cstdint>

namespace velto {

// The bytes this process can still be given without the kernel killing it: the smallest of the
// physical memory, MemAvailable and the headroom under every memory cgroup limit above the
// process (MemoryLimits). Used to refuse, with std::bad_alloc, an agent whose zero-filled arrays
// would be committed page by page past what can be backed.
std::uint64_t available_memory_bytes();

// Throws std::bad_alloc, before anything is allocated, when `bytes` more cannot be had.
void require_memory(std::uint64_t bytes);

// The bytes of the learners' per-feature arrays and units of an agent of this size, saturating at
// UINT64_MAX. A negative num_features counts as 0 (the critic rejects it itself).
std::uint64_t agent_bytes(std::int32_t num_features, std::int32_t num_actions);

}  // namespace velto
