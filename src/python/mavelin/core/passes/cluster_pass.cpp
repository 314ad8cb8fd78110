// The fingerprint pass spread over a Dask cluster: the node paths cut into shards of about equal
// bytes, one task per shard through a bounded window, the packed results put back in table order.
#include "python/mavelin/core/passes/cluster_pass.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fs/file_io.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/text.h"
#include "python/mavelin/core/passes/progress_line.h"
#include "python/mavelin/core/passes/shard_plan.h"

namespace mavelin::passes {
namespace {

using hash::sha256::Digest;
constexpr size_t kDigest = sizeof(Digest);

bool read_u64_attr(const char* module, const char* name, uint64_t& out) {
    py::Ref value = py::import_attr(module, name);
    if (!value) return false;
    out = PyLong_AsUnsignedLongLong(value.get());
    if (out == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
    if (out == 0) {
        PyErr_Format(PyExc_ValueError, "%s.%s must be positive", module, name);
        return false;
    }
    return true;
}

// The three packed columns of one shard's result, checked against what was asked.
struct Columns {
    const uint8_t* digests;
    const int32_t* errors;
    const uint64_t* sizes;
};

bool columns_of(PyObject* result, size_t entries, size_t digests, Columns& c) {
    if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 4) return false;
    PyObject* d = PyTuple_GET_ITEM(result, 0);
    PyObject* e = PyTuple_GET_ITEM(result, 1);
    PyObject* s = PyTuple_GET_ITEM(result, 2);
    if (!PyBytes_Check(d) || !PyBytes_Check(e) || !PyBytes_Check(s) ||
        static_cast<size_t>(PyBytes_GET_SIZE(d)) != digests * kDigest ||
        static_cast<size_t>(PyBytes_GET_SIZE(e)) != entries * 4 ||
        static_cast<size_t>(PyBytes_GET_SIZE(s)) != entries * 8)
        return false;
    c.digests = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(d));
    c.errors = reinterpret_cast<const int32_t*>(PyBytes_AS_STRING(e));
    c.sizes = reinterpret_cast<const uint64_t*>(PyBytes_AS_STRING(s));
    return true;
}

// Tasks submitted ahead of the oldest unfinished one, per thread of the cluster, and at least.
constexpr size_t kWindowPerThread = 8;
constexpr size_t kMinWindow = 32;
constexpr size_t kMaxWindow = 4096;
// Finished results fetched in one round trip at most.
constexpr size_t kBatch = 32;
constexpr double kTickSeconds = 0.25;  // waits are cut in slices this long to redraw progress

// One fingerprint pass on the cluster. Shards are submitted in order through a sliding window
// and their results consumed in order: at most `window_` tasks are known to the scheduler and
// at most kBatch results are held here at any time, whatever the size of the tree.
class ClusterRun {
  public:
    ClusterRun(PyObject* client, PyObject* logger, const fingerprint::Params& params,
               unsigned threads, const std::vector<std::string>& rels,
               std::vector<fingerprint::FileOutcome>& out, fingerprint::Progress* progress,
               ProgressLine* line)
        : client_(client),
          logger_(logger),
          params_(params),
          threads_(threads),
          rels_(rels),
          out_(out),
          progress_(progress),
          line_(line),
          reducer_(params.step) {}

    int start(const std::string& root) {
        root_ = root;
        std::string absolute;
        if (absolute_root(root, absolute) < 0) return -1;
        fn_ = py::import_attr("mavelin.core._shards", "fingerprint_shard");
        submit_ = py::attr(client_, "submit");
        timeout_error_ = py::import_attr("distributed", "TimeoutError");
        root_text_ = py::decode_path(absolute);
        kwargs_ = py::Ref::steal(Py_BuildValue("{s:O}", "pure", Py_False));
        if (!fn_ || !submit_ || !timeout_error_ || !root_text_ || !kwargs_) return -1;
        window_ = window_size(client_, kWindowPerThread, kMinWindow, kMaxWindow);
        return 0;
    }

    // Runs `shards` with the files' identities `ids`. Split files whose ranges failed, and files
    // that changed on this machine since `ids` were taken, go to `redo` (their `ids` renewed),
    // or, when `redo` is null, fail the run.
    int run(const Shards& shards, std::vector<Identity>& ids, std::vector<size_t>* redo) {
        ids_ = &ids;
        redo_ = redo;
        size_t next = 0;
        for (size_t done = 0; done < shards.size();) {
            while (next < shards.size() && next - done < window_) {
                py::Ref future = submit(shards[next]);
                if (!future) return fail();
                inflight_.push_back(std::move(future));
                ++next;
            }
            std::vector<py::Ref> results;
            if (collect(results) < 0) return fail();
            for (py::Ref& result : results) {
                inflight_.pop_front();
                if (consume(shards[done++], result.get()) < 0) return fail();
            }
            if (line_) line_->tick();
        }
        return 0;
    }

