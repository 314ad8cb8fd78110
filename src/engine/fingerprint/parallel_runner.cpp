// Fingerprints a list of files with a short-lived pool of threads, splitting large files across all
// of them.
#include "engine/fingerprint/parallel_runner.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <thread>

#include "engine/cancellation.h"
#include "engine/fingerprint/readers.h"
#include "engine/fingerprint/small_batch.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {
namespace {

using hash::sha256::Digest;

constexpr uint64_t kRangeBytes = uint64_t{1} << 20;        // bytes per range of a split file
constexpr uint64_t kDirectRangeBytes = uint64_t{4} << 20;  // the same for direct reads
constexpr uint64_t kMaxRangeChunks = 4096;            // digests per range, whatever the chunk size
constexpr size_t kRingPerThread = 16;                 // ranges of one file in flight, per thread
constexpr uint64_t kRingDigests = uint64_t{1} << 16;  // digests in one split file's ring (2 MiB)
constexpr size_t kMinRing = 2;                        // ranges in one split file's ring, at least
constexpr size_t kReadScratch = size_t{1} << 20;      // a worker's read buffer, at most
constexpr size_t kDirectReadScratch = kDirectRangeBytes;  // the same for direct reads
constexpr unsigned kMaxThreads = 256;

// About kRangeBytes, but at least enough chunks to hash side by side.
uint64_t range_chunks_for(int64_t chunk_size, fs::ReadMode mode) {
    const uint64_t chunk = chunk_size > 0 ? static_cast<uint64_t>(chunk_size) : 1;
    const uint64_t bytes = mode == fs::ReadMode::kDirect ? kDirectRangeBytes : kRangeBytes;
    return std::clamp<uint64_t>(bytes / chunk, fingerprint::kLaneChunks, kMaxRangeChunks);
}

size_t ring_ranges_for(uint64_t range_chunks, unsigned threads) {
    const size_t fit = static_cast<size_t>(kRingDigests / range_chunks);
    return std::clamp<size_t>(fit, kMinRing, std::max(kMinRing, kRingPerThread * threads));
}

// A file split into ranges. Ranges are claimed in order; their digests go to slot r % ring of a
// ring, and whoever completes the range at the reduction frontier feeds the reducer, in order.
// A range is only claimed while its slot is free, so the ring bounds the memory. Each worker
// owns one, reused for every file it splits: a helper announces itself in `users` and then
// checks that the file is still published before touching anything else, and the owner only
// reuses it once it is unpublished and `users` is back to 0.
struct SplitFile {
    SplitFile(size_t ring_ranges, uint64_t range_chunks, int64_t step)
        : ring(std::make_unique<Digest[]>(ring_ranges * range_chunks)),
          done(std::make_unique<std::atomic<uint64_t>[]>(ring_ranges)),
          reducer(step) {}

    size_t index = 0;
    fs::UniqueFd fd;
    fs::ReadSource src;        // reads of `fd`
    bool from_device = false;  // not all cached when opened: helped only when nothing else waits
    uint64_t dropped = 0;      // kDrop: bytes from the start dropped (by the holder of `reducing`)
    fs::UncachedBlocks uncached;  // kDropUncached: what to drop once the file is read
    uint64_t size = 0;
    uint64_t chunks = 0;
    uint64_t ranges = 0;
    std::unique_ptr<Digest[]> ring;
    std::unique_ptr<std::atomic<uint64_t>[]> done;  // done[s] == r + 1: range r sits in slot s
    fingerprint::RowReducer reducer;                // used only by the holder of `reducing`
    std::atomic<uint64_t> next_range{0};
    std::atomic<uint64_t> reduced{0};   // ranges fed to the reducer
    std::atomic<bool> reducing{false};  // stays set once the file is finished
    std::atomic<int> error{0};
    std::atomic<unsigned> users{0};  // helpers between their check of the board and their range
};

enum class Claim { kGot, kWindowFull, kExhausted };

struct Worker {
    fingerprint::Buffer scratch;
    std::unique_ptr<Digest[]> digests;  // one range of chunk digests
    std::unique_ptr<SplitFile> split;   // made on the first file this worker splits, then reused
};

class Run {
  public:
    Run(const std::string& root, const std::vector<std::string>& rels,
        const fingerprint::Params& params, unsigned threads, std::vector<FileOutcome>& out,
        const std::atomic<bool>* cancel, Progress* progress, fs::ReadMode mode)
        : root_(root),
          rels_(rels),
          params_(params),
          out_(out),
          threads_(threads),
          cancel_(cancel),
          progress_(progress) {
        // Files are opened below the root as the walk saw it: no folder on the way may have
        // become a symbolic link since.
        root_error_ = fs::open_at_any_length(AT_FDCWD, root, O_PATH | O_DIRECTORY, root_fd_);
        range_chunks_ = range_chunks_for(params.chunk_size, mode);
        ring_ = ring_ranges_for(range_chunks_, threads);
        board_ = std::make_unique<std::atomic<SplitFile*>[]>(threads);
        workers_ = std::make_unique<Worker[]>(threads);
        for (unsigned k = 0; k < threads; ++k)
            workers_[k].digests = std::make_unique<Digest[]>(range_chunks_);
        if (root_error_ != 0) {
            for (size_t i = 0; i < rels.size(); ++i) failed(i, root_error_);
            return;
        }
        const auto readers =
            static_cast<unsigned>(std::min<size_t>(rels.size(), fingerprint::Readers::kMaxReaders));
        readers_ = std::make_unique<fingerprint::Readers>(
            root_fd_.get(), rels, params, mode, readers, threads, cancel,
            [this](size_t i, int err) { failed(i, err); });
    }

