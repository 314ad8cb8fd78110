// What the walk learns of each node's file system entry (stat data, link targets), kept beside
// the node table in a compact array of fixed records.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mavelin::metadata {

// One node's stat data as stored: 56 bytes, no padding. Times are nanoseconds since the epoch.
struct Record {
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint32_t mode = 0;  // st_mode: type and permission bits
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint32_t flags = 0;  // kIsLink, kNoStat
};
static_assert(sizeof(Record) == 56);

// Record::flags.
inline constexpr std::uint32_t kIsLink =
    1;  // the entry is a symbolic link (its stat: the target's)
inline constexpr std::uint32_t kNoStat = 2;  // the stat failed; the other fields are 0

// A symbolic link's target text. `node` is the node's index in table order, or kNotANode for a
// link that is no node (its target is missing or outside the tree): `path` then holds its
// node-style path.
struct Link {
    static constexpr std::uint64_t kNotANode = UINT64_MAX;
    std::uint64_t node = kNotANode;
    std::string path;
    std::string target;
};

// The record of `name` in the folder open on `dirfd`: the stat of what it names (a link is
// followed, as the fingerprint follows it). When `name` itself is a link the record has kIsLink
// and `target` receives its target text. One system call for an entry that is no link.
Record stat_entry(int dirfd, const char* name, std::string& target);
// The target text of the link `name` below `dirfd` ("" when it cannot be read).
std::string read_link(int dirfd, const char* name);
// The real-time clock in ns since the epoch.
std::int64_t now_ns() noexcept;

// The records of a table's nodes in table order, plus the link texts. Records live in fixed
// blocks that never move, so growing costs no copy (56 bytes per node and one pointer per block).
class FileStats {
  public:
    static constexpr std::size_t kBlockRecords = std::size_t{1} << 14;

    std::size_t size() const noexcept { return size_; }
    const Record& operator[](std::size_t i) const noexcept {
        return blocks_[i / kBlockRecords][i % kBlockRecords];
    }
    Record& operator[](std::size_t i) noexcept {
        return blocks_[i / kBlockRecords][i % kBlockRecords];
    }
    // Appends a record. Throws std::bad_alloc.
    void push_back(const Record& r);
    std::vector<Link>& links() noexcept { return links_; }
    const std::vector<Link>& links() const noexcept { return links_; }
    std::size_t memory_bytes() const noexcept;

    // The clock when the walk that made the records began (ns since the epoch).
    std::int64_t taken_ns = 0;
    // The fingerprint parameters of the table the records go with.
    std::uint32_t chunk_size = 0;
    std::uint32_t step = 0;
    // Threads that take the records while the walk goes on (0: stat_threads()).
    unsigned threads = 0;

  private:
    std::vector<std::unique_ptr<Record[]>> blocks_;
    std::size_t size_ = 0;
    std::vector<Link> links_;
};

}  // namespace mavelin::metadata