  private:
    py::Ref submit(const std::vector<Piece>& shard) {
        py::Ref entries = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(shard.size())));
        if (!entries) return {};
        for (size_t k = 0; k < shard.size(); ++k) {
            const Piece& p = shard[k];
            py::Ref path = py::decode_path(rels_[p.file]);
            if (!path) return {};
            const Identity& id = (*ids_)[p.file];
            py::Ref entry;
            if (p.range && id.known)
                entry = py::Ref::steal(Py_BuildValue("(OKKKLK)", path.get(), p.first, p.count,
                                                     id.size, id.mtime_ns, id.ino));
            else if (p.range)
                entry = py::Ref::steal(Py_BuildValue("(OKK)", path.get(), p.first, p.count));
            else if (id.known)
                entry = py::Ref::steal(
                    Py_BuildValue("(OKLK)", path.get(), id.size, id.mtime_ns, id.ino));
            else
                entry = std::move(path);
            if (!entry) return {};
            PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(k), entry.release());
        }
        py::Ref args =
            py::Ref::steal(Py_BuildValue("(OOOLLI)", fn_.get(), root_text_.get(), entries.get(),
                                         params_.chunk_size, params_.step, threads_));
        if (!args) return {};
        return py::Ref::steal(PyObject_Call(submit_.get(), args.get(), kwargs_.get()));
    }

    bool is_done(PyObject* future, int& done) {
        py::Ref answer = py::Ref::steal(PyObject_CallMethod(future, "done", nullptr));
        done = answer ? PyObject_IsTrue(answer.get()) : -1;
        return done >= 0;
    }

    // Waits for the oldest task unless it is finished (redrawing the progress line meanwhile),
    // then fetches in one round trip the results of the finished tasks from there on.
    int collect(std::vector<py::Ref>& results) {
        int done = 0;
        if (!is_done(inflight_.front().get(), done)) return -1;
        size_t from = 0;
        while (!done) {
            py::Ref result = py::Ref::steal(
                line_ ? PyObject_CallMethod(inflight_.front().get(), "result", "d", kTickSeconds)
                      : PyObject_CallMethod(inflight_.front().get(), "result", nullptr));
            if (result) {
                results.push_back(std::move(result));
                from = 1;
                break;
            }
            if (!line_ || !PyErr_ExceptionMatches(timeout_error_.get())) return -1;
            PyErr_Clear();
            line_->tick();
        }
        py::Ref finished = py::Ref::steal(PyList_New(0));
        if (!finished) return -1;
        for (size_t k = from; k < inflight_.size() && k < kBatch; ++k) {
            if (!is_done(inflight_[k].get(), done)) return -1;
            if (!done) break;
            if (PyList_Append(finished.get(), inflight_[k].get()) < 0) return -1;
        }
        const Py_ssize_t count = PyList_GET_SIZE(finished.get());
        if (count == 0) return 0;
        py::Ref gathered =
            py::Ref::steal(PyObject_CallMethod(client_, "gather", "O", finished.get()));
        py::Ref list = gathered ? py::Ref::steal(PySequence_List(gathered.get())) : py::Ref();
        if (!list) return -1;
        if (PyList_GET_SIZE(list.get()) != count) {
            PyErr_SetString(PyExc_SystemError, "the cluster lost shards");
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i)
            results.push_back(py::Ref::borrow(PyList_GET_ITEM(list.get(), i)));
        return 0;
    }

    int consume(const std::vector<Piece>& shard, PyObject* result) {
        const size_t rows = params_.step > 0 ? static_cast<size_t>(params_.step) : 0;
        size_t digests = 0;
        for (const Piece& p : shard) digests += p.range ? static_cast<size_t>(p.count) : rows;
        Columns c{};
        if (!columns_of(result, shard.size(), digests, c)) {
            PyErr_SetString(PyExc_SystemError, "a shard came back malformed");
            return -1;
        }
        PyObject* blind = PyTuple_GET_ITEM(result, 3);
        PyObject* worker = Py_None;  // who ran the shard, told when an entry failed
        if (blind != Py_None) {
            if (!PyTuple_Check(blind) || PyTuple_GET_SIZE(blind) != 2) {
                PyErr_SetString(PyExc_SystemError, "a shard came back malformed");
                return -1;
            }
            const long root_error = PyLong_AsLong(PyTuple_GET_ITEM(blind, 0));
            if (root_error == -1 && PyErr_Occurred()) return -1;
            if (root_error != 0) return report_blind_worker(logger_, root_, blind);
            worker = PyTuple_GET_ITEM(blind, 1);
        }
        const uint8_t* at = c.digests;
        for (size_t k = 0; k < shard.size(); ++k) {
            const Piece& p = shard[k];
            fingerprint::FileOutcome& o = out_[p.file];
            const size_t n = p.range ? static_cast<size_t>(p.count) : rows;
            if (!p.range) {  // what the worker saw of the file is its outcome
                if (c.errors[k] == kDrifted || (c.errors[k] == ENOENT && (*ids_)[p.file].known)) {
                    const int seen = drifted(p.file, worker, c.errors[k] == kDrifted);
                    if (seen < 0) return -1;
                    if (seen == 1) {
                        at += n * kDigest;
                        continue;
                    }
                }
                o = {};
                o.size = c.sizes[k];
                if (c.errors[k] != 0) {
                    o.error.code = c.errors[k];
                    o.error.path = fs::posix_join(root_, rels_[p.file]);
                } else {
                    o.rows.resize(n);
                    std::memcpy(o.rows.data(), at, n * kDigest);
                }
                count_done(1, o.size);
            } else if (range_piece(p, c.errors[k], c.sizes[k], at, n, worker) < 0) {
                return -1;
            }
            at += n * kDigest;
        }
        return 0;
    }

    // A file the worker did not find as planned (kDrifted, or missing there: `changed` false).
    // If this machine sees it changed since, it is read again whole (1; with `redo_` null, the
    // run fails, the file changing under it); 0 leaves a missing file's outcome as it is; a file
    // this machine still sees as planned is another file on that worker, and the run fails.
    int drifted(size_t file, PyObject* worker, bool changed) {
        Identity& id = (*ids_)[file];
        const Identity now = identity_at(root_, rels_[file]);
        if (now == id)
            return report_drift(logger_, kFile, rels_[file], fs::posix_join(root_, rels_[file]),
                                worker, false);
        if (!changed) return 0;
        if (!redo_)
            return report_drift(logger_, kFile, rels_[file], fs::posix_join(root_, rels_[file]),
                                worker, true);
        id = now;
        redo_->push_back(file);
        return 1;
    }

    // The ranges of a split file come in file order, cut from the file as it was when the shards
    // were planned, and each read from that same file (its identity checked by the worker before
    // and after). A range that failed or found the file changed leaves the whole file to be
    // fingerprinted again in one piece, so the outcome is what one reading of the file gives,
    // as in a local run; never a mixture of two versions.
    int range_piece(const Piece& p, int32_t error, uint64_t size, const uint8_t* digests, size_t n,
                    PyObject* worker) {
        const uint64_t planned = (*ids_)[p.file].size;
        if (p.first == 0) {
            reducer_ = fingerprint::RowReducer(params_.step);
            range_suspect_ = false;
            range_drifted_ = false;
            range_worker_ = py::Ref::borrow(Py_None);
        }
        if (error == kDrifted && !range_drifted_) {
            range_drifted_ = true;
            range_worker_ = py::Ref::borrow(worker);
        }
        if (error != 0 || size != planned) range_suspect_ = true;
        if (!range_suspect_) {
            std::vector<Digest> list(n);
            std::memcpy(list.data(), digests, n * kDigest);
            reducer_.add(list.data(), n);
            const uint64_t begin = p.first * static_cast<uint64_t>(params_.chunk_size);
            const uint64_t bytes =
                std::min<uint64_t>(planned - std::min(planned, begin),
                                   p.count * static_cast<uint64_t>(params_.chunk_size));
            if (progress_) progress_->bytes_done.fetch_add(bytes, std::memory_order_relaxed);
        }
        if (!p.last) return 0;
        if (range_drifted_) return drifted(p.file, range_worker_.get(), true) < 0 ? -1 : 0;
        if (range_suspect_) {
            if (redo_) redo_->push_back(p.file);
            return 0;
        }
        fingerprint::FileOutcome& o = out_[p.file];
        o = {};
        o.size = planned;
        o.rows = reducer_.finish();
        count_done(1, 0);
        return 0;
    }

    void count_done(uint64_t files, uint64_t bytes) {
        if (!progress_) return;
        progress_->files_done.fetch_add(files, std::memory_order_relaxed);
        progress_->bytes_done.fetch_add(bytes, std::memory_order_relaxed);
    }

    // Cancels the tasks still known, keeping the exception being raised (Ctrl-C included).
    int fail() {
        std::vector<PyObject*> pending;
        for (const py::Ref& future : inflight_) pending.push_back(future.get());
        cancel_keeping_error(client_, pending);
        inflight_.clear();
        return -1;
    }

    PyObject* client_;
    PyObject* logger_;
    const fingerprint::Params params_;
    const unsigned threads_;
    const std::vector<std::string>& rels_;
    std::vector<fingerprint::FileOutcome>& out_;
    fingerprint::Progress* progress_;
    ProgressLine* line_;
    std::string root_;
    py::Ref fn_, submit_, timeout_error_, root_text_, kwargs_;
    size_t window_ = kMinWindow;
    std::deque<py::Ref> inflight_;          // futures of the shards submitted and not yet consumed
    std::vector<Identity>* ids_ = nullptr;  // of the files as the shards were cut for them
    std::vector<size_t>* redo_ = nullptr;
    fingerprint::RowReducer reducer_;  // of the split file being put together
    bool range_suspect_ = false;       // a range of that file disagreed on its size or failed
    bool range_drifted_ = false;       // a range of it found another file than planned
    py::Ref range_worker_;             // the worker of the first such range
};

}  // namespace

