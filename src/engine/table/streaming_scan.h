// The walk of a tree into a compact node table with the files fingerprinted while the walk goes on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/parallel_runner.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/tree_walk.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"

namespace mavelin::table {

// scan_tree() followed by fill_fingerprints(), except that hashing starts with the first files
// the walk finds instead of after the last: the walk runs on a thread of its own and hands the
// paths on in batches to the hashing threads. The result is the same table, fingerprints and
// failures. The hand-off holds a bounded number of paths; the fingerprints are stored in the
// table's own layout, which the table takes over at the end.
//
// The walk's results (the table's paths, its errors, left-out folders and dangling links) may be
// read once wait_walk() returned, while the hashing still goes on; the fingerprints once
// wait_fill() did.
// Destroying the object stops and joins whatever still runs.
class StreamingScan {
  public:
    // The files of `skipped` are no nodes (as for scan_tree). With `keep_stats` the walk also
    // keeps every node's stat record (stats()).
    // `mode`: what the reads do with the page cache (fingerprint_files).
    StreamingScan(std::string top, const fingerprint::Params& params, unsigned threads,
                  fs::SkippedFiles skipped = {}, bool keep_stats = false,
                  fs::ReadMode mode = fs::ReadMode::kCacheNeutral);
    ~StreamingScan();
    StreamingScan(const StreamingScan&) = delete;
    StreamingScan& operator=(const StreamingScan&) = delete;

    // Starts the walk and the hashing. Throws std::system_error when a thread cannot be started
    // (nothing then runs), std::bad_alloc.
    void start();
    // Waits until the walk has ended.
    void wait_walk() noexcept;
    // Waits until every file found is fingerprinted, stores the fingerprints in table() and
    // returns the failures in node order; `bytes`, when given, receives the bytes fingerprinted.
    // After a stop the table keeps no fingerprints and nothing is returned. Throws what the walk
    // or the hashing threw (std::bad_alloc).
    std::vector<FillFailure> wait_fill(std::uint64_t* bytes = nullptr);

    // Setting it ends the walk and the hashing early (as the cancel flag of scan_tree and
    // fill_fingerprints does).
    std::atomic<bool>& stop_flag() noexcept { return stop_; }

    // Valid after wait_walk().
    NodeTable& table() noexcept { return table_; }
    std::vector<fs::WalkError>& walk_errors() noexcept { return walk_errors_; }
    std::vector<fs::LeftOutFolder>& left_out() noexcept { return left_out_; }
    std::vector<std::string>& dangling_links() noexcept { return dangling_links_; }
    metadata::FileStats& stats() noexcept { return stats_; }

  private:
    struct Batch {
        std::size_t first = 0;  // node index of paths[0]
        std::vector<std::string> paths;
    };

    void walk() noexcept;
    void hash() noexcept;
    // Hands `batch` to the hashing threads, waiting while the hand-off is full. False when
    // stopped.
    bool hand_on(Batch&& batch);
    // Stores the outcomes of the nodes from `first` on.
    void store(std::size_t first, std::vector<fingerprint::FileOutcome>& outcomes);
    void stop_and_join() noexcept;

    const std::string top_;
    const fingerprint::Params params_;
    const unsigned threads_;
    const fs::SkippedFiles skipped_;
    const bool keep_stats_;
    const fs::ReadMode mode_;
    std::atomic<bool> stop_{false};

    // Written by the walk thread until it ends.
    NodeTable table_;
    std::vector<fs::WalkError> walk_errors_;
    std::vector<fs::LeftOutFolder> left_out_;
    std::vector<std::string> dangling_links_;
    metadata::FileStats stats_;

    std::mutex mutex_;
    std::condition_variable changed_;  // a batch was handed on or taken, or the walk ended
    std::deque<Batch> queue_;
    std::size_t queued_paths_ = 0;
    bool walk_done_ = false;
    std::exception_ptr walk_failure_;

    // Written by the hashing thread until it ends.
    std::vector<std::unique_ptr<Digest[]>> digest_blocks_;
    std::vector<FillFailure> failures_;
    std::uint64_t bytes_ = 0;
    std::exception_ptr hash_failure_;

    std::thread walker_;
    std::thread hasher_;
};

}  // namespace mavelin::table
