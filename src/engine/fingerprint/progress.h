// Counters a fingerprint run publishes as it works, and the pass that measures the bytes to come.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mavelin::fingerprint {

// Written by the threads of a run (relaxed atomic adds), read at any time by a watcher on
// another thread. The values only grow; a reader sees each one at some recent moment.
struct Progress {
    std::atomic<uint64_t> files_done{0};   // files finished, fingerprinted or failed
    std::atomic<uint64_t> bytes_done{0};   // bytes hashed so far
    std::atomic<uint64_t> bytes_total{0};  // sizes added up by measure() so far
    std::atomic<bool> measured{false};     // bytes_total holds every file's size
};

// Adds the size of root/rel (symbolic links followed, as the run opens them; 0 for what is
// not a regular file or cannot be examined) to progress.bytes_total for every rel, then sets
// `measured`. Returns early, leaving `measured` false, once `stop` becomes true.
void measure(const std::string& root, const std::vector<std::string>& rel_paths, Progress& progress,
             const std::atomic<bool>& stop) noexcept;
// The same for `count` files whose paths below root `rel(i)` gives (i = 0 .. count - 1; it is
// called on this thread, so it must not throw).
void measure(const std::string& root, std::size_t count,
             const std::function<std::string_view(std::size_t)>& rel, Progress& progress,
             const std::atomic<bool>& stop) noexcept;

}  // namespace mavelin::fingerprint
