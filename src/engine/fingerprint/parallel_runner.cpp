// Fingerprints a list of files with a short-lived pool of threads, splitting large files across all
// of them.
#include "engine/fingerprint/parallel_runner.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>

#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {
namespace {

using hash::sha256::Digest;

constexpr uint64_t kRangeBytes = uint64_t{1} << 20;  // bytes per range of a split file
constexpr uint64_t kMaxRangeChunks = 4096;           // digests per range, whatever the chunk size
constexpr size_t kRingPerThread = 16;                // ranges of one file in flight, per thread
constexpr unsigned kMaxThreads = 256;
constexpr size_t kMaxBatch = 64;  // small files claimed at once

// A file split into ranges. Ranges are claimed in order; their digests go to slot r % ring of a
// ring, and whoever completes the range at the reduction frontier feeds the reducer, in order.
// A range is only claimed while its slot is free, so the ring bounds the memory.
struct SplitFile {
    explicit SplitFile(int64_t step) : reducer(step) {}

    size_t index = 0;
    std::string path;
    fs::UniqueFd fd;
    uint64_t chunks = 0;
    uint64_t ranges = 0;
    std::unique_ptr<Digest[]> ring;
    std::unique_ptr<std::atomic<uint64_t>[]> done;  // done[s] == r + 1: range r sits in slot s
    fingerprint::RowReducer reducer;                // used only by the holder of `reducing`
    std::atomic<uint64_t> next_range{0};
    std::atomic<uint64_t> reduced{0};   // ranges fed to the reducer
    std::atomic<bool> reducing{false};  // stays set once the file is finished
    std::atomic<int> error{0};
};

enum class Claim { kGot, kWindowFull, kExhausted };

struct Worker {
    fingerprint::Buffer scratch;
    std::unique_ptr<Digest[]> digests;  // one range of chunk digests
    std::vector<std::unique_ptr<SplitFile>>
        split;  // alive until the run ends: others may hold them
};

class Run {
  public:
    Run(const std::string& root, const std::vector<std::string>& rels,
        const fingerprint::Params& params, unsigned threads, std::vector<FileOutcome>& out,
        const std::atomic<bool>* cancel)
        : root_(root), rels_(rels), params_(params), out_(out), threads_(threads), cancel_(cancel) {
        const uint64_t chunk = params.chunk_size > 0 ? static_cast<uint64_t>(params.chunk_size) : 1;
        range_chunks_ = std::clamp<uint64_t>(kRangeBytes / chunk, 1, kMaxRangeChunks);
        ring_ = kRingPerThread * threads;
        batch_ = std::clamp<size_t>(rels.size() / (size_t{8} * threads), 1, kMaxBatch);
        board_ = std::make_unique<std::atomic<SplitFile*>[]>(threads);
        workers_ = std::make_unique<Worker[]>(threads);
        for (unsigned k = 0; k < threads; ++k)
            workers_[k].digests = std::make_unique<Digest[]>(range_chunks_);
    }

    void work(unsigned k) noexcept {
        Worker& w = workers_[k];
        for (;;) {
            active_.fetch_add(1);
            const size_t begin = cursor_.fetch_add(batch_);
            const size_t end = std::min(rels_.size(), begin + std::min(batch_, rels_.size()));
            for (size_t i = begin; i < end; ++i) {
                process(w, k, i);
                while (published_.load(std::memory_order_relaxed) > 0 && help(w)) {
                }
            }
            active_.fetch_sub(1);
            signal();
            if (begin >= rels_.size()) break;
        }
        // Every file is taken: help with split files until nothing is left to claim.
        for (;;) {
            const uint32_t seen = signal_.load();
            if (published_.load() > 0) {
                if (!help(w)) std::this_thread::yield();  // their windows are full for a moment
                continue;
            }
            if (active_.load() == 0) break;
            signal_.wait(seen);
        }
    }

