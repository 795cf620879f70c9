#include "agent/memory_limits.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace velto {
namespace {

namespace fs = std::filesystem;

// A directory tree standing for "/": the process's files and the cgroup mounts a case lays out.
class FakeRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "memory_limits_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& path, const std::string& text) {
    const fs::path file = root_ / path.substr(1);
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  // A group's limit and usage in a version 1 memory hierarchy mounted at /sys/fs/cgroup/memory.
  void v1_group(const std::string& group, const std::string& limit, const std::string& usage) {
    write("/sys/fs/cgroup/memory" + group + "/memory.limit_in_bytes", limit);
    write("/sys/fs/cgroup/memory" + group + "/memory.usage_in_bytes", usage);
  }
  void v2_group(const std::string& group, const std::string& max, const std::string& current) {
    write("/sys/fs/cgroup" + group + "/memory.max", max);
    write("/sys/fs/cgroup" + group + "/memory.current", current);
  }
  MemoryLimits limits() const { return MemoryLimits(root_.string()); }

  static constexpr const char* kV1Mount =
      "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
  static constexpr const char* kV2Mount =
      "41 31 0:38 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw\n";

  fs::path root_;
};

TEST_F(FakeRoot, TheTightestGroupOnTheWayUpTheVersion1HierarchyCounts) {
  write("/proc/self/cgroup", "9:name=systemd:/\n4:cpu,memory:/jobs/batch\n1:cpuset:/\n");
  write("/proc/self/mountinfo", std::string("23 1 0:21 / /sys rw - sysfs sysfs rw\n") + kV1Mount);
  v1_group("", "9223372036854771712\n", "3669012480\n");  // the root: no limit in effect
  v1_group("/jobs", "1000000\n", "300000\n");             // 700000 left
  v1_group("/jobs/batch", "5000000\n", "100000\n");       // 4900000 left
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(700000));

  v1_group("/jobs/batch", "800000\n", "900000\n");  // over its limit already
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(0));
}

TEST_F(FakeRoot, Version2LimitsOfMaxAreNoLimitAndBothVersionsAreHonoured) {
  write("/proc/self/cgroup", "0::/user.slice/session\n");
  write("/proc/self/mountinfo", kV2Mount);
  v2_group("/user.slice/session", "max\n", "123\n");
  v2_group("/user.slice", "2000000\n", "500000\n");
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(1500000));

  // A hybrid layout: version 1's memory controller beside the version 2 tree.
  write("/proc/self/cgroup", "4:memory:/box\n0::/user.slice/session\n");
  write("/proc/self/mountinfo", std::string(kV2Mount) + kV1Mount);
  v1_group("/box", "1200000\n", "200000\n");
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(1000000));
}

TEST_F(FakeRoot, FiguresThatCannotBeReadAreLeftOut) {
  write("/proc/self/cgroup", "4:memory:/a/b/c\n");
  write("/proc/self/mountinfo", kV1Mount);
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::nullopt);  // no group files at all

  v1_group("/a/b/c", "12abc\n", "1\n");
  v1_group("/a/b", "-5\n", "1\n");
  v1_group("/a", "99999999999999999999999\n", "1\n");  // beyond 64 bits
  v1_group("", "\n", "1\n");
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::nullopt);

  // A limit whose usage cannot be read still bounds what can be had.
  write("/sys/fs/cgroup/memory/a/b/memory.limit_in_bytes", " 4096 \n");
  fs::remove(root_ / "sys/fs/cgroup/memory/a/b/memory.usage_in_bytes");
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(4096));
}

TEST_F(FakeRoot, MountsThatShowAGroupBelowTheRootAreFollowed) {
  // A container's mount shows its own group at the mount point (the process's path seen from
  // the host names more), and mount points may hold escaped spaces.
  write("/proc/self/cgroup", "4:memory:/docker/abc/worker\n");
  write("/proc/self/mountinfo",
        "35 31 0:32 /docker/abc /sys/fs/cgroup/my\\040memory rw - cgroup cgroup rw,memory\n");
  write("/sys/fs/cgroup/my memory/memory.limit_in_bytes", "70000\n");
  write("/sys/fs/cgroup/my memory/memory.usage_in_bytes", "10000\n");
  write("/sys/fs/cgroup/my memory/worker/memory.limit_in_bytes", "90000\n");
  write("/sys/fs/cgroup/my memory/worker/memory.usage_in_bytes", "5000\n");
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(60000));

  // A mount that does not show the process's group: its own group, which holds it, counts.
  write("/proc/self/cgroup", "4:memory:/elsewhere/job\n");
  EXPECT_EQ(limits().cgroup_headroom_bytes(), std::optional<std::uint64_t>(60000));
}

TEST_F(FakeRoot, MemAvailableAndTheSmallestFigure) {
  EXPECT_EQ(limits().available_bytes(), std::nullopt);  // nothing to read

  write("/proc/meminfo", "MemTotal:       24683772 kB\nMemAvailable:   23194736 kB\n");
  EXPECT_EQ(limits().meminfo_available_bytes(), std::optional<std::uint64_t>(23194736ull * 1024));
  EXPECT_EQ(limits().available_bytes(), std::optional<std::uint64_t>(23194736ull * 1024));

  write("/proc/self/cgroup", "0::/job\n");
  write("/proc/self/mountinfo", kV2Mount);
  v2_group("/job", "1048576\n", "4096\n");
  EXPECT_EQ(limits().available_bytes(), std::optional<std::uint64_t>(1048576 - 4096));

  write("/proc/meminfo", "MemTotal:       24683772 kB\n");  // kernels before 3.14
  EXPECT_EQ(limits().meminfo_available_bytes(), std::nullopt);
  write("/proc/meminfo", "MemAvailable:   lots kB\n");
  EXPECT_EQ(limits().meminfo_available_bytes(), std::nullopt);
  write("/proc/meminfo", "MemAvailable:   99999999999999999 kB\n");  // bytes beyond 64 bits
  EXPECT_EQ(limits().meminfo_available_bytes(), std::nullopt);
}

}  // namespace
}  // namespace velto
