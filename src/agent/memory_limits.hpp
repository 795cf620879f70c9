#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velto {

// What the kernel says this process can still be given, read from its files: the system's
// MemAvailable, and for each memory cgroup hierarchy (version 1's memory controller and version 2)
// the limit less the usage of every group from the process's own up to the hierarchy's root, all
// of which the kernel enforces. The files are read under `root` ("/" in use), so that a test can
// lay out its own. A file that is missing, unreadable or not a plain number is left out, and so is
// a limit of "max" (none).
class MemoryLimits {
 public:
  explicit MemoryLimits(std::string root);

  // The smallest of the figures below that could be read; nullopt when none could.
  std::optional<std::uint64_t> available_bytes() const;

  // MemAvailable of /proc/meminfo.
  std::optional<std::uint64_t> meminfo_available_bytes() const;

  // The smallest limit less usage of the groups above the process in either cgroup version; 0
  // where a group already uses more than its limit.
  std::optional<std::uint64_t> cgroup_headroom_bytes() const;

 private:
  std::string root_;
};

}  // namespace velto
