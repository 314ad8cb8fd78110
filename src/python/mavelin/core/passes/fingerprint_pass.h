// The fingerprint passes of both procedures: a FileManager's node table, the paths of a compact
// table, on this machine or on a cluster; the settings a procedure gives them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fingerprint/parallel_runner.h"
#include "engine/fingerprint/progress.h"
#include "engine/fs/cache_reads.h"
#include "engine/fs/tree_walk.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::passes {

// Fingerprints every node of manager._file_nodes. With `all_or_none`, the table is
// updated only when every file could be read; otherwise each readable node is replaced
// and the others stay as they were. Every file that could not be read is recorded in
// manager._fingerprint_errors as a (file_path, exception) pair; manager._fingerprinted_bytes is
// the number of bytes the engine fingerprinted (0 when the table went through the Python-level
// work function instead). -1 with an exception set on failures of the pass itself (memory, bad
// table).
int fingerprint_table(PyObject* manager, bool all_or_none);

// The (path below the top, OSError) pairs of the nodes of `nodes` that could not be fingerprinted.
py::Ref unreadable_pairs(const table::NodeTable& nodes,
                         const std::vector<table::FillFailure>& failures);

// The hashing threads of a pass run on this thread now (PassSettings, else MAX_PROCESSES).
unsigned pass_threads();
// What the reads of a pass run on this thread now do with the page cache (PassSettings, else
// cache-neutral).
fs::ReadMode pass_read_mode();
// The files a scan run on this thread now leaves out (PassSettings; null when none).
const fs::SkippedFiles* skipped_files();
// Whether a pass run on this thread now draws a progress line: PassSettings ask for it, and
// standard error is a terminal.
bool progress_line_wanted();

// Runs `hash(cancel, progress)` off the interpreter's thread, Ctrl-C setting `cancel`; with the
// progress line when the settings ask for it and standard error is a terminal (`progress` is
// then the line's counters, and the `files` files below `root` that `rel(i)` names are measured
// meanwhile on another thread; else null). -1 with KeyboardInterrupt set when interrupted; what
// `hash` throws is thrown again here.
int run_local_pass(
    const std::string& root, std::size_t files,
    const std::function<std::string_view(std::size_t)>& rel,
    const std::function<void(const std::atomic<bool>&, fingerprint::Progress*)>& hash);

// Fingerprints the files `rels` below `root` into `outcomes` (input order): on the cluster of the
// PassSettings when they name one, else on this machine through run_local_pass. -1 with an
// exception set (interrupted, a failed cluster run).
int fingerprint_paths(const std::string& root, const std::vector<std::string>& rels,
                      const fingerprint::Params& params,
                      std::vector<fingerprint::FileOutcome>& outcomes);
// Whether the passes run on this thread now go to a cluster (PassSettings).
bool on_cluster();
// That cluster's (client, logger) pair (borrowed; null when none), and the hashing threads a task
// asks of a worker there (0: the worker's own choice).
PyObject* pass_cluster();
unsigned cluster_task_threads();

// What a procedure asks of the fingerprint passes it runs on its own thread.
struct PassSettings {
    unsigned threads = 0;         // hashing threads; 0: MAX_PROCESSES of mavelin.core.file_managing
    bool progress = false;        // a progress line on standard error, if that is a terminal
    PyObject* cluster = nullptr;  // borrowed (distributed.Client, logger): run on that cluster
    fs::SkippedFiles skipped;     // the run's own files in the tree, which a scan leaves out
    fs::ReadMode read_mode = fs::ReadMode::kCacheNeutral;  // what the reads do with the page cache
};

// Makes `settings` apply to the passes run on this thread until the scope ends (scopes nest).
class PassSettingsScope {
  public:
    explicit PassSettingsScope(const PassSettings& settings) noexcept;
    ~PassSettingsScope();
    PassSettingsScope(const PassSettingsScope&) = delete;
    PassSettingsScope& operator=(const PassSettingsScope&) = delete;

  private:
    const PassSettings* outer_;
};

}  // namespace mavelin::passes
