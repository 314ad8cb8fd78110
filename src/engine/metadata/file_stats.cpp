// What the walk learns of each node's file system entry (stat data, link targets), kept beside
// the node table in a compact array of fixed records.
#include "engine/metadata/file_stats.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace mavelin::metadata {
namespace {

std::int64_t nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int stat_retry(int dirfd, const char* name, struct stat& st, int flags) {
    int rc;
    do {
        rc = ::fstatat(dirfd, name, &st, flags);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

std::int64_t now_ns() noexcept {
    struct timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);
    return nanoseconds(t);
}

Record stat_entry(int dirfd, const char* name, std::string& target) {
    Record r;
    struct stat st;
    int rc = stat_retry(dirfd, name, st, AT_SYMLINK_NOFOLLOW);
    if (rc == 0 && S_ISLNK(st.st_mode)) {
        r.flags = kIsLink;
        target = read_link(dirfd, name);
        rc = stat_retry(dirfd, name, st, 0);
    }
    if (rc != 0) {
        r.flags |= kNoStat;
    } else {
        r.size = static_cast<std::uint64_t>(st.st_size);
        r.mtime_ns = nanoseconds(st.st_mtim);
        r.ctime_ns = nanoseconds(st.st_ctim);
        r.dev = st.st_dev;
        r.ino = st.st_ino;
        r.mode = st.st_mode;
        r.uid = st.st_uid;
        r.gid = st.st_gid;
    }
    return r;
}

std::string read_link(int dirfd, const char* name) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(dirfd, name, target.data(), target.size());
        if (n < 0) return std::string();
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return target;
        }
        if (target.size() >= (std::size_t{1} << 20)) return std::string();
        target.resize(target.size() * 4);
    }
}

void FileStats::push_back(const Record& r) {
    if (size_ % kBlockRecords == 0) blocks_.push_back(std::make_unique<Record[]>(kBlockRecords));
    (*this)[size_] = r;
    ++size_;
}

std::size_t FileStats::memory_bytes() const noexcept {
    std::size_t n = blocks_.capacity() * sizeof(void*) +
                    blocks_.size() * kBlockRecords * sizeof(Record) +
                    links_.capacity() * sizeof(Link);
    for (const Link& l : links_) n += l.path.capacity() + l.target.capacity();
    return n;
}

}  // namespace mavelin::metadata