    // Hashes what the readers hand on (batches of small files read, larger files opened) and
    // helps with split files, until the readers have handed on every file and no split file is
    // left.
    void work(unsigned k) noexcept {
        if (!readers_) return;
        Worker& w = workers_[k];
        const std::function<bool()> help_wanted = [this] { return published_.load() > 0; };
        const std::function<void(fingerprint::SmallFileBatch&)> full =
            [this](fingerprint::SmallFileBatch& b) { flush_small(b); };
        const std::function<void(fingerprint::OpenedFile&)> opened =
            [this, &w, k](fingerprint::OpenedFile& f) {
                if (!process_opened(w, k, f)) count_file();
            };
        std::unique_ptr<fingerprint::SmallFileBatch> own;  // small files this thread read
        fingerprint::Readers::Taken taken;                 // files it took to read itself
        for (;;) {
            // A file that comes from the device is read by its owner alone while other files
            // wait: each stream keeps the kernel's readahead of its own going, and two streams
            // draw more from a disk than one read by two threads in turn.
            if (published_.load() > 0 && help(w, false)) continue;
            if (readers_->read_here(taken, own, full, opened)) continue;
            if (own) {
                flush_small(*own);
                readers_->give_back(own);
            }
            fingerprint::ReadItem item;
            const fingerprint::Readers::Next next = readers_->next(item, help_wanted);
            if (next == fingerprint::Readers::Next::kEnd) break;
            if (next == fingerprint::Readers::Next::kHelp) {
                if (!help(w, true)) std::this_thread::yield();  // their windows are full for now
                continue;
            }
            if (item.batch) {
                flush_small(*item.batch);
            } else if (!process_opened(w, k, item.file)) {
                count_file();
            }
            readers_->finished(item);
        }
    }

  private:
    // A file that failed before any hashing (open, small read, cancelled), counted as done.
    void failed(size_t i, int err) noexcept {
        fail(i, err);
        count_file();
    }

    // Marks file i failed with `err`, named by its joined path (joined only now: most files
    // never need it; left empty when there is no memory for it).
    void fail(size_t i, int err) noexcept {
        FileOutcome& o = out_[i];
        o.rows.clear();
        o.error.code = err;
        try {
            o.error.path = fs::posix_join(root_, rels_[i]);
        } catch (...) {
            o.error.path.clear();
        }
    }

    // Bytes of `count` chunks from chunk `first` of a file of `size` bytes.
    uint64_t range_bytes(uint64_t size, uint64_t first, uint64_t count) const noexcept {
        if (params_.chunk_size <= 0) return 0;
        const uint64_t chunk = static_cast<uint64_t>(params_.chunk_size);
        const uint64_t begin = first * chunk;
        return begin >= size ? 0 : std::min(count * chunk, size - begin);
    }

