// The fingerprint pass spread over a Dask cluster.
#pragma once

#include <string>
#include <vector>

#include "engine/fingerprint/parallel_runner.h"
#include "engine/fingerprint/progress.h"
#include "python/capi/handle.h"

namespace mavelin::passes {

class ProgressLine;

// fingerprint::fingerprint_files() run on the cluster `cluster`, a (distributed.Client, logger)
// pair: the files are cut into shards of about mavelin.core._shards.SHARD_BYTES bytes (a larger
// file into chunk-aligned ranges), each shard fingerprinted by one task on a worker (`threads`
// threads there), and the outcomes put together in input order, equal to a local run on the
// files as they are when read (a split file that changed since the planning is read again
// whole). At most a few tasks per cluster thread are submitted ahead, and results are fetched a
// few at a time, so the client's memory does not grow with the tree beyond the outcomes.
// `progress`, if given, counts files and bytes as shards finish (bytes_total: the planned sizes);
// `line`, if given, is redrawn while the pass waits. -1 with an exception set: a failed or
// interrupted wait (Ctrl-C: KeyboardInterrupt; the tasks still pending are cancelled), or
// SystemExit(1) after an ERROR line on the logger when a worker cannot open the root.
//
// Every entry carries the file's size, mtime and inode as planned, which the worker checks
// before and after its reading: a file changed since on this machine is read again whole (never
// certified from pieces of two versions), and fails the run with one ERROR line if it changes
// again; a file this machine still sees as planned but a worker sees otherwise or not at all
// fails it with one ERROR line naming the worker (SystemExit(1) as above).
int fingerprint_on_cluster(PyObject* cluster, const std::string& root,
                           const std::vector<std::string>& rels, const fingerprint::Params& params,
                           unsigned threads, std::vector<fingerprint::FileOutcome>& out,
                           fingerprint::Progress* progress = nullptr, ProgressLine* line = nullptr);

// The root as the workers must be given it (absolute: they have working folders of their own).
// -1 with OSError set.
int absolute_root(const std::string& root, std::string& out);

// What a drift line names.
enum Drifted { kFile, kFolder };
// One ERROR line about `shown_path` (as the run shows it), then the exit request (ESTALE, with
// `path`): "<File|Folder> P on worker W is not the <file|folder> this machine sees", or, when
// `changed`, "... changed while it was read on the cluster". Returns -1.
int report_drift(PyObject* logger, Drifted what, const std::string& shown_path,
                 const std::string& path, PyObject* worker, bool changed);
// A worker that could not open `root` (`blind`: (errno, worker)): one ERROR line naming it, then
// the exit request. Returns -1.
int report_blind_worker(PyObject* logger, const std::string& root, PyObject* blind);
// Asks `client` to cancel `futures` (borrowed), keeping the exception being raised (Ctrl-C
// included). Returns -1.
int cancel_keeping_error(PyObject* client, const std::vector<PyObject*>& futures);
// Tasks a run keeps submitted ahead: `per_thread` per thread of the cluster of `client`, within
// [least, most].
size_t window_size(PyObject* client, size_t per_thread, size_t least, size_t most);

// The cluster a procedure runs on: the `client` given (a distributed.Client), or one connected
// to `scheduler` ("auto": the address in DASK_SCHEDULER_ADDRESS) and closed again when the
// session ends. `pair` is the (client, logger) the pass takes; empty when both are None.
class ClusterSession {
  public:
    ClusterSession() = default;
    ClusterSession(const ClusterSession&) = delete;
    ClusterSession& operator=(const ClusterSession&) = delete;
    ~ClusterSession();
    // -1 with an exception set when no client could be had.
    int open(PyObject* scheduler, PyObject* client, PyObject* logger);
    PyObject* pair() const { return pair_.get(); }

  private:
    py::Ref pair_;
    py::Ref owned_;  // a client this session connected, closed at the end
};

}  // namespace mavelin::passes