// The root as the workers must be given it: they have working folders of their own.
int absolute_root(const std::string& root, std::string& out) {
    out = root;
    if (!out.empty() && out[0] == '/') return 0;
    std::vector<char> cwd(4096);
    while (!::getcwd(cwd.data(), cwd.size())) {
        if (errno != ERANGE) {
            py::set_os_error(errno, {});
            return -1;
        }
        cwd.resize(cwd.size() * 2);
    }
    out = fs::posix_join(cwd.data(), root);
    return 0;
}

int report_drift(PyObject* logger, Drifted what, const std::string& shown_path,
                 const std::string& path, PyObject* worker, bool changed) {
    const char* kind = what == kFile ? "File" : "Folder";
    const char* noun = what == kFile ? "file" : "folder";
    py::Ref full = py::decode_path(path);
    py::Ref name = py::decode_path(shown_path);
    py::Ref shown = full && name ? py::display_text(name.get()) : py::Ref();
    if (!shown) return -1;
    py::Ref message = py::Ref::steal(
        changed ? PyUnicode_FromFormat("%s %U changed while it was read on the cluster", kind,
                                       shown.get())
                : PyUnicode_FromFormat("%s %U on worker %S is not the %s this machine sees", kind,
                                       shown.get(), worker, noun));
    if (!message || py::log(logger, "error", message.get()) < 0) return -1;
    py::Ref why = py::Ref::steal(Py_BuildValue("(isO)", ESTALE, std::strerror(ESTALE), full.get()));
    if (why) py::exit_request(py::Failure::kTreeUnreadable, why.get());
    return -1;
}