  private:
    void signal() noexcept {
        signal_.fetch_add(1);
        signal_.notify_all();
    }

    static void fail(FileOutcome& o, int err, std::string&& path) noexcept {
        o.rows.clear();
        o.error = err;
        o.error_path = std::move(path);
    }

    bool cancelled() const noexcept {
        return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed);
    }

    void process(Worker& w, unsigned k, size_t i) noexcept {
        FileOutcome& o = out_[i];
        std::string path;
        try {
            path = fs::posix_join(root_, rels_[i]);
            if (cancelled()) return fail(o, ECANCELED, std::move(path));
            fs::UniqueFd fd;
            uint64_t size = 0;
            if (int err = fs::open_for_hashing(path, fd, &size))
                return fail(o, err, std::move(path));
            const uint64_t n = fingerprint::chunk_count(size, params_.chunk_size);
            if (n > range_chunks_ && threads_ > 1)
                return run_split(w, k, i, std::move(path), std::move(fd), n);
            fingerprint::RowReducer reducer(params_.step);
            for (uint64_t first = 0; first < n; first += range_chunks_) {
                if (cancelled()) return fail(o, ECANCELED, std::move(path));
                const uint64_t count = std::min(range_chunks_, n - first);
                if (int err = fingerprint::hash_chunk_range(fd.get(), params_.chunk_size, first,
                                                            count, w.digests.get(), w.scratch))
                    return fail(o, err, std::move(path));
                reducer.add(w.digests.get(), static_cast<size_t>(count));
            }
            o.rows = reducer.finish();
        } catch (...) {  // out of memory: this file fails, the others go on
            fail(o, ENOMEM, std::move(path));
        }
    }

    // Publishes a split file and works on its ranges until all are claimed; the range that
    // completes the file (on whichever thread) writes its outcome.
    void run_split(Worker& w, unsigned k, size_t i, std::string&& path, fs::UniqueFd&& fd,
                   uint64_t n) {
        auto owned = std::make_unique<SplitFile>(params_.step);
        SplitFile& f = *owned;
        f.index = i;
        f.chunks = n;
        f.ranges = (n - 1) / range_chunks_ + 1;
        f.ring = std::make_unique<Digest[]>(ring_ * range_chunks_);
        f.done = std::make_unique<std::atomic<uint64_t>[]>(ring_);
        w.split.push_back(std::move(owned));
        f.path = std::move(path);  // nothing below throws
        f.fd = std::move(fd);

        board_[k].store(&f);
        published_.fetch_add(1);
        signal();
        bool listed = true;
        for (;;) {
            uint64_t r = 0;
            const Claim c = claim(f, r);
            if (c == Claim::kExhausted) break;
            if (c == Claim::kGot) {
                if (r + 1 == f.ranges)
                    unlist(k, listed);  // idle helpers need not wait for the last one
                run_range(w, f, r);
            } else if (!help(w)) {
                std::this_thread::yield();
            }
        }
        unlist(k, listed);
    }

    void unlist(unsigned k, bool& listed) noexcept {
        if (!listed) return;
        listed = false;
        board_[k].store(nullptr);
        published_.fetch_sub(1);
    }

    Claim claim(SplitFile& f, uint64_t& r) noexcept {
        uint64_t next = f.next_range.load();
        for (;;) {
            if (next >= f.ranges) return Claim::kExhausted;
            if (next >= f.reduced.load() + ring_) return Claim::kWindowFull;
            if (f.next_range.compare_exchange_weak(next, next + 1)) {
                r = next;
                return Claim::kGot;
            }
        }
    }

    // One range of some published split file, if any can be claimed now.
    bool help(Worker& w) noexcept {
        for (unsigned k = 0; k < threads_; ++k) {
            SplitFile* f = board_[k].load();
            uint64_t r = 0;
            if (f != nullptr && claim(*f, r) == Claim::kGot) {
                run_range(w, *f, r);
                return true;
            }
        }
        return false;
    }

