// A walk spread over several machines: one machine walks subtrees of a tree with the walk of
// fs::TreeWalker, fingerprints their files and packs the rows in walk order into one block of
// bytes; another reads the blocks back in order into its node table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/tree_walk.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::table {

// What to walk: folders below the root, each walked whole in turn, as consecutive parts of the
// walk of the whole tree.
struct SubtreeTask {
    struct Folder {
        std::string rel;        // "" for the top
        std::uint64_t ino = 0;  // its inode as the sender saw it; 0: not known
    };
    std::vector<Folder> folders;
    std::uint64_t root_ino = 0;  // the root's inode as the sender saw it; 0: not known
    // Once this many files are in, the walk stops at the next folder and hands the folders it
    // would still enter back (SubtreeBlock::remaining); 0 walks only the first folder's own files.
    std::uint64_t budget = UINT64_MAX;
    // A regular file of more chunks is not read: its row says kLargeFile (another pass reads it
    // in ranges).
    std::uint64_t large_chunks = UINT64_MAX;
};

// The outcome of the whole block.
enum class BlockStatus : std::int32_t {
    kWalked = 0,
    kRootUnreadable = 1,  // the root cannot be opened here (`error`)
    kOtherRoot = 2,       // the root here is another folder than the sender's
    kOtherFolder = 3,     // folders[`folder`] here is missing or another folder than the sender's
};

// A row's error for a file left to be read in ranges.
constexpr std::int32_t kLargeFile = -2;

// Walks `task` below `root` (fs::for_each_node_file rules, `skipped` left out) and fingerprints
// the files (fingerprint::fingerprint_files with `threads` threads, reads as `mode` says), into
// a block. Throws std::bad_alloc. A cancelled walk gives a block of what was done.
std::string walk_block(const std::string& root, const SubtreeTask& task,
                       const fingerprint::Params& params, unsigned threads,
                       const fs::SkippedFiles* skipped, const std::atomic<bool>* cancel,
                       fs::ReadMode mode = fs::ReadMode::kCacheNeutral);

// One file of a block, in walk order.
struct BlockRow {
    std::string_view path;   // below the root
    std::int32_t error = 0;  // 0, an errno, or kLargeFile
    std::uint64_t size = 0;  // bytes fingerprinted (0 on error; the size for kLargeFile)
    const std::uint8_t* digests = nullptr;  // rows * 32 bytes when error is 0
};

// A block read back. The views point into the bytes given to read(), which must outlive it.
class SubtreeBlock {
  public:
    // False when the bytes are no block of `rows` row digests per file.
    bool read(std::string_view bytes, std::size_t rows);

    BlockStatus status = BlockStatus::kWalked;
    std::int32_t error = 0;
    std::uint32_t folder = 0;
    std::uint64_t files = 0;
    // Calls row(const BlockRow&) for every file in walk order (after read()).
    template <class Row>
    void for_each_row(Row&& row) const {
        BlockRow r;
        std::size_t at = 0;
        for (std::uint64_t k = 0; k < files; ++k) {
            at = next_row(at, r);
            row(r);
        }
    }
    std::vector<std::string_view> dangling;  // links whose target is missing, in walk order
    struct LeftOut {
        std::string_view rel;
        std::vector<std::string_view> files;
    };
    std::vector<LeftOut> left_out;
    std::vector<std::pair<std::string_view, int>> errors;  // folders that could not be read
    std::vector<SubtreeTask::Folder> remaining;            // folders still to walk, in walk order

  private:
    std::size_t next_row(std::size_t at, BlockRow& row) const;
    std::string_view rows_;
    std::size_t digests_ = 0;
};

}  // namespace mavelin::table
