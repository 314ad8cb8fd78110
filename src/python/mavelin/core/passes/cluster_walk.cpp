// The walk of a tree spread over a Dask cluster: the top listed here, subtrees walked and
// fingerprinted by the workers, their blocks of rows spliced in walk order into the node table.
#include "python/mavelin/core/passes/cluster_walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <new>
#include <queue>
#include <string_view>

#include "engine/fs/file_io.h"
#include "engine/table/subtree_block.h"
#include "python/capi/errors.h"
#include "python/capi/gil.h"
#include "python/capi/import.h"
#include "python/capi/paths.h"
#include "python/mavelin/core/passes/cluster_pass.h"

namespace mavelin::passes {
namespace {

using table::SubtreeTask;
using Folder = SubtreeTask::Folder;

// Tasks submitted ahead of the oldest one not yet spliced, per cluster thread, and bounds.
constexpr size_t kWindowPerThread = 8;
constexpr size_t kMinWindow = 16;
constexpr size_t kMaxWindow = 1024;

struct Task {
    std::vector<Folder> folders;
    std::uint64_t budget = 0;
    bool top = false;     // the top folder's own files; its listing is checked against ours
    double priority = 0;  // the cluster runs tasks of a higher one first: walk order
    py::Ref future;
    py::Ref result;          // fetched, not spliced yet
    bool handed_on = false;  // the folders it handed back are tasks already
};

// Bytes of results fetched ahead of their turn, to hand their folders on early, at most.
constexpr size_t kHeldBytes = size_t{64} << 20;

// The inode of root/rel as a directory, not following a link at its end; 0 when it is none.
std::uint64_t folder_ino(const std::string& root, const std::string& rel) {
    struct stat st {};
    const std::string path = rel.empty() ? root : fs::posix_join(root, rel);
    const int flags = rel.empty() ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(AT_FDCWD, path.c_str(), &st, flags) != 0 || !S_ISDIR(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_ino);
}

// This machine's listing of the top: its inode and its subfolders with theirs. False when the top
// cannot be walked (`errors` then says why, or it is missing).
bool list_top(const std::string& root, std::uint64_t& ino, std::vector<Folder>& dirs,
              std::vector<fs::WalkError>& errors) {
    fs::TreeWalker walker(root);
    if (!walker.next()) {
        errors = walker.errors();
        return false;
    }
    struct stat st {};
    ino = ::fstat(walker.current_fd(), &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
    std::vector<fs::TreeWalker::Remaining> remaining;
    walker.take_remaining(remaining);
    for (auto& r : remaining) dirs.push_back({std::move(r.rel), static_cast<std::uint64_t>(r.ino)});
    return true;
}

int module_u64(const char* name, std::uint64_t& out) {
    py::Ref value = py::import_attr("mavelin.core._shards", name);
    if (!value) return -1;
    out = PyLong_AsUnsignedLongLong(value.get());
    return out == static_cast<std::uint64_t>(-1) && PyErr_Occurred() ? -1 : 0;
}

bool same_folders(const std::vector<Folder>& a, const std::vector<Folder>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Folder& x, const Folder& y) {
        return x.rel == y.rel && x.ino == y.ino;
    });
}

class ClusterWalk {
  public:
    ClusterWalk(PyObject* client, PyObject* logger, const std::string& root,
                const fingerprint::Params& params, unsigned threads, SplicedWalk& out)
        : client_(client),
          logger_(logger),
          root_(root),
          params_(params),
          threads_(threads),
          out_(out) {}

