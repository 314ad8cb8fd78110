// The reader threads of a run: they open the files and read the small ones ahead of the hashing
// threads, so that many requests are outstanding at once whatever the number of hashing threads.
#include "engine/fingerprint/readers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <utility>

#include "engine/cancellation.h"

namespace mavelin::fingerprint {
namespace {

size_t max_batches(unsigned readers, unsigned hashers) noexcept {
    return size_t{readers} + size_t{2} * hashers;
}

// Files a hashing thread takes at once to read itself: an eighth of each one's share, at most
// kMaxRun, so that the threads end close together.
constexpr size_t kMaxRun = 64;
size_t run_size(size_t files, unsigned hashers) noexcept {
    return std::clamp<size_t>(files / (size_t{8} * std::max(hashers, 1u)), 1, kMaxRun);
}

// A file whose opening and reading took longer than this waited for the device: a file read from
// the page cache takes a few microseconds.
constexpr auto kSlowFile = std::chrono::microseconds(200);
// Files that waited for the device before the reader threads join in: a warm tree is read faster
// by the hashing threads themselves, with the data still in their processor's caches. They must
// come within kSlowWindow consecutive files: a thread that lost its processor for a moment makes
// a cached file look slow now and then, a cold tree or a cold part of one makes nearly every file
// slow.
constexpr size_t kSlowFilesForAll = 4;
constexpr size_t kSlowWindow = 128;

}  // namespace

Readers::Readers(int root_fd, const std::vector<std::string>& rels, const Params& params,
                 fs::ReadMode mode, unsigned readers, unsigned hashers,
                 const std::atomic<bool>* cancel, std::function<void(size_t, int)> failed)
    : root_fd_(root_fd),
      rels_(rels),
      params_(params),
      mode_(mode),
      cancel_(cancel),
      failed_(std::move(failed)),
      max_batches_(max_batches(std::clamp(readers, 1u, kMaxReaders), hashers)),
      max_queued_(max_batches_),
      run_(run_size(rels.size(), hashers)),
      readers_(std::clamp(readers, 1u, kMaxReaders)) {
    spare_.reserve(max_batches_);
    // Direct reads always wait for the device. (When no thread can start, the hashing threads
    // read the files themselves.)
    if (mode == fs::ReadMode::kDirect) start_readers();
}

Readers::~Readers() {
    for (std::thread& t : threads_) t.join();
}

bool Readers::start_readers() noexcept {
    {
        // Counted as reading before any hashing thread can see the run turn cold, so that none
        // takes the empty queue for the end.
        std::lock_guard<std::mutex> hold(mutex_);
        if (cold_seen_.load() || no_threads_) return false;
        reading_ += readers_;
        cold_seen_.store(true);
    }
    unsigned started = 0;
    try {
        threads_.reserve(readers_);
        for (; started < readers_; ++started) threads_.emplace_back(&Readers::read, this);
    } catch (...) {
        // Fewer readers than asked: the others share the files.
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        reading_ -= readers_ - started;
        if (started == 0) {
            cold_seen_.store(false);
            no_threads_ = true;
        }
    }
    ready_.notify_all();
    return started > 0;
}

size_t Readers::memory_bytes(unsigned hashers) noexcept {
    return max_batches(kMaxReaders, hashers) *
           (SmallFileBatch::kMemoryBytes + sizeof(SmallFileBatch) + sizeof(ReadItem));
}

void Readers::read() noexcept {
    std::unique_ptr<SmallFileBatch> batch;
    for (;;) {
        const size_t i = cursor_.fetch_add(1, std::memory_order_relaxed);
        if (i >= rels_.size()) break;
        guarded(i, [&] {
            read_file(
                batch, i,
                [&](std::unique_ptr<SmallFileBatch>& b) {
                    push(ReadItem{std::move(b), {}});
                    b = free_batch();
                },
                [&](OpenedFile& f) {
                    push(ReadItem{nullptr, std::move(f)});
                });
        });
    }
    if (batch && !batch->empty()) {
        push(ReadItem{std::move(batch), {}});
    } else if (batch) {
        std::lock_guard<std::mutex> hold(mutex_);
        spare_.push_back(std::move(batch));
    }
    bool last = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        last = --reading_ == 0;
    }
    if (last) ready_.notify_all();
}

