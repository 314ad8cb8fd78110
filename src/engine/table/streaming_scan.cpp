// The walk of a tree into a compact node table with the files fingerprinted while the walk goes on.
#include "engine/table/streaming_scan.h"

#include <chrono>
#include <cstring>
#include <iterator>
#include <utility>

#include "engine/fingerprint/parallel_runner.h"

namespace mavelin::table {
namespace {

constexpr std::size_t kHandOn = 1024;                     // paths per batch the walk hands on
constexpr std::size_t kMaxQueued = std::size_t{1} << 16;  // paths waiting, at most
constexpr std::size_t kMaxRun = std::size_t{1} << 16;     // paths per runner call, at most
// Paths per runner call, at least, while the walk goes on: each call starts its threads and
// ends with some of them idle, so calls are not made for every batch.
constexpr std::size_t kMinRun = std::size_t{1} << 13;

}  // namespace

StreamingScan::StreamingScan(std::string top, const fingerprint::Params& params, unsigned threads,
                             fs::SkippedFiles skipped, bool keep_stats, fs::ReadMode mode)
    : top_(std::move(top)),
      params_(params),
      threads_(threads),
      skipped_(std::move(skipped)),
      keep_stats_(keep_stats),
      mode_(mode),
      table_(params.step > 0 ? static_cast<std::size_t>(params.step) : 0) {}

StreamingScan::~StreamingScan() {
    stop_and_join();
}

void StreamingScan::stop_and_join() noexcept {
    if (walker_.joinable() || hasher_.joinable()) {
        stop_.store(true);
        { std::lock_guard<std::mutex> hold(mutex_); }
        changed_.notify_all();
    }
    if (walker_.joinable()) walker_.join();
    if (hasher_.joinable()) hasher_.join();
}

void StreamingScan::start() {
    walker_ = std::thread(&StreamingScan::walk, this);
    try {
        hasher_ = std::thread(&StreamingScan::hash, this);
    } catch (...) {
        stop_and_join();
        throw;
    }
}

bool StreamingScan::hand_on(Batch&& batch) {
    std::unique_lock<std::mutex> hold(mutex_);
    // A stop from outside comes without a notification: look again now and then.
    while (queued_paths_ >= kMaxQueued && !stop_.load())
        changed_.wait_for(hold, std::chrono::milliseconds(50));
    if (stop_.load()) return false;
    queued_paths_ += batch.paths.size();
    queue_.push_back(std::move(batch));
    hold.unlock();
    changed_.notify_all();
    return true;
}

void StreamingScan::walk() noexcept {
    try {
        Batch batch;
        scan_into(
            table_, top_, &walk_errors_, &stop_, &left_out_, &dangling_links_, &skipped_,
            [&](std::size_t i) {
                batch.paths.emplace_back(table_.path(i));
                if (batch.paths.size() < kHandOn) return;
                const std::size_t next = batch.first + batch.paths.size();
                if (!hand_on(std::move(batch))) return;
                batch = Batch{};
                batch.first = next;
                batch.paths.reserve(kHandOn);
            },
            keep_stats_ ? &stats_ : nullptr);
        if (!batch.paths.empty()) hand_on(std::move(batch));
    } catch (...) {
        walk_failure_ = std::current_exception();
        stop_.store(true);
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        walk_done_ = true;
    }
    changed_.notify_all();
}

void StreamingScan::hash() noexcept {
    try {
        std::vector<std::string> paths;
        for (;;) {
            std::size_t first = 0;
            paths.clear();
            {
                std::unique_lock<std::mutex> hold(mutex_);
                changed_.wait(hold, [&] { return queued_paths_ >= kMinRun || walk_done_; });
                if (queue_.empty()) break;
                // Everything waiting, up to one runner call's worth: batches are consecutive.
                first = queue_.front().first;
                while (!queue_.empty() && paths.size() + queue_.front().paths.size() <= kMaxRun) {
                    Batch& b = queue_.front();
                    queued_paths_ -= b.paths.size();
                    std::move(b.paths.begin(), b.paths.end(), std::back_inserter(paths));
                    queue_.pop_front();
                }
            }
            changed_.notify_all();
            if (stop_.load()) break;
            std::vector<fingerprint::FileOutcome> outcomes = fingerprint::fingerprint_files(
                top_, paths, params_, threads_, &stop_, nullptr, mode_);
            store(first, outcomes);
        }
    } catch (...) {
        hash_failure_ = std::current_exception();
        stop_.store(true);
    }
    changed_.notify_all();  // a walk waiting for room sees the stop
}

void StreamingScan::store(std::size_t first, std::vector<fingerprint::FileOutcome>& outcomes) {
    const std::size_t rows = table_.rows();
    const std::size_t per_block = NodeTable::kDigestBlockNodes;
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        fingerprint::FileOutcome& o = outcomes[k];
        const std::size_t i = first + k;
        if (o.error.code != 0) {
            failures_.push_back(FillFailure{i, std::move(o.error)});
            continue;
        }
        bytes_ += o.size;
        while (digest_blocks_.size() <= i / per_block)
            digest_blocks_.push_back(std::make_unique_for_overwrite<Digest[]>(per_block * rows));
        if (rows != 0)
            std::memcpy(digest_blocks_[i / per_block].get() + (i % per_block) * rows, o.rows.data(),
                        rows * sizeof(Digest));
    }
}

void StreamingScan::wait_walk() noexcept {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return walk_done_; });
}

std::vector<FillFailure> StreamingScan::wait_fill(std::uint64_t* bytes) {
    if (walker_.joinable()) walker_.join();
    if (hasher_.joinable()) hasher_.join();
    if (walk_failure_) std::rethrow_exception(walk_failure_);
    if (hash_failure_) std::rethrow_exception(hash_failure_);
    if (bytes) *bytes = bytes_;
    if (stop_.load()) return {};  // stopped: the table keeps no fingerprints
    table_.adopt_fingerprints(std::move(digest_blocks_));
    for (const FillFailure& f : failures_) table_.clear_fingerprint(f.index);
    return std::move(failures_);
}

}  // namespace mavelin::table