    int run(const fs::SkippedFiles* skipped) {
        if (!list_top(root_, root_ino_, top_dirs_, out_.errors)) return 0;
        std::string absolute;
        if (absolute_root(root_, absolute) < 0) return -1;
        // Files a task walks before it hands the folders it has not entered back
        // (WALK_TASK_FILES: enough that a task's fixed cost is small against its work, few
        // enough that a result stays a few megabytes), and bytes of content per task.
        std::uint64_t shard_bytes = 0;
        if (module_u64("SHARD_BYTES", shard_bytes) < 0 ||
            module_u64("WALK_TASK_FILES", task_files_) < 0)
            return -1;
        large_chunks_ = std::max<std::uint64_t>(
            1, shard_bytes / static_cast<std::uint64_t>(params_.chunk_size));
        fn_ = py::import_attr("mavelin.core._shards", "walk_subtree");
        submit_ = py::attr(client_, "submit");
        wait_ = py::import_attr("distributed", "wait");
        root_text_ = py::decode_path(absolute);
        skipped_ = py::Ref::steal(PyList_New(0));
        if (!fn_ || !submit_ || !wait_ || !root_text_ || !skipped_) return -1;
        for (size_t i = 0; skipped && i < skipped->size(); ++i) {
            py::Ref rel = py::decode_path((*skipped)[i].rel);
            py::Ref name = rel ? py::decode_path((*skipped)[i].name) : py::Ref();
            py::Ref pair =
                name ? py::Ref::steal(PyTuple_Pack(2, rel.get(), name.get())) : py::Ref();
            if (!pair || PyList_Append(skipped_.get(), pair.get()) < 0) return -1;
        }
        const size_t window = window_size(client_, kWindowPerThread, kMinWindow, kMaxWindow);
        threads_total_ = window / kWindowPerThread;

        // The top's own files first, then its subfolders in groups, in walk order.
        Task top;
        top.folders.push_back({std::string(), root_ino_});
        top.top = true;
        top.handed_on = true;
        queue_.push_back(std::move(top));
        to_submit_.emplace(0.0, queue_.begin());
        hand_on(top_dirs_, queue_.end(), 4);

        while (!queue_.empty()) {
            // The head is always among them.
            while (!to_submit_.empty() &&
                   (in_flight_ < window || (!queue_.front().future && !queue_.front().result))) {
                auto it = to_submit_.top().second;
                to_submit_.pop();
                if (!(it->future = submit(*it))) return fail();
                running_.push_back(it);
                ++in_flight_;
            }
            // Results fetched as tasks finish, so that the folders they hand back become tasks
            // at once; spliced in walk order.
            if (fetch_finished() < 0) return fail();
            Task& head = queue_.front();
            if (!head.result) {
                if (wait_any() < 0) return fail();
                continue;
            }
            const int spliced = splice(head);
            held_ -= static_cast<size_t>(PyBytes_GET_SIZE(PyTuple_GET_ITEM(head.result.get(), 0)));
            if (spliced < 0) return fail();
            --in_flight_;
            queue_.pop_front();
        }
        return 0;
    }

  private:
    // Tasks for `folders` (in walk order) before `at`, at most `spread` per cluster thread (or
    // more, of at most `most_per_task` folders each), with priorities between those of the tasks
    // around them, so that the cluster runs tasks in walk order.
    void hand_on(const std::vector<Folder>& folders, std::list<Task>::iterator at, size_t spread,
                 size_t most_per_task = SIZE_MAX) {
        if (folders.empty()) return;
        const size_t groups =
            std::min(folders.size(), std::max<size_t>(2, threads_total_ * spread));
        const size_t per = std::min((folders.size() + groups - 1) / groups, most_per_task);
        const double high = at == queue_.begin() ? 1.0 : std::prev(at)->priority;
        const double low = at == queue_.end() ? high - 1.0 : at->priority;
        const size_t n = (folders.size() + per - 1) / per;
        size_t k = 0;
        for (size_t from = 0; from < folders.size(); from += per, ++k) {
            Task t;
            t.budget = task_files_;
            t.folders.assign(folders.begin() + static_cast<std::ptrdiff_t>(from),
                             folders.begin() +
                                 static_cast<std::ptrdiff_t>(std::min(folders.size(), from + per)));
            t.priority =
                high - (high - low) * static_cast<double>(k + 1) / static_cast<double>(n + 1);
            auto it = queue_.insert(at, std::move(t));
            to_submit_.emplace(it->priority, it);
        }
    }

    // Fetches the results of the tasks that finished, the head's always, others while they hold
    // few bytes, and hands their folders on.
    int fetch_finished() {
        for (size_t k = 0; k < running_.size();) {
            Task& t = *running_[k];
            const bool head = running_[k] == queue_.begin();
            if (!head && held_ >= kHeldBytes) {
                ++k;
                continue;
            }
            py::Ref done = py::Ref::steal(PyObject_CallMethod(t.future.get(), "done", nullptr));
            const int finished = done ? PyObject_IsTrue(done.get()) : -1;
            if (finished < 0) return -1;
            if (!finished) {
                ++k;
                continue;
            }
            t.result = py::Ref::steal(PyObject_CallMethod(t.future.get(), "result", nullptr));
            if (!t.result) return -1;
            if (!PyTuple_Check(t.result.get()) || PyTuple_GET_SIZE(t.result.get()) != 2 ||
                !PyBytes_Check(PyTuple_GET_ITEM(t.result.get(), 0))) {
                PyErr_SetString(PyExc_SystemError, "a walk task came back malformed");
                return -1;
            }
            held_ += static_cast<size_t>(PyBytes_GET_SIZE(PyTuple_GET_ITEM(t.result.get(), 0)));
            t.future = py::Ref();
            const auto it = running_[k];
            running_[k] = running_.back();
            running_.pop_back();
            if (hand_on_from(it) < 0) return -1;
        }
        return 0;
    }