// Only the opening and the reading count as time the file took: hashing a full batch or a larger
// file, and waiting for a batch or for room in the queue, do not.
template <typename Full, typename Opened>
void Readers::read_file(std::unique_ptr<SmallFileBatch>& batch, size_t i, Full&& full,
                        Opened&& opened) {
    if (cancellation::requested(cancel_)) return failed_(i, ECANCELED);
    if (!batch) batch = free_batch();  // hashing threads only take one while none waits
    auto start = std::chrono::steady_clock::now();
    OpenedFile f;
    f.index = i;
    if (int err =
            fs::open_below_for_mode(root_fd_, rels_[i], mode_, f.fd, &f.size, &f.src.direct)) {
        took(i, start);
        return failed_(i, err);
    }
    f.src.fd = f.fd.get();
    const bool small = batch->accepts(f.size);
    // Direct reads leave the page cache alone; a file system that refused them gets the
    // cache-neutral reads.
    if (mode_ != fs::ReadMode::kKeepCache && !f.src.direct)
        f.src.cache = fs::cache_use_for(f.src.fd, f.size, small);
    if (f.src.cache == fs::CacheUse::kDropUncached && !f.uncached.take(f.src.fd, f.size))
        f.src.cache = fs::CacheUse::kDrop;
    if (small) {
        if (!batch->has_room(f.size)) {
            const auto paused = std::chrono::steady_clock::now();
            full(batch);
            start += std::chrono::steady_clock::now() - paused;
        }
        if (int err = batch->add(f.src, f.size, i)) failed_(i, err);
        took(i, start);
        return;
    }
    took(i, start);
    opened(f);
}

// File i, whose reading began at `start`: a few slow ones close together start the readers. (The
// count of a window may lose a file when two threads start a new window at once.)
void Readers::took(size_t i, std::chrono::steady_clock::time_point start) noexcept {
    if (std::chrono::steady_clock::now() - start <= kSlowFile) return;
    const size_t window = i / kSlowWindow + 1;
    if (slow_window_.exchange(window, std::memory_order_relaxed) != window)
        slow_files_.store(0, std::memory_order_relaxed);
    const size_t slow = slow_files_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (slow >= kSlowFilesForAll && warm()) start_readers();
}

// Reads file i, which fails alone when memory runs out.
template <typename Read>
void Readers::guarded(size_t i, Read&& read) noexcept {
    try {
        read();
    } catch (...) {
        failed_(i, ENOMEM);
    }
}

bool Readers::warm() const noexcept {
    return !cold_seen_.load(std::memory_order_relaxed);
}

bool Readers::read_here(Taken& taken, std::unique_ptr<SmallFileBatch>& batch,
                        const std::function<void(SmallFileBatch&)>& full,
                        const std::function<void(OpenedFile&)>& opened) {
    if (taken.next == taken.end) {
        if (!warm()) return false;
        const size_t first = cursor_.fetch_add(run_, std::memory_order_relaxed);
        if (first >= rels_.size()) return false;
        taken.next = first;
        taken.end = std::min(first + run_, rels_.size());
    }
    const size_t i = taken.next++;
    guarded(i, [&] {
        read_file(
            batch, i, [&](std::unique_ptr<SmallFileBatch>& b) { full(*b); },
            [&](OpenedFile& f) {
                // Held like an item, so that no hashing thread ends while this one may still
                // split the file.
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    ++taken_;
                }
                ReadItem item{nullptr, std::move(f)};
                opened(item.file);
                finished(item);
            });
    });
    return true;
}

void Readers::give_back(std::unique_ptr<SmallFileBatch>& batch) noexcept {
    if (!batch) return;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        spare_.push_back(std::move(batch));
    }
    given_back_.notify_one();
}

std::unique_ptr<SmallFileBatch> Readers::free_batch() {
    {
        std::unique_lock<std::mutex> hold(mutex_);
        given_back_.wait(hold, [&] { return !spare_.empty() || batches_ < max_batches_; });
        if (!spare_.empty()) {
            std::unique_ptr<SmallFileBatch> b = std::move(spare_.back());
            spare_.pop_back();
            return b;
        }
        ++batches_;
    }
    try {
        return std::make_unique<SmallFileBatch>(params_);
    } catch (...) {
        std::lock_guard<std::mutex> hold(mutex_);
        --batches_;
        throw;
    }
}

void Readers::push(ReadItem&& item) {
    {
        std::unique_lock<std::mutex> hold(mutex_);
        room_.wait(hold, [&] { return queue_.size() < max_queued_; });
        queue_.push_back(std::move(item));
    }
    ready_.notify_one();
}

Readers::Next Readers::next(ReadItem& item, const std::function<bool()>& help_wanted) noexcept {
    std::unique_lock<std::mutex> hold(mutex_);
    ready_.wait(hold,
                [&] { return !queue_.empty() || help_wanted() || (reading_ == 0 && taken_ == 0); });
    if (queue_.empty()) return help_wanted() ? Next::kHelp : Next::kEnd;
    item = std::move(queue_.front());
    queue_.pop_front();
    ++taken_;
    hold.unlock();
    room_.notify_one();
    return Next::kItem;
}

void Readers::finished(ReadItem& item) noexcept {
    const bool batch = item.batch != nullptr;
    bool end = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (batch) spare_.push_back(std::move(item.batch));
        end = --taken_ == 0 && reading_ == 0 && queue_.empty();
    }
    item.file.fd.reset();
    if (batch) given_back_.notify_one();
    if (end) ready_.notify_all();
}

void Readers::notify() noexcept {
    { std::lock_guard<std::mutex> hold(mutex_); }
    ready_.notify_all();
}

}  // namespace mavelin::fingerprint
