// Iterative, descriptor-relative directory walk with the visiting order and rules of a default
// top-down os.walk.
#include "engine/fs/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/fs/link_target.h"

namespace mavelin::fs {

namespace {

// Descriptors kept open for the deepest folders of the current path (the top is always open).
// Shallower ones are closed and reopened through ".." on the way back up.
constexpr size_t kMaxOpenFrames = 32;
constexpr size_t kListBufferSize = 64 * 1024;

bool is_same_dir(int fd, dev_t dev, ino_t ino) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev && st.st_ino == ino;
}

// The type of entry `name` of folder `fd` where the listing gave none (DT_UNKNOWN): DT_LNK,
// DT_DIR or DT_REG (anything else that is no folder), from one stat of the entry itself;
// DT_UNKNOWN when it is gone.
unsigned char entry_type(int fd, const char* name) {
    struct stat st;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
    if (S_ISLNK(st.st_mode)) return DT_LNK;
    return S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
}

bool is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The last component of `p` that is neither empty nor ".", if any.
std::optional<std::string_view> last_named_component(std::string_view p) {
    while (!p.empty()) {
        while (!p.empty() && p.back() == '/') p.remove_suffix(1);
        if (p.empty()) break;
        size_t slash = p.rfind('/');
        std::string_view comp = slash == std::string_view::npos ? p : p.substr(slash + 1);
        if (comp != ".") return comp;
        p.remove_suffix(comp.size());
    }
    return std::nullopt;
}

// The root component of an absolute path: "//" for exactly two leading slashes, else "/".
std::string root_component(std::string_view p) {
    if (p.size() >= 2 && p[1] == '/' && (p.size() == 2 || p[2] != '/')) return "//";
    return "/";
}

std::optional<std::string> current_directory() {
    std::string buf(PATH_MAX, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size()) != nullptr) {
            buf.resize(std::char_traits<char>::length(buf.data()));
            return buf;
        }
        if (errno != ERANGE || buf.size() > (size_t{1} << 24)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

std::string top_folder_name(const std::string& top) {
    if (auto comp = last_named_component(top)) return std::string(*comp);
    if (!top.empty() && top.front() == '/') return root_component(top);
    std::optional<std::string> cwd = current_directory();
    if (!cwd) return std::string();
    if (auto comp = last_named_component(*cwd)) return std::string(*comp);
    return root_component(*cwd);
}

TreeWalker::TreeWalker(std::string top, const std::atomic<bool>* cancel)
    : top_(std::move(top)), cancel_(cancel) {}

TreeWalker::TreeWalker(std::string top, std::string below, const std::atomic<bool>* cancel)
    : top_(std::move(top)), cancel_(cancel), below_(std::move(below)), subtree_(true) {}

Visit* TreeWalker::start_subtree() {
    fs::UniqueFd fd;
    if (const int err = fs::open_keeping_atime(O_RDONLY | O_DIRECTORY, [&](int flags) {
            return fs::open_at_any_length(AT_FDCWD, top_, flags, fd);
        })) {
        top_error_ = err;
        return nullptr;
    }
    if (below_.empty()) return push(std::move(fd), top_folder_name(top_)) ? &current_ : nullptr;
    // The folders above the subtree's own, as the whole walk entered them.
    size_t from = 0;
    for (size_t slash; (slash = below_.find('/', from)) != std::string::npos; from = slash + 1) {
        const std::string name = below_.substr(from, slash - from);
        fs::UniqueFd next(
            openat_retry(fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            above_error_ = errno;
            return nullptr;
        }
        fd = std::move(next);
    }
    const std::string name = below_.substr(from);
    rel_ = below_.substr(0, from == 0 ? 0 : from - 1);
    fs::UniqueFd sub;
    const int err =
        fs::open_keeping_atime(O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, [&](int flags) {
            sub.reset(openat_retry(fd.get(), name.c_str(), flags));
            return sub ? 0 : errno;
        });
    if (err != 0) {  // as a subfolder of the whole walk
        if (err != ENOENT && err != ELOOP && err != ENOTDIR) record(name, err);
        return nullptr;
    }
    rel_ = below_;
    return push(std::move(sub), name) ? &current_ : nullptr;
}

void TreeWalker::take_remaining(std::vector<Remaining>& out) {
    auto add = [&out](int dirfd, std::string_view rel, const std::string& name) {
        Remaining r;
        r.rel.reserve(rel.size() + 1 + name.size());
        r.rel.append(rel);
        if (!rel.empty()) r.rel.push_back('/');
        r.rel.append(name);
        struct stat st;
        if (dirfd >= 0 && ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode))
            r.ino = st.st_ino;
        out.push_back(std::move(r));
    };
    if (pending_ && !frames_.empty()) {
        for (const std::string& d : current_.dirs) add(frames_.back().fd.get(), rel_, d);
        current_.dirs.clear();
    }
    for (size_t k = frames_.size(); k-- > 0;) {
        Frame& f = frames_[k];
        const std::string_view rel = std::string_view(rel_).substr(0, f.rel_len);
        for (size_t i = f.next; i < f.dirs.size(); ++i) add(f.fd.get(), rel, f.dirs[i]);
        f.next = f.dirs.size();
    }
}

void TreeWalker::record(const std::string& name, int code) {
    WalkError e;
    e.rel = rel_;
    if (!name.empty()) {
        if (!e.rel.empty()) e.rel.push_back('/');
        e.rel.append(name);
    }
    e.code = code;
    errors_.push_back(std::move(e));
}

int TreeWalker::list(int fd, const std::string& rel, std::vector<std::string>& dirs,
                     std::vector<std::string>& files, std::vector<size_t>& dangling) {
    if (buffer_.empty()) buffer_.resize(kListBufferSize);
    for (;;) {
        if (cancelled()) return ECANCELED;
        ssize_t n = ::getdents64(fd, buffer_.data(), buffer_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            // A directory removed while being listed reports ENOENT; readdir takes that as its end.
            return errno == ENOENT ? 0 : errno;
        }
        if (n == 0) return 0;
        for (ssize_t off = 0; off < n;) {
            const auto* d = reinterpret_cast<const struct dirent64*>(buffer_.data() + off);
            off += d->d_reclen;
            const char* name = d->d_name;
            if (is_dot_or_dotdot(name)) continue;
            const unsigned char type = d->d_type == DT_UNKNOWN ? entry_type(fd, name) : d->d_type;
            bool is_dir = type == DT_DIR;
            if (type == DT_LNK) {
                struct stat st;  // follows the link: a link to a directory is a folder entry
                if (::fstatat(fd, name, &st, 0) == 0) {
                    is_dir = S_ISDIR(st.st_mode);
                    if (!is_dir && leads_outside(root_real_, joined_real(rel), name))
                        dangling.push_back(files.size());
                } else if (errno == ENOENT || errno == ENOTDIR) {  // its target is missing
                    dangling.push_back(files.size());
                }
            }
            (is_dir ? dirs : files).emplace_back(name);
        }
    }
}

bool TreeWalker::push(fs::UniqueFd fd, const std::string& name) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        record(frames_.empty() ? std::string() : name, errno);
        return false;
    }
    std::vector<std::string> dirs, files;
    std::vector<size_t> dangling;
    std::string rel = rel_;
    if (!frames_.empty()) {
        if (!rel.empty()) rel.push_back('/');
        rel.append(name);
    }
    if (const int err = list(fd.get(), rel, dirs, files, dangling)) {
        if (err != ECANCELED) record(frames_.empty() ? std::string() : name, err);
        return false;
    }