    // Waits until one of the running tasks finishes (Ctrl-C raises KeyboardInterrupt).
    int wait_any() {
        if (running_.empty()) {
            PyErr_SetString(PyExc_SystemError, "the spliced walk has nothing to wait for");
            return -1;
        }
        // The head alone while results are held up to the bound: others can only wait.
        const bool head_only = held_ >= kHeldBytes && queue_.front().future;
        py::Ref futures = py::Ref::steal(PyList_New(0));
        if (!futures) return -1;
        for (auto it : running_)
            if ((!head_only || it == queue_.begin()) &&
                PyList_Append(futures.get(), it->future.get()) < 0)
                return -1;
        py::Ref args = py::Ref::steal(PyTuple_Pack(1, futures.get()));
        py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:s}", "return_when", "FIRST_COMPLETED"));
        py::Ref done = args && kwargs
                           ? py::Ref::steal(PyObject_Call(wait_.get(), args.get(), kwargs.get()))
                           : py::Ref();
        return done ? 0 : -1;
    }

    py::Ref submit(const Task& t) {
        py::Ref folders = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.folders.size())));
        if (!folders) return {};
        for (size_t k = 0; k < t.folders.size(); ++k) {
            py::Ref rel = py::decode_path(t.folders[k].rel);
            py::Ref pair = rel ? py::Ref::steal(Py_BuildValue("(OK)", rel.get(), t.folders[k].ino))
                               : py::Ref();
            if (!pair) return {};
            PyList_SET_ITEM(folders.get(), static_cast<Py_ssize_t>(k), pair.release());
        }
        py::Ref args = py::Ref::steal(Py_BuildValue(
            "(OOOKKKLLIO)", fn_.get(), root_text_.get(), folders.get(), root_ino_, t.budget,
            large_chunks_, params_.chunk_size, params_.step, threads_, skipped_.get()));
        py::Ref kwargs =
            py::Ref::steal(Py_BuildValue("{s:O,s:d}", "pure", Py_False, "priority", t.priority));
        if (!args || !kwargs) return {};
        return py::Ref::steal(PyObject_Call(submit_.get(), args.get(), kwargs.get()));
    }

    // The head task's result into the table, or the run's failure when its worker sees another
    // tree.
    int splice(Task& task) {
        PyObject* bytes = nullptr;
        PyObject* worker = nullptr;
        if (!PyArg_ParseTuple(task.result.get(), "SO", &bytes, &worker)) return -1;
        const std::string_view raw(PyBytes_AS_STRING(bytes),
                                   static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
        const size_t rows = params_.step > 0 ? static_cast<size_t>(params_.step) : 0;
        table::SubtreeBlock block;
        if (!block.read(raw, rows)) {
            PyErr_SetString(PyExc_SystemError, "a walk task came back malformed");
            return -1;
        }
        switch (block.status) {
            case table::BlockStatus::kWalked:
                break;
            case table::BlockStatus::kRootUnreadable: {
                py::Ref blind = py::Ref::steal(Py_BuildValue("(iO)", block.error, worker));
                return blind ? report_blind_worker(logger_, root_, blind.get()) : -1;
            }
            case table::BlockStatus::kOtherRoot:
                return report_drift(logger_, kFolder, root_, root_, worker,
                                    folder_ino(root_, std::string()) != root_ino_);
            case table::BlockStatus::kOtherFolder: {
                if (block.folder >= task.folders.size()) break;
                const Folder& f = task.folders[block.folder];
                const std::string path = f.rel.empty() ? root_ : fs::posix_join(root_, f.rel);
                return report_drift(logger_, kFolder, f.rel.empty() ? root_ : f.rel, path, worker,
                                    folder_ino(root_, f.rel) != f.ino);
            }
        }
        if (block.status != table::BlockStatus::kWalked) {
            PyErr_SetString(PyExc_SystemError, "a walk task came back malformed");
            return -1;
        }
        if (task.top) {
            // The worker's listing of the top against this machine's.
            if (!same_folders(block.remaining, top_dirs_)) {
                std::uint64_t ino = 0;
                std::vector<Folder> now;
                std::vector<fs::WalkError> unused;
                const bool listed = list_top(root_, ino, now, unused);
                return report_drift(logger_, kFolder, root_, root_, worker,
                                    !listed || ino != root_ino_ || !same_folders(now, top_dirs_));
            }
        }
        bool no_memory = false;
        {
            py::GilRelease released;
            try {
                add_rows(block);
            } catch (const std::bad_alloc&) {
                no_memory = true;
            }
        }
        if (no_memory) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    // The folders a finished task handed back, as tasks right after it: its folders it did not
    // reach, after the subfolders of the one it stopped in. Each should hold about a task's
    // files, judged by the files per folder of that task.
    int hand_on_from(std::list<Task>::iterator it) {
        Task& task = *it;
        if (task.handed_on) return 0;
        task.handed_on = true;
        PyObject* bytes = PyTuple_GET_ITEM(task.result.get(), 0);
        const std::string_view raw(PyBytes_AS_STRING(bytes),
                                   static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
        table::SubtreeBlock block;
        if (!block.read(raw, params_.step > 0 ? static_cast<size_t>(params_.step) : 0) ||
            block.status != table::BlockStatus::kWalked)
            return 0;  // the splice says what is wrong
        const std::vector<Folder>& remaining = block.remaining;
        size_t untouched = 0;
        while (untouched < remaining.size() && untouched < task.folders.size() &&
               remaining[remaining.size() - 1 - untouched].rel ==
                   task.folders[task.folders.size() - 1 - untouched].rel)
            ++untouched;
        const std::uint64_t walked = std::max<size_t>(1, task.folders.size() - untouched);
        const std::uint64_t per_folder = std::max<std::uint64_t>(1, block.files / walked);
        try {
            hand_on(remaining, std::next(it), 1,
                    static_cast<size_t>(std::max<std::uint64_t>(1, task_files_ / per_folder)));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    void add_rows(const table::SubtreeBlock& block) {
        table::NodeTable& t = out_.nodes;
        block.for_each_row([&](const table::BlockRow& r) {
            const std::size_t i = t.size();
            const auto id = static_cast<std::int64_t>(i) + 1;
            if (r.error == 0) {
                t.add(id, r.path, reinterpret_cast<const table::Digest*>(r.digests));
                out_.bytes += r.size;
                return;
            }
            t.add(id, r.path);
            if (r.error == table::kLargeFile)
                out_.large.push_back(i);
            else
                out_.failures.push_back({i, {r.error, fs::posix_join(root_, std::string(r.path))}});
        });
        for (std::string_view d : block.dangling) out_.dangling.emplace_back(d);
        for (const auto& l : block.left_out) {
            fs::LeftOutFolder folder;
            folder.rel = l.rel;
            for (std::string_view name : l.files) folder.files.emplace_back(name);
            out_.left_out.push_back(std::move(folder));
        }
        for (const auto& [rel, code] : block.errors)
            out_.errors.push_back({std::string(rel), code});
    }

    // Cancels the tasks still known, keeping the exception being raised (Ctrl-C included).
    int fail() {
        std::vector<PyObject*> pending;
        for (const Task& task : queue_)
            if (task.future) pending.push_back(task.future.get());
        cancel_keeping_error(client_, pending);
        queue_.clear();
        return -1;
    }

    PyObject* client_;
    PyObject* logger_;
    const std::string& root_;
    const fingerprint::Params params_;
    const unsigned threads_;
    SplicedWalk& out_;
    std::uint64_t root_ino_ = 0;
    std::vector<Folder> top_dirs_;
    std::uint64_t large_chunks_ = 1;
    std::uint64_t task_files_ = 1;
    size_t threads_total_ = 1;
    py::Ref fn_, submit_, wait_, root_text_, skipped_;
    std::list<Task> queue_;  // in walk order; the head is spliced next
    using Waiting = std::pair<double, std::list<Task>::iterator>;
    struct Earlier {
        bool operator()(const Waiting& a, const Waiting& b) const { return a.first < b.first; }
    };
    std::priority_queue<Waiting, std::vector<Waiting>, Earlier> to_submit_;  // not submitted yet
    std::vector<std::list<Task>::iterator> running_;  // submitted, result not fetched
    size_t in_flight_ = 0;                            // submitted and not spliced
    size_t held_ = 0;  // bytes of the results fetched and not spliced
};

}  // namespace

int walk_on_cluster(PyObject* cluster, const std::string& root, const fingerprint::Params& params,
                    unsigned threads, const fs::SkippedFiles* skipped, SplicedWalk& out) {
    PyObject* client = nullptr;
    PyObject* logger = nullptr;
    if (!PyArg_ParseTuple(cluster, "OO", &client, &logger)) return -1;
    out.nodes = table::NodeTable(params.step > 0 ? static_cast<std::size_t>(params.step) : 0);
    ClusterWalk walk(client, logger, root, params, threads, out);
    if (walk.run(skipped) < 0) return -1;
    out.nodes.shrink_to_fit();
    try {
        out.nodes.prepare_fingerprints();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

}  // namespace mavelin::passes
