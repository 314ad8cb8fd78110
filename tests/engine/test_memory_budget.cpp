// Memory budgets: the control groups' limit found from /proc and /sys as the kernel shows them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/memory_budget.h"

namespace {

namespace fsys = std::filesystem;
using mavelin::memory_budget::cgroup_limit;
using mavelin::memory_budget::process_cap;

struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // below the fake root
    std::uint64_t expected;
};

// The smallest limit of the process's group and the groups above it, in the v2 or the v1
// hierarchy, wherever it is mounted and whatever part of it the mount shows.
TEST(MemoryBudget, CgroupLimitIsTheLeastAlongTheProcessGroup) {
    const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    const std::vector<Case> cases = {
        {"v2, a limit above the group",
         {{"proc/self/cgroup", "0::/a/b\n"},
          {"proc/self/mountinfo", v2_mount},
          {"sys/fs/cgroup/memory.max", "max\n"},
          {"sys/fs/cgroup/a/memory.max", "3000000000\n"},
          {"sys/fs/cgroup/a/b/memory.max", "max\n"}},
         3000000000},
        {"v1 memory hierarchy beside others",
         {{"proc/self/cgroup", "5:cpu,cpuacct:/\n4:memory:/x\n0::/\n"},
          {"proc/self/mountinfo",
           "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
           "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
          {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "1073741824\n"}},
         1073741824},
        {"v2 mount showing only the group (a container)",
         {{"proc/self/cgroup", "0::/c/d\n"},
          {"proc/self/mountinfo", "30 23 0:26 /c/d /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"},
          {"sys/fs/cgroup/memory.max", "500000000\n"}},
         500000000},
        {"no limit anywhere",
         {{"proc/self/cgroup", "0::/\n"},
          {"proc/self/mountinfo", v2_mount},
          {"sys/fs/cgroup/memory.max", "max\n"}},
         UINT64_MAX},
        {"no control groups", {}, UINT64_MAX},
    };
    const fsys::path base =
        fsys::temp_directory_path() / ("mavelin-cgroup-" + std::to_string(::getpid()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fsys::remove_all(base);
        for (const auto& [path, text] : c.files) {
            fsys::create_directories((base / path).parent_path());
            std::ofstream(base / path) << text;
        }
        EXPECT_EQ(cgroup_limit(base.string()), c.expected);
    }
    fsys::remove_all(base);
    const std::uint64_t machine = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                                  static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_LE(process_cap(), machine / 2);
}

}  // namespace
