// Fingerprints every node of a compact table with the parallel runner, into the table.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/parallel_runner.h"
#include "engine/fingerprint/progress.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/os_error.h"
#include "engine/table/node_table.h"

namespace mavelin::table {

struct FillFailure {
    std::size_t index = 0;  // the node
    fs::OsError error;      // errno and the joined path the error refers to
};

// Fingerprints root/path(i) for every node i (see fingerprint::fingerprint_files for the rules)
// and stores each fingerprint in the table; nodes that fail keep no fingerprint and are
// returned, in index order. The table's rows() must be the step of `params` (0 when the step
// is not positive). The nodes go to the runner in batches, so besides the table only one
// batch's paths and outcomes are held. When given, `bytes` receives the bytes fingerprinted
// (the sizes of the files that did not fail). With `only`, just the nodes it lists (ascending)
// are fingerprinted and the others keep what they have. `mode`: what the reads do with the page
// cache. Throws std::bad_alloc or std::invalid_argument.
std::vector<FillFailure> fill_fingerprints(NodeTable& table, const std::string& root,
                                           const fingerprint::Params& params, unsigned threads,
                                           const std::atomic<bool>* cancel = nullptr,
                                           fingerprint::Progress* progress = nullptr,
                                           std::uint64_t* bytes = nullptr,
                                           const std::vector<std::size_t>* only = nullptr,
                                           fs::ReadMode mode = fs::ReadMode::kCacheNeutral);

// Stores the outcomes of the nodes first, first + 1, ... (with `only`, of the nodes
// (*only)[first], (*only)[first + 1], ...) in the table (after prepare_fingerprints()): the
// fingerprint of each that succeeded, its size added to `bytes`; each that failed keeps no
// fingerprint and is appended to `failures` with its error (moved out).
void store_outcomes(NodeTable& table, std::size_t first,
                    std::vector<fingerprint::FileOutcome>& outcomes,
                    std::vector<FillFailure>& failures, std::uint64_t& bytes,
                    const std::vector<std::size_t>* only = nullptr);

}  // namespace mavelin::table