    rel_ = std::move(rel);
    Frame frame;
    frame.fd = std::move(fd);
    frame.dev = st.st_dev;
    frame.ino = st.st_ino;
    frame.rel_len = rel_.size();
    frames_.push_back(std::move(frame));
    names_.push_back(name);
    if (frames_.size() - lowest_open_ > kMaxOpenFrames) {
        frames_[lowest_open_].fd.reset();
        ++lowest_open_;
    }

    current_.rel = rel_;
    current_.name = name;
    current_.dirs = std::move(dirs);
    current_.files = std::move(files);
    current_.dangling = std::move(dangling);
    pending_ = true;
    ++visits_;
    return true;
}

bool TreeWalker::reopen_from_child(size_t index, int child_fd) {
    if (child_fd < 0) return false;
    fs::UniqueFd fd(openat_retry(child_fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd || !is_same_dir(fd.get(), frames_[index].dev, frames_[index].ino)) return false;
    frames_[index].fd = std::move(fd);
    return true;
}

bool TreeWalker::reopen_from_ancestor(size_t index) {
    size_t base = index;
    while (base > 0 && !frames_[base - 1].fd) --base;
    if (base == 0) return false;  // cannot happen: the top stays open
    fs::UniqueFd held;
    int dirfd = frames_[base - 1].fd.get();
    for (size_t k = base; k <= index; ++k) {
        fs::UniqueFd fd(
            openat_retry(dirfd, names_[k].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd || !is_same_dir(fd.get(), frames_[k].dev, frames_[k].ino)) return false;
        held = std::move(fd);
        dirfd = held.get();
    }
    frames_[index].fd = std::move(held);
    return true;
}

void TreeWalker::pop() {
    fs::UniqueFd child = std::move(frames_.back().fd);
    frames_.pop_back();
    names_.pop_back();
    if (frames_.empty()) return;
    size_t parent = frames_.size() - 1;
    rel_.resize(frames_[parent].rel_len);
    if (parent >= 1 && parent < lowest_open_) {
        lowest_open_ = parent;
        if (!reopen_from_child(parent, child.get()) && !reopen_from_ancestor(parent)) {
            // The folder moved or vanished: like a path-based walk, skip what is left of it.
            frames_[parent].next = frames_[parent].dirs.size();
        }
    }
}

Visit* TreeWalker::next() {
    if (cancelled()) return nullptr;
    if (!started_) {
        started_ = true;
        if (subtree_) return start_subtree();
        fs::UniqueFd fd;
        if (const int err = fs::open_keeping_atime(O_RDONLY | O_DIRECTORY, [&](int flags) {
                return fs::open_at_any_length(AT_FDCWD, top_, flags, fd);
            })) {
            // A missing top is a tree without files, as for os.walk; anything else is reported.
            if (err != ENOENT && err != ENOTDIR) record(std::string(), err);
            return nullptr;
        }
        root_real_ = real_path_of(fd.get());
        if (root_real_.empty()) {
            std::unique_ptr<char, decltype(&::free)> r(::realpath(top_.c_str(), nullptr), &::free);
            if (r) root_real_ = r.get();
        }
        if (!push(std::move(fd), top_folder_name(top_))) return nullptr;
        return &current_;
    }
    if (pending_) {
        // The caller may have edited the folder list: enter exactly what it holds now.
        frames_.back().dirs = std::move(current_.dirs);
        frames_.back().next = 0;
        current_.dirs.clear();
        pending_ = false;
    }
    while (!frames_.empty()) {
        if (cancelled()) return nullptr;
        Frame& frame = frames_.back();
        if (frame.next >= frame.dirs.size() || !frame.fd) {
            pop();
            continue;
        }
        std::string name = std::move(frame.dirs[frame.next++]);
        // O_NOFOLLOW: a subfolder that is a symbolic link when its turn comes is not entered.
        fs::UniqueFd fd;
        const int err =
            fs::open_keeping_atime(O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, [&](int flags) {
                fd.reset(openat_retry(frame.fd.get(), name.c_str(), flags));
                return fd ? 0 : errno;
            });
        if (err != 0) {
            // Gone, turned into a link or a file since the listing: skipped, as os.walk does.
            // A folder that is there but cannot be read is a failure of the walk.
            if (err != ENOENT && err != ELOOP && err != ENOTDIR) record(name, err);
            continue;
        }
        if (push(std::move(fd), name)) return &current_;
    }
    return nullptr;
}

std::string TreeWalker::joined_real(const std::string& rel) const {
    if (rel.empty() || root_real_.empty()) return root_real_;
    std::string dir = root_real_;
    if (dir.back() != '/') dir.push_back('/');
    return dir.append(rel);
}

void record_left_out(Visit& v, std::vector<LeftOutFolder>* left_out) {
    if (left_out && !v.rel.empty()) left_out->push_back({v.rel, std::move(v.files)});
}

std::string node_path(const std::string& rel, std::string& file) {
    if (rel.empty()) return std::move(file);
    std::string p;
    p.reserve(rel.size() + 1 + file.size());
    p.append(rel).push_back('/');
    p.append(file);
    return p;
}

std::vector<std::string> scan_node_paths(const std::string& top,
                                         std::vector<LeftOutFolder>* left_out,
                                         std::vector<WalkError>* errors,
                                         const std::atomic<bool>* cancel,
                                         std::vector<std::string>* dangling,
                                         const SkippedFiles* skipped) {
    std::vector<std::string> paths;
    TreeWalker walker(top, cancel);
    for_each_node_file(
        walker,
        [&paths](const std::string& rel, std::string& file) {
            paths.push_back(node_path(rel, file));
        },
        [left_out](Visit& v) { record_left_out(v, left_out); },
        [dangling](const std::string& rel, std::string& file) {
            if (dangling) dangling->push_back(node_path(rel, file));
        },
        skipped);
    if (errors) *errors = walker.errors();
    return paths;
}

}  // namespace mavelin::fs
