#include "agent/memory_limits.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace velto {

namespace {

constexpr std::size_t kMostFileBytes = 1 << 20;
// Deeper cgroup trees than this are not walked further up.
constexpr int kMostLevels = 64;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::string text(kMostFileBytes, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) {
    return std::nullopt;
  }
  text.resize(static_cast<std::size_t>(file.gcount()));
  return text;
}

std::string trimmed(const std::string& text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && space(text[begin])) {
    ++begin;
  }
  while (end > begin && space(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

// A plain unsigned decimal number that fits in 64 bits, and nothing else.
std::optional<std::uint64_t> parse_count(const std::string& text) {
  if (text.empty() || text.size() > 20 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<std::uint64_t> read_count(const std::string& path) {
  const std::optional<std::string> text = read_file(path);
  return text ? parse_count(trimmed(*text)) : std::nullopt;
}

// What a group's limit leaves of it; nullopt when it has no limit that can be read. Without a
// readable usage the limit alone still bounds what can be had.
std::optional<std::uint64_t> group_headroom(const std::string& directory, const char* limit_name,
                                            const char* usage_name) {
  const std::optional<std::uint64_t> limit = read_count(directory + "/" + limit_name);
  if (!limit) {
    return std::nullopt;
  }
  const std::uint64_t used = read_count(directory + "/" + usage_name).value_or(0);
  return *limit > used ? *limit - used : 0;
}

std::optional<std::uint64_t> smaller(std::optional<std::uint64_t> a,
                                     std::optional<std::uint64_t> b) {
  if (!a) {
    return b;
  }
  if (!b) {
    return a;
  }
  return std::min(*a, *b);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) {
    parts.push_back(part);
  }
  return parts;
}

// Mount points in mountinfo write a space, tab, newline and backslash as \040, \011, \012, \134.
std::string unescaped(const std::string& field) {
  std::string text;
  for (std::size_t n = 0; n < field.size(); ++n) {
    if (field[n] == '\\' && n + 3 < field.size() &&
        std::all_of(field.begin() + static_cast<std::ptrdiff_t>(n) + 1,
                    field.begin() + static_cast<std::ptrdiff_t>(n) + 4,
                    [](char c) { return c >= '0' && c <= '7'; })) {
      text.push_back(static_cast<char>(std::strtol(field.substr(n + 1, 3).c_str(), nullptr, 8)));
      n += 3;
    } else {
      text.push_back(field[n]);
    }
  }
  return text;
}

// One memory cgroup hierarchy as this process sees it.
struct Hierarchy {
  bool version2;
  std::string process_path;  // the process's group, from /proc/self/cgroup
};

// A mount of a hierarchy: the group it shows at its mount point, and where.
struct Mount {
  bool version2;
  std::string group;
  std::string mount_point;
};

std::vector<Hierarchy> process_hierarchies(const std::string& text) {
  std::vector<Hierarchy> found;
  for (const std::string& line : split(text, '\n')) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) {
      continue;
    }
    const std::string id = line.substr(0, first);
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      found.push_back({true, path});
    } else {
      const std::vector<std::string> names = split(controllers, ',');
      if (std::find(names.begin(), names.end(), "memory") != names.end()) {
        found.push_back({false, path});
      }
    }
  }
  return found;
}

std::vector<Mount> cgroup_mounts(const std::string& text) {
  std::vector<Mount> found;
  for (const std::string& line : split(text, '\n')) {
    std::vector<std::string> fields;
    std::istringstream stream(line);
    std::string field;
    while (stream >> field) {
      fields.push_back(field);
    }
    // ID PARENT MAJOR:MINOR ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER_OPTIONS
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 4) {
      continue;
    }
    const std::string& type = dash[1];
    const std::vector<std::string> options = split(dash[3], ',');
    const bool memory = std::find(options.begin(), options.end(), "memory") != options.end();
    if (type == "cgroup2" || (type == "cgroup" && memory)) {
      found.push_back({type == "cgroup2", unescaped(fields[3]), unescaped(fields[4])});
    }
  }
  return found;
}

// The process's group below the group a mount shows: its path relative to the mount, or "" when
// the mount does not show it (the mount point's own group, which holds it, is then the nearest).
std::string relative_path(const std::string& process_path, const std::string& mount_group) {
  if (mount_group == "/") {
    return process_path == "/" ? "" : process_path;
  }
  if (process_path.compare(0, mount_group.size(), mount_group) == 0 &&
      (process_path.size() == mount_group.size() || process_path[mount_group.size()] == '/')) {
    return process_path.substr(mount_group.size());
  }
  return "";
}

}  // namespace

MemoryLimits::MemoryLimits(std::string root) : root_(std::move(root)) {
  while (!root_.empty() && root_.back() == '/') {
    root_.pop_back();
  }
}

std::optional<std::uint64_t> MemoryLimits::available_bytes() const {
  return smaller(meminfo_available_bytes(), cgroup_headroom_bytes());
}

std::optional<std::uint64_t> MemoryLimits::meminfo_available_bytes() const {
  const std::optional<std::string> text = read_file(root_ + "/proc/meminfo");
  if (!text) {
    return std::nullopt;
  }
  for (const std::string& line : split(*text, '\n')) {
    std::istringstream stream(line);
    std::string name, amount, unit;
    if (!(stream >> name >> amount) || name != "MemAvailable:") {
      continue;
    }
    stream >> unit;
    const std::optional<std::uint64_t> kib = parse_count(amount);
    if (!kib || unit != "kB" || *kib > UINT64_MAX / 1024) {
      return std::nullopt;
    }
    return *kib * 1024;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> MemoryLimits::cgroup_headroom_bytes() const {
  const std::optional<std::string> groups = read_file(root_ + "/proc/self/cgroup");
  const std::optional<std::string> mounts = read_file(root_ + "/proc/self/mountinfo");
  if (!groups || !mounts) {
    return std::nullopt;
  }
  std::optional<std::uint64_t> headroom;
  for (const Hierarchy& hierarchy : process_hierarchies(*groups)) {
    const char* const limit_name = hierarchy.version2 ? "memory.max" : "memory.limit_in_bytes";
    const char* const usage_name = hierarchy.version2 ? "memory.current" : "memory.usage_in_bytes";
    for (const Mount& mount : cgroup_mounts(*mounts)) {
      if (mount.version2 != hierarchy.version2) {
        continue;
      }
      const std::string top = root_ + mount.mount_point;
      std::string group = relative_path(hierarchy.process_path, mount.group);
      for (int level = 0; level < kMostLevels; ++level) {
        headroom = smaller(headroom, group_headroom(top + group, limit_name, usage_name));
        const std::size_t slash = group.rfind('/');
        if (group.empty() || slash == std::string::npos) {
          break;
        }
        group.resize(slash);
      }
    }
  }
  return headroom;
}

}  // namespace velto
