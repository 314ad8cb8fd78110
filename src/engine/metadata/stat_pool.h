// The walk's stat records taken by helper threads, folder by folder, while the walk goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/fs/file_io.h"
#include "engine/metadata/file_stats.h"

namespace mavelin::metadata {

// Takes stat_entry() of the entries handed to it on `threads` threads, each into the record
// slot given with it (slots never move: FileStats' blocks). Entries are handed on in batches of
// one folder (its descriptor duplicated), at most a bounded number waiting. The links among the
// entries come back from finish(), ascending by node index.
class StatPool {
  public:
    explicit StatPool(unsigned threads);
    ~StatPool();
    StatPool(const StatPool&) = delete;
    StatPool& operator=(const StatPool&) = delete;

    // Node `node`, the entry `name` of the folder open on `dirfd` (`folder` numbers the folders:
    // descriptor numbers are used again), its record to go to `slot`.
    // Throws std::bad_alloc, std::system_error (no descriptor or thread to be had).
    void add(int dirfd, std::size_t folder, std::string name, std::size_t node, Record* slot);
    // Waits for every record; the links met, ascending by node index. Throws what a helper
    // threw (std::bad_alloc).
    std::vector<Link> finish();

  private:
    struct Job {
        fs::UniqueFd dir;
        std::vector<std::string> names;
        std::vector<std::pair<std::size_t, Record*>> slots;
    };
    void hand_on();
    void work() noexcept;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    bool done_ = false;
    std::vector<Link> links_;
    std::exception_ptr failure_;
    Job job_;                     // being filled by add()
    std::size_t job_folder_ = 0;  // 0: none
    std::vector<std::thread> threads_;
};

// Threads for a StatPool: the processors, at most 4.
unsigned stat_threads() noexcept;

// The links of a walk in walk order into `out` (empty): `node_links` (ascending by node), and
// `loose`, the links that are no nodes, each after the nodes counted with it and before the next.
void merge_links(std::vector<Link> node_links, std::vector<std::pair<std::size_t, Link>>& loose,
                 std::vector<Link>& out);

}  // namespace mavelin::metadata
