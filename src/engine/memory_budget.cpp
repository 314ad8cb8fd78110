// Memory budgets: the process's cap from the machine's memory and its control groups' limits.
#include "engine/memory_budget.h"

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace mavelin::memory_budget {
namespace {

std::atomic<std::uint64_t> g_cap{0};  // 0: from the machine and the control groups

// The number in the file at `path` ("max" and anything unreadable: no limit).
std::uint64_t read_limit(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text)) return UINT64_MAX;
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && end == text.data() + text.size() ? v : UINT64_MAX;
}

// The smallest limit in `file` of the group `dir` (below the mount point) and of each group
// above it up to the mount point.
std::uint64_t along(const std::string& mount, std::string dir, const char* file) {
    std::uint64_t least = UINT64_MAX;
    for (;;) {
        least = std::min(least, read_limit(mount + dir + "/" + file));
        if (dir.empty()) return least;
        dir.erase(dir.rfind('/'));
    }
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0;;) {
        const std::size_t next = s.find(sep, at);
        parts.push_back(s.substr(at, next - at));
        if (next == std::string_view::npos) return parts;
        at = next + 1;
    }
}

bool has_word(std::string_view list, std::string_view word) {
    for (std::string_view w : split(list, ',')) {
        if (w == word) return true;
    }
    return false;
}

}  // namespace

std::uint64_t cgroup_limit(const std::string& root) noexcept {
    try {
        // Group paths of this process: v2 ("0::/path") and the v1 hierarchy holding "memory".
        std::string v2, v1;
        bool has_v2 = false, has_v1 = false;
        std::ifstream groups(root + "/proc/self/cgroup");
        for (std::string line; std::getline(groups, line);) {
            const std::size_t a = line.find(':'), b = line.find(':', a + 1);
            if (a == std::string::npos || b == std::string::npos) continue;
            const std::string_view controllers = std::string_view(line).substr(a + 1, b - a - 1);
            if (line.compare(0, a, "0") == 0 && controllers.empty()) {
                v2 = line.substr(b + 1);
                has_v2 = true;
            } else if (has_word(controllers, "memory")) {
                v1 = line.substr(b + 1);
                has_v1 = true;
            }
        }
        std::uint64_t least = UINT64_MAX;
        // Mounts: "id parent dev root mountpoint options ... - fstype source superoptions".
        std::ifstream mounts(root + "/proc/self/mountinfo");
        for (std::string line; std::getline(mounts, line);) {
            const std::vector<std::string_view> f = split(line, ' ');
            std::size_t dash = 0;
            while (dash < f.size() && f[dash] != "-") ++dash;
            if (f.size() < 5 || dash + 3 >= f.size()) continue;
            const std::string_view mount_root = f[3], fstype = f[dash + 1];
            const bool is_v2 = has_v2 && fstype == "cgroup2";
            const bool is_v1 = has_v1 && fstype == "cgroup" && has_word(f[dash + 3], "memory");
            if (!is_v2 && !is_v1) continue;
            // The group's folder below this mount, when the mount shows it.
            std::string_view group = is_v2 ? v2 : v1;
            if (mount_root != "/") {
                if (group.substr(0, mount_root.size()) != mount_root) continue;
                group.remove_prefix(mount_root.size());
            }
            while (!group.empty() && group.back() == '/') group.remove_suffix(1);
            least = std::min(least, along(root + std::string(f[4]), std::string(group),
                                          is_v2 ? "memory.max" : "memory.limit_in_bytes"));
        }
        return least;
    } catch (...) {
        return UINT64_MAX;
    }
}

std::uint64_t process_cap() noexcept {
    const std::uint64_t set = g_cap.load(std::memory_order_relaxed);
    if (set != 0) return set;
    std::uint64_t memory = cgroup_limit();
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0)
        memory =
            std::min(memory, static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page));
    return memory == UINT64_MAX ? memory : memory / 2;
}

void set_process_cap(std::uint64_t bytes) noexcept {
    g_cap.store(bytes, std::memory_order_relaxed);
}

}  // namespace mavelin::memory_budget