    // Where the chunks before chunk `end_chunk` end in a file of `size` bytes.
    uint64_t range_end(uint64_t size, uint64_t end_chunk) const noexcept {
        return range_bytes(size, 0, end_chunk);
    }

    void count_bytes(uint64_t n) noexcept {
        if (progress_) progress_->bytes_done.fetch_add(n, std::memory_order_relaxed);
    }

    void count_file() noexcept {
        if (progress_) progress_->files_done.fetch_add(1, std::memory_order_relaxed);
    }

    bool cancelled() const noexcept { return cancellation::requested(cancel_); }

    // Hashes a batch of small files the readers read and writes their outcomes.
    void flush_small(fingerprint::SmallFileBatch& batch) noexcept {
        batch.flush([this](size_t i, uint64_t size, int err, std::vector<Digest>&& rows) {
            if (err != 0) {
                fail(i, err);
            } else {
                out_[i].rows = std::move(rows);
                out_[i].size = size;
                count_bytes(size);
            }
            count_file();
        });
    }

    // A larger file the readers opened. True when it was handed on (split across the workers), to
    // be counted when it finishes.
    bool process_opened(Worker& w, unsigned k, fingerprint::OpenedFile& f) noexcept {
        const size_t i = f.index;
        FileOutcome& o = out_[i];
        try {
            if (cancelled()) {
                fail(i, ECANCELED);
                return false;
            }
            const uint64_t size = f.size;
            const fs::ReadSource& src = f.src;
            o.size = size;
            const uint64_t n = fingerprint::chunk_count(size, params_.chunk_size);
            if (n > range_chunks_ && threads_ > 1) {
                run_split(w, k, i, std::move(f.fd), src, std::move(f.uncached), size, n);
                return true;
            }
            fingerprint::RowReducer reducer(params_.step);
            uint64_t dropped = 0;
            for (uint64_t first = 0; first < n; first += range_chunks_) {
                if (cancelled()) {
                    fail(i, ECANCELED);
                    return false;
                }
                const uint64_t count = std::min(range_chunks_, n - first);
                if (int err = fingerprint::hash_chunk_range(src, params_.chunk_size, first, count,
                                                            w.digests.get(), w.scratch, size)) {
                    fail(i, err);
                    return false;
                }
                count_bytes(range_bytes(size, first, count));
                if (src.cache == fs::CacheUse::kDrop)
                    fs::drop_read_prefix(src.fd, &dropped, range_end(size, first + count));
                reducer.add(w.digests.get(), static_cast<size_t>(count));
            }
            if (src.cache == fs::CacheUse::kDrop) fs::drop_whole_file(src.fd);
            if (src.cache == fs::CacheUse::kDropUncached) f.uncached.drop(src.fd);
            o.rows = reducer.finish();
        } catch (...) {  // out of memory: this file fails, the others go on
            fail(i, ENOMEM);
        }
        return false;
    }