    void run_range(Worker& w, SplitFile& f, uint64_t r) noexcept {
        const size_t slot = static_cast<size_t>(r % ring_);
        const uint64_t first = r * range_chunks_;
        const uint64_t count = std::min(range_chunks_, f.chunks - first);
        if (cancelled()) {
            int none = 0;
            f.error.compare_exchange_strong(none, ECANCELED);
        }
        if (f.error.load(std::memory_order_relaxed) == 0) {
            int err = fingerprint::hash_chunk_range(f.fd.get(), params_.chunk_size, first, count,
                                                    &f.ring[slot * range_chunks_], w.scratch);
            int none = 0;
            if (err != 0) f.error.compare_exchange_strong(none, err);
        }
        f.done[slot].store(r + 1);
        reduce(f);
    }

    // Feeds completed ranges at the frontier to the reducer. Whoever holds `reducing` does the
    // work; a thread that finds it taken leaves its range to the holder, who looks again after
    // letting go (all sequentially consistent, so no completed range is missed).
    void reduce(SplitFile& f) noexcept {
        for (;;) {
            if (f.reducing.exchange(true)) return;
            uint64_t u = f.reduced.load();
            while (u < f.ranges && f.done[u % ring_].load() == u + 1) {
                if (f.error.load(std::memory_order_relaxed) == 0) {
                    const uint64_t count = std::min(range_chunks_, f.chunks - u * range_chunks_);
                    try {
                        f.reducer.add(&f.ring[(u % ring_) * range_chunks_],
                                      static_cast<size_t>(count));
                    } catch (...) {
                        int none = 0;
                        f.error.compare_exchange_strong(none, ENOMEM);
                    }
                }
                f.reduced.store(++u);
            }
            if (u == f.ranges) return finish(f);  // `reducing` stays set: nothing is left to do
            f.reducing.store(false);
            if (f.done[u % ring_].load() != u + 1) return;
        }
    }

    void finish(SplitFile& f) noexcept {
        FileOutcome& o = out_[f.index];
        int err = f.error.load();
        if (err == 0) {
            try {
                o.rows = f.reducer.finish();
            } catch (...) {
                err = ENOMEM;
            }
        }
        if (err != 0) fail(o, err, std::move(f.path));
        f.fd.reset();
        f.ring.reset();
    }

    const std::string& root_;
    const std::vector<std::string>& rels_;
    const fingerprint::Params params_;
    std::vector<FileOutcome>& out_;
    const unsigned threads_;
    const std::atomic<bool>* cancel_;
    uint64_t range_chunks_ = 1;
    size_t ring_ = 2;
    size_t batch_ = 1;
    std::unique_ptr<std::atomic<SplitFile*>[]> board_;  // board_[k]: the file worker k is splitting
    std::unique_ptr<Worker[]> workers_;
    std::atomic<size_t> cursor_{0};
    std::atomic<int> published_{0};    // non-null board entries
    std::atomic<int> active_{0};       // workers inside a batch of files
    std::atomic<uint32_t> signal_{0};  // bumped when a file is published or a batch ends
};

}  // namespace

std::vector<FileOutcome> fingerprint_files(const std::string& root,
                                           const std::vector<std::string>& rel_paths,
                                           const fingerprint::Params& params, unsigned threads,
                                           const std::atomic<bool>* cancel) {
    std::vector<FileOutcome> out(rel_paths.size());
    if (rel_paths.empty()) return out;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, kMaxThreads);

    Run run(root, rel_paths, params, threads, out, cancel);
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (unsigned k = 1; k < threads; ++k) {
        try {
            pool.emplace_back(&Run::work, &run, k);
        } catch (...) {
            break;  // fewer threads than asked: the others simply share the work
        }
    }
    run.work(0);
    for (std::thread& t : pool) t.join();
    return out;
}

}  // namespace mavelin::fingerprint
