// Where a symbolic link of the tree leads: inside the tree or out of it, link by link.
#include "engine/fs/link_target.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

namespace mavelin::fs {
namespace {

bool read_link_text(const std::string& path, std::string& out) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
    out.assign(buf, static_cast<std::size_t>(n));
    return true;
}

bool real_path(const std::string& path, std::string& out) {
    std::unique_ptr<char, decltype(&::free)> r(::realpath(path.c_str(), nullptr), &::free);
    if (!r) return false;
    out = r.get();
    return true;
}

bool is_within(const std::string& root, std::string_view p) {
    if (root == "/") return true;
    return p.size() >= root.size() && p.compare(0, root.size(), root) == 0 &&
           (p.size() == root.size() || p[root.size()] == '/');
}

std::string joined(const std::string& dir, std::string_view name) {
    std::string p = dir;
    if (p.empty() || p.back() != '/') p.push_back('/');
    p.append(name);
    return p;
}

}  // namespace

std::string real_path_of(int fd) {
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    std::string out;
    if (read_link_text(proc, out) && !out.empty() && out.front() == '/') return out;
    return std::string();
}

namespace {

// Follows the link `name` in the folder `dir` (a real path) link by link. True when the chain
// stays in `root`, with `*end` the real path of the first entry that is no link (or, after
// kMaxLinkHops links, "" with `*hops_left` false). False when the chain leaves `root` or cannot
// be resolved.
bool follow_in_tree(const std::string& root, std::string dir, std::string name, std::string* end,
                    bool* hops_left) {
    *hops_left = true;
    if (root.empty()) return false;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::string target;
        if (!read_link_text(joined(dir, name), target)) return false;
        std::string path = target.front() == '/' ? target : joined(dir, target);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const std::size_t slash = path.rfind('/');
        const std::string_view last = std::string_view(path).substr(slash + 1);
        std::string parent;
        if (last.empty() || last == "." || last == "..") {
            // Names a folder: where it is, is all that matters.
            if (!real_path(path, parent) || !is_within(root, parent)) return false;
            *end = std::move(parent);
            return true;
        }
        if (!real_path(slash == 0 ? std::string("/") : path.substr(0, slash), parent)) return false;
        std::string at = joined(parent, last);
        if (!is_within(root, at)) return false;
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *end = std::move(at);
            return true;
        }
        dir = std::move(parent);
        name = std::string(last);
    }
    *hops_left = false;
    end->clear();
    return true;
}

}  // namespace

bool leads_outside(const std::string& root, std::string dir, std::string name) {
    std::string end;
    bool hops_left = true;
    return !follow_in_tree(root, std::move(dir), std::move(name), &end, &hops_left);
}

int link_end_in_tree(int root_fd, int dir_fd, const std::string& name, std::string& rel) {
    const std::string root = real_path_of(root_fd);
    const std::string dir = real_path_of(dir_fd);
    if (root.empty() || dir.empty()) return EXDEV;
    std::string end;
    bool hops_left = true;
    if (!follow_in_tree(root, dir, name, &end, &hops_left)) return EXDEV;
    if (!hops_left) return ELOOP;
    rel = end.size() == root.size() ? std::string(".")
                                    : end.substr(root == "/" ? 1 : root.size() + 1);
    return 0;
}

}  // namespace mavelin::fs
