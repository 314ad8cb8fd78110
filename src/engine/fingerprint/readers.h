// The reader threads of a run: they open the files and read the small ones ahead of the hashing
// threads, so that many requests are outstanding at once whatever the number of hashing threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/small_batch.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/file_io.h"

namespace mavelin::fingerprint {

// A file too large for a small-file batch, opened by a reader and left for a hashing thread to
// read; its cache use is decided before any read touches it.
struct OpenedFile {
    size_t index = 0;
    fs::UniqueFd fd;
    fs::ReadSource src;
    fs::UncachedBlocks uncached;  // kDropUncached: what to drop once the file is read
    uint64_t size = 0;
};

// What the readers hand on: a full batch of small files read, to be hashed and given back, or
// (batch empty) one larger file opened.
struct ReadItem {
    std::unique_ptr<SmallFileBatch> batch;
    OpenedFile file;
};

// Reader threads of one run, joined by the destructor. They start once a few files close together
// took long enough to have waited for the device (from the start for direct reads); until then the
// hashing threads read the files themselves (read_here), so that a tree in the page cache is read
// as fast as by the hashing threads alone, and a warm run starts no thread of its own. They take
// the files in input order, open each below `root_fd` as `mode` says, read the small ones into
// batches and hand the batches and the larger files on through a queue. Memory is fixed: at most
// readers + 2 * hashers batches exist, and the queue holds at most as many items. A file that
// cannot be opened or read is passed to `failed(index, errno)` (from a reader thread), as is every
// file not yet taken once `cancel` turns true (ECANCELED).
class Readers {
  public:
    // Reader threads a run starts at most: enough requests outstanding for a disk that serves
    // many at once.
    static constexpr unsigned kMaxReaders = 16;

    Readers(int root_fd, const std::vector<std::string>& rels, const Params& params,
            fs::ReadMode mode, unsigned readers, unsigned hashers, const std::atomic<bool>* cancel,
            std::function<void(size_t, int)> failed);
    ~Readers();
    Readers(const Readers&) = delete;
    Readers& operator=(const Readers&) = delete;

    enum class Next { kItem, kHelp, kEnd };
    // Waits for the next item (kItem: the caller owns it until finished()), for `help_wanted()` to
    // turn true (kHelp), or until no item is left and no hashing thread holds one (kEnd).
    // `help_wanted` is called under the queue's lock; whoever changes what it says calls notify().
    Next next(ReadItem& item, const std::function<bool()>& help_wanted) noexcept;
    // The item the caller took is done; its batch, if any, emptied, is given back.
    void finished(ReadItem& item) noexcept;
    // Wakes the threads waiting in next() to look at `help_wanted` again.
    void notify() noexcept;

    // True while the files come from the page cache: no file has yet waited for the device.
    bool warm() const noexcept;
    // The files a hashing thread took to read itself: consecutive ones, a run at a time, so that
    // two threads neither contend for every file nor write their outcomes side by side.
    struct Taken {
        size_t next = 0, end = 0;
    };
    // While warm(), a hashing thread reads the files itself, as a reader would, so that the data
    // it hashes is still in its own processor's caches: takes its next file (a new run of them
    // into `taken` when it has none left) and reads it into `batch` (taken from the pool on the
    // first call, kept between calls; full(*batch) hashes and empties it when the file does not
    // fit), or opens it and calls opened(file) when it is larger. A run once taken is read to its
    // end. False, with nothing done, once the files are all taken or no longer warm and `taken` is
    // used up: the caller then hashes what `batch` holds, gives it back and takes what the readers
    // hand on.
    bool read_here(Taken& taken, std::unique_ptr<SmallFileBatch>& batch,
                   const std::function<void(SmallFileBatch&)>& full,
                   const std::function<void(OpenedFile&)>& opened);
    void give_back(std::unique_ptr<SmallFileBatch>& batch) noexcept;

    // The bound of the readers' memory, for `hashers` hashing threads (file rows aside).
    static size_t memory_bytes(unsigned hashers) noexcept;

  private:
    void read() noexcept;
    // Starts the reader threads, once; true when at least one runs. When none can start, the
    // hashing threads go on reading the files themselves.
    bool start_readers() noexcept;
    // Reads file i into `batch`, or opens it when it is larger: full(batch) hands on a full batch
    // and leaves an empty one, opened(file) hands on a larger file.
    template <typename Full, typename Opened>
    void read_file(std::unique_ptr<SmallFileBatch>& batch, size_t i, Full&& full, Opened&& opened);
    void took(size_t i, std::chrono::steady_clock::time_point start) noexcept;
    template <typename Read>
    void guarded(size_t i, Read&& read) noexcept;
    std::unique_ptr<SmallFileBatch> free_batch();
    void push(ReadItem&& item);

    const int root_fd_;
    const std::vector<std::string>& rels_;
    const Params params_;
    const fs::ReadMode mode_;
    const std::atomic<bool>* cancel_;
    const std::function<void(size_t, int)> failed_;
    const size_t max_batches_;
    const size_t max_queued_;
    const size_t run_;                    // files a hashing thread takes at once to read itself
    std::atomic<size_t> slow_window_{0};  // 1 + the window of files the slow count is of
    std::atomic<size_t> slow_files_{0};
    const unsigned readers_;              // reader threads to start
    std::atomic<bool> cold_seen_{false};  // enough slow files: the readers read from now on
    bool no_threads_ = false;             // none could start: the hashing threads read on

    std::atomic<size_t> cursor_{0};
    std::mutex mutex_;
    std::condition_variable ready_;       // hashing threads: an item, help, or the end
    std::condition_variable room_;        // readers: room in the queue
    std::condition_variable given_back_;  // readers: a batch given back
    std::deque<ReadItem> queue_;
    std::vector<std::unique_ptr<SmallFileBatch>> spare_;  // emptied batches
    size_t batches_ = 0;                                  // batches made
    size_t taken_ = 0;                                    // items held by hashing threads
    unsigned reading_ = 0;                                // reader threads still going
    std::vector<std::thread> threads_;                    // started by start_readers(), once
};

}  // namespace mavelin::fingerprint
