// Where a symbolic link of the tree leads: inside the tree or out of it, link by link.
#include "engine/fs/link_target.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool leads_outside(const std::string& root, std::string dir, std::string name) {
    if (root.empty()) return true;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::string target;
        if (!read_link_text(joined(dir, name), target)) return true;
        std::string path = target.front() == '/' ? target : joined(dir, target);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const std::size_t slash = path.rfind('/');
        const std::string_view last = std::string_view(path).substr(slash + 1);
        std::string parent;
        if (last.empty() || last == "." || last == "..") {
            // Names a folder: where it is, is all that matters.
            return !real_path(path, parent) || !is_within(root, parent);
        }
        if (!real_path(slash == 0 ? std::string("/") : path.substr(0, slash), parent)) return true;
        const std::string at = joined(parent, last);
        if (!is_within(root, at)) return true;
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
        dir = std::move(parent);
        name = std::string(last);
    }
    return false;
}

}  // namespace mavelin::fs