int report_blind_worker(PyObject* logger, const std::string& root, PyObject* blind) {
    int err = 0;
    PyObject* worker = nullptr;
    if (!PyArg_ParseTuple(blind, "iO", &err, &worker)) return -1;
    py::Ref folder = py::decode_path(root);
    py::Ref shown = folder ? py::display_text(folder.get()) : py::Ref();
    if (!shown) return -1;
    py::Ref message =
        py::Ref::steal(PyUnicode_FromFormat("Folder %U can't be read on worker %S: [Errno %d] %s",
                                            shown.get(), worker, err, std::strerror(err)));
    if (!message || py::log(logger, "error", message.get()) < 0) return -1;
    py::Ref why = py::Ref::steal(Py_BuildValue("(isO)", err, std::strerror(err), folder.get()));
    if (why) py::exit_request(py::Failure::kTreeUnreadable, why.get());
    return -1;
}

int cancel_keeping_error(PyObject* client, const std::vector<PyObject*>& futures) {
    py::FetchedError error = py::fetch_error();
    py::Ref pending = py::Ref::steal(PyList_New(0));
    for (size_t k = 0; pending && k < futures.size(); ++k)
        if (PyList_Append(pending.get(), futures[k]) < 0) break;
    py::Ref done = pending
                       ? py::Ref::steal(PyObject_CallMethod(client, "cancel", "O", pending.get()))
                       : py::Ref();
    PyErr_Clear();
    error.restore();
    return -1;
}