    // Publishes a split file and works on its ranges until all are claimed; the range that
    // completes the file (on whichever thread) writes its outcome.
    void run_split(Worker& w, unsigned k, size_t i, fs::UniqueFd&& fd, const fs::ReadSource& src,
                   fs::UncachedBlocks&& uncached, uint64_t size, uint64_t n) {
        if (!w.split) w.split = std::make_unique<SplitFile>(ring_, range_chunks_, params_.step);
        SplitFile& f = *w.split;
        f.reducer = fingerprint::RowReducer(params_.step);
        f.index = i;
        f.size = size;
        f.chunks = n;
        f.ranges = (n - 1) / range_chunks_ + 1;
        for (size_t s = 0; s < ring_; ++s) f.done[s].store(0, std::memory_order_relaxed);
        f.next_range.store(0);
        f.reduced.store(0);
        f.reducing.store(false);
        f.error.store(0);
        f.fd = std::move(fd);
        f.src = src;
        f.from_device = src.direct || src.cache != fs::CacheUse::kKeep;
        f.dropped = 0;
        f.uncached = std::move(uncached);

        board_[k].store(&f);
        published_.fetch_add(1);
        readers_->notify();
        bool listed = true;
        for (;;) {
            uint64_t r = 0;
            const Claim c = claim(f, r);
            if (c == Claim::kExhausted) break;
            if (c == Claim::kGot) {
                if (r + 1 == f.ranges)
                    unlist(k, listed);  // idle helpers need not wait for the last one
                run_range(w, f, r);
            } else if (!help(w, true)) {
                std::this_thread::yield();
            }
        }
        unlist(k, listed);
        // Helpers still inside a range of this file finish it (the last one writes the outcome).
        while (f.users.load() != 0) std::this_thread::yield();
        f.fd.reset();
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

    // One range of some published split file, if any can be claimed now; of one that comes from
    // the device only with `from_device`.
    bool help(Worker& w, bool from_device) noexcept {
        for (unsigned k = 0; k < threads_; ++k) {
            SplitFile* f = board_[k].load();
            if (f == nullptr) continue;
            f->users.fetch_add(1);
            uint64_t r = 0;
            const bool got = board_[k].load() == f && (from_device || !f->from_device) &&
                             claim(*f, r) == Claim::kGot;
            if (got) run_range(w, *f, r);
            f->users.fetch_sub(1);
            if (got) return true;
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
            int err =
                fingerprint::hash_chunk_range(f.src, params_.chunk_size, first, count,
                                              &f.ring[slot * range_chunks_], w.scratch, f.size);
            int none = 0;
            if (err != 0) f.error.compare_exchange_strong(none, err);
            if (err == 0) count_bytes(range_bytes(f.size, first, count));
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
            if (f.src.cache == fs::CacheUse::kDrop)
                fs::drop_read_prefix(f.src.fd, &f.dropped, range_end(f.size, u * range_chunks_));
            if (u == f.ranges) return finish(f);  // `reducing` stays set: nothing is left to do
            f.reducing.store(false);
            if (f.done[u % ring_].load() != u + 1) return;
        }
    }

    void finish(SplitFile& f) noexcept {
        if (f.src.cache == fs::CacheUse::kDrop) fs::drop_whole_file(f.src.fd);
        if (f.src.cache == fs::CacheUse::kDropUncached) f.uncached.drop(f.src.fd);
        FileOutcome& o = out_[f.index];
        int err = f.error.load();
        if (err == 0) {
            try {
                o.rows = f.reducer.finish();
            } catch (...) {
                err = ENOMEM;
            }
        }
        if (err != 0) fail(f.index, err);
        count_file();
    }

    const std::string& root_;
    fs::UniqueFd root_fd_;
    int root_error_ = 0;
    const std::vector<std::string>& rels_;
    const fingerprint::Params params_;
    std::vector<FileOutcome>& out_;
    const unsigned threads_;
    const std::atomic<bool>* cancel_;
    Progress* const progress_;
    uint64_t range_chunks_ = 1;
    size_t ring_ = 2;
    std::unique_ptr<std::atomic<SplitFile*>[]> board_;  // board_[k]: the file worker k is splitting
    std::unique_ptr<Worker[]> workers_;
    std::atomic<int> published_{0};  // non-null board entries
    // Made last: its threads call failed() and read what is above.
    std::unique_ptr<fingerprint::Readers> readers_;
};

}  // namespace

RunnerMemory runner_memory(const fingerprint::Params& params, unsigned threads, fs::ReadMode mode) {
    threads = std::clamp(threads, 1u, kMaxThreads);
    RunnerMemory m;
    m.range_chunks = range_chunks_for(params.chunk_size, mode);
    m.ring_ranges = ring_ranges_for(m.range_chunks, threads);
    m.per_thread_bytes = static_cast<size_t>(m.range_chunks) * sizeof(Digest) +  // digests
                         m.ring_ranges * static_cast<size_t>(m.range_chunks) * sizeof(Digest) +
                         m.ring_ranges * sizeof(std::atomic<uint64_t>) + sizeof(SplitFile) +
                         (mode == fs::ReadMode::kDirect ? kDirectReadScratch : kReadScratch);
    m.readers_bytes = fingerprint::Readers::memory_bytes(threads);
    return m;
}

std::vector<FileOutcome> fingerprint_files(const std::string& root,
                                           const std::vector<std::string>& rel_paths,
                                           const fingerprint::Params& params, unsigned threads,
                                           const std::atomic<bool>* cancel, Progress* progress,
                                           fs::ReadMode mode) {
    std::vector<FileOutcome> out(rel_paths.size());
    if (rel_paths.empty()) return out;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, kMaxThreads);

    Run run(root, rel_paths, params, threads, out, cancel, progress, mode);
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
