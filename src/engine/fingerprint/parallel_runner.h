// Fingerprints a list of files with a short-lived pool of threads, splitting large files across all
// of them.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/progress.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/os_error.h"
#include "engine/hash/sha256/sha256.h"

namespace mavelin::fingerprint {

struct FileOutcome {
    fs::OsError error;  // code 0 when the file was fingerprinted; else errno and the joined path
    std::vector<hash::sha256::Digest> rows;  // the T row digests of the fingerprint (on success)
    uint64_t size = 0;  // bytes fingerprinted: the size fstat gave once the file was open
};

// What a run holds at most, whatever the number and sizes of the files: per hashing thread its
// read buffer, one range of chunk digests and the ring of the one file it splits at a time; and
// the readers' batches of small files read ahead (fingerprint::Readers), a fixed number plus two
// per hashing thread.
struct RunnerMemory {
    uint64_t range_chunks = 0;    // chunks per range of a split file
    size_t ring_ranges = 0;       // ranges of one split file in flight at once
    size_t per_thread_bytes = 0;  // the bound, per hashing thread (file rows aside)
    size_t readers_bytes = 0;     // the bound of the readers' batches
};
RunnerMemory runner_memory(const fingerprint::Params& params, unsigned threads,
                           fs::ReadMode mode = fs::ReadMode::kCacheNeutral);

// Fingerprints root/rel for every rel of `rel_paths` (joined as os.path.join does) and returns the
// outcomes in input order. Each file is opened without blocking (a named pipe without writer is
// fine: its size is 0), measured with fstat once open, and then exactly chunk_count(size) chunks
// are hashed as a counted sequential read would give them. A directory fails with EISDIR. Errors
// are per file and never stop the others.
//
// `threads` hashing threads (0: one per processor) and up to Readers::kMaxReaders reader threads
// live only for the duration of the call, so no thread survives into a later fork(). The readers
// open the files in input order and read the small ones into batches ahead of the hashing
// threads, so that many requests are outstanding at once (a disk serves them side by side);
// the hashing threads hash the batches and read the larger files, where the kernel's readahead
// keeps requests outstanding (direct reads, which no readahead follows, in larger requests). A
// file of several read ranges is split into chunk-aligned ranges that all hashing threads work on,
// with the chunk digests reduced to rows in file order through a bounded ring, so memory stays
// small for any file size and grows only linearly with the thread count (runner_memory). A split
// file that was not all in the page cache is helped only by threads that find no other file to
// take: several files then stream from the device at once, each with a readahead of its own.
//
// When `cancel` becomes true the run winds down quickly: files not yet finished fail with
// ECANCELED. When `progress` is given, its files_done and bytes_done grow as the work is done
// (files_done reaches rel_paths.size() by the end).
//
// `mode` says what the reads do with the page cache (fs::ReadMode): by default the pages the run
// brings in are dropped again, those cached before stay.
std::vector<FileOutcome> fingerprint_files(const std::string& root,
                                           const std::vector<std::string>& rel_paths,
                                           const fingerprint::Params& params, unsigned threads,
                                           const std::atomic<bool>* cancel = nullptr,
                                           Progress* progress = nullptr,
                                           fs::ReadMode mode = fs::ReadMode::kCacheNeutral);

}  // namespace mavelin::fingerprint