size_t window_size(PyObject* client, size_t per_thread, size_t least, size_t most) {
    size_t threads = 0;
    py::Ref counts = py::Ref::steal(PyObject_CallMethod(client, "nthreads", nullptr));
    py::Ref values = counts && PyDict_Check(counts.get())
                         ? py::Ref::steal(PyDict_Values(counts.get()))
                         : py::Ref();
    for (Py_ssize_t i = 0; values && i < PyList_GET_SIZE(values.get()); ++i) {
        const long n = PyLong_AsLong(PyList_GET_ITEM(values.get(), i));
        if (n > 0) threads += static_cast<size_t>(n);
    }
    PyErr_Clear();  // a cluster that cannot say gets the smallest window
    return std::clamp(threads * per_thread, least, most);
}

int fingerprint_on_cluster(PyObject* cluster, const std::string& root,
                           const std::vector<std::string>& rels, const fingerprint::Params& params,
                           unsigned threads, std::vector<fingerprint::FileOutcome>& out,
                           fingerprint::Progress* progress, ProgressLine* line) {
    PyObject* client = nullptr;
    PyObject* logger = nullptr;
    if (!PyArg_ParseTuple(cluster, "OO", &client, &logger)) return -1;
    uint64_t shard_bytes = 0;
    if (!read_u64_attr("mavelin.core._shards", "SHARD_BYTES", shard_bytes)) return -1;
    std::vector<Identity> ids;
    const Shards shards = cut_shards(root, rels, params, shard_bytes, ids);
    if (progress) {
        uint64_t total = 0;
        for (const Identity& id : ids) total += id.size;
        progress->bytes_total.store(total);
        progress->measured.store(true);
    }
    if (line) line->tick();
    out.assign(rels.size(), {});
    ClusterRun run(client, logger, params, threads, rels, out, progress, line);
    std::vector<size_t> redo;
    if (run.start(root) < 0 || run.run(shards, ids, &redo) < 0) return -1;
    if (redo.empty()) return 0;
    // Files that changed since they were planned, or whose range failed: each once more, whole,
    // in a task of its own, checked against the file as this machine sees it now.
    Shards again;
    for (size_t file : redo) again.push_back({Piece{file, false, 0, 0, true}});
    return run.run(again, ids, nullptr);
}

int ClusterSession::open(PyObject* scheduler, PyObject* client, PyObject* logger) {
    if (client == Py_None && scheduler == Py_None) return 0;
    if (client != Py_None && scheduler != Py_None) {
        PyErr_SetString(PyExc_TypeError, "give either scheduler or client, not both");
        return -1;
    }
    py::Ref connected;
    if (client == Py_None) {
        py::Ref address = py::Ref::borrow(scheduler);
        if (PyUnicode_Check(scheduler) &&
            PyUnicode_CompareWithASCIIString(scheduler, "auto") == 0) {
            const char* env = std::getenv("DASK_SCHEDULER_ADDRESS");
            if (!env || !*env) {
                PyErr_SetString(PyExc_ValueError,
                                "scheduler 'auto' needs DASK_SCHEDULER_ADDRESS to be set");
                return -1;
            }
            address = py::Ref::steal(PyUnicode_DecodeFSDefault(env));
            if (!address) return -1;
        }
        py::Ref cls = py::import_attr("distributed", "Client");
        if (!cls) {
            if (PyErr_ExceptionMatches(PyExc_ImportError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_ImportError,
                                "a scheduler needs the optional Dask support: "
                                "pip install 'mavelin[dask]'");
            }
            return -1;
        }
        connected = py::Ref::steal(PyObject_CallOneArg(cls.get(), address.get()));
        if (!connected) return -1;
        owned_ = connected;
        client = connected.get();
    }
    pair_ = py::Ref::steal(PyTuple_Pack(2, client, logger));
    return pair_ ? 0 : -1;
}

ClusterSession::~ClusterSession() {
    if (!owned_) return;
    py::FetchedError error = py::fetch_error();
    py::Ref done = py::Ref::steal(PyObject_CallMethod(owned_.get(), "close", nullptr));
    PyErr_Clear();
    if (error.type) error.restore();
}

}  // namespace mavelin::passes
