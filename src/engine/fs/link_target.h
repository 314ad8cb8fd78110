// Where a symbolic link of the tree leads: inside the tree or out of it, link by link.
#pragma once

#include <string>

namespace mavelin::fs {

// The real path of the folder open on `fd` (no link in it), or "" when it cannot be had.
std::string real_path_of(int fd);

// Whether the symbolic link `name` in the folder `dir` (a real path) leads out of the tree whose
// real path is `root`: its target, and the target of every further link it leads to, is resolved
// (folders on the way as the kernel resolves them, `..` included) and each must lie in `root` or
// below it. At most kMaxLinkHops links are followed; a longer chain or a loop is left to the
// reading, which fails on it. A link that cannot be resolved (its target unreadable, a path
// beyond PATH_MAX) leads out: nothing proves it stays in.
inline constexpr int kMaxLinkHops = 40;
bool leads_outside(const std::string& root, std::string dir, std::string name);

// Where the symbolic link `name` in the folder open on `dir_fd` ends, as a path relative to the
// folder open on `root_fd` (real paths of both from the descriptors): 0 with `rel` set when every
// link of the chain stays in that tree, EXDEV when the chain leaves it or cannot be resolved,
// ELOOP after kMaxLinkHops links. `rel` names no link when this was called, but may by the time
// it is opened: it is to be opened with no link followed.
int link_end_in_tree(int root_fd, int dir_fd, const std::string& name, std::string& rel);

}  // namespace mavelin::fs
