// The fingerprint passes: a FileManager's node table and a list of paths, through the engine's
// parallel runner or a cluster; the settings a procedure gives them.
#include "python/mavelin/core/passes/fingerprint_pass.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/fingerprint/parallel_runner.h"
#include "engine/hash/sha256/sha256.h"
#include "python/capi/attribute_names.h"
#include "python/capi/errors.h"
#include "python/capi/gc.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/capi/text.h"
#include "python/mavelin/core/models.h"
#include "python/mavelin/core/passes/cluster_pass.h"
#include "python/mavelin/core/passes/progress_line.h"

namespace mavelin::passes {
namespace {

// The settings of the innermost PassSettingsScope of this thread, or null.
thread_local const PassSettings* t_settings = nullptr;

int record_error(PyObject* errors, PyObject* node, PyObject* exc) {
    py::Ref path = py::attr(node, certificate_format::kAttrPath);
    if (!path) return -1;
    py::Ref pair = py::Ref::steal(PyTuple_Pack(2, path.get(), exc));
    return pair ? PyList_Append(errors, pair.get()) : -1;
}

// A record carrying the same attributes as `node` (what a worker's copy would be), with
// `fingerprint` set as its hash fingerprint.
py::Ref copy_node(PyObject* node, PyObject* fingerprint) {
    PyTypeObject* type = Py_TYPE(node);
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    if (!no_args) return {};
    py::Ref copy = py::Ref::steal(type->tp_new(type, no_args.get(), nullptr));
    if (!copy) return {};
    // Filled in place, as in models::new_filenode (a replaced dict is lost on 3.13).
    py::Ref old_dict = py::Ref::steal(PyObject_GenericGetDict(node, nullptr));
    py::Ref new_dict = py::Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr));
    if (!old_dict || !new_dict || PyDict_Update(new_dict.get(), old_dict.get()) < 0 ||
        PyDict_SetItem(new_dict.get(), py::state().names.fingerprint.get(), fingerprint) < 0)
        return {};
    return copy;
}

py::Ref fingerprint_list(const std::vector<hash::sha256::Digest>& rows) {
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return {};
    for (size_t i = 0; i < rows.size(); ++i) {
        char hex[64];
        hash::sha256::to_hex(rows[i], hex);
        py::Ref text = py::ascii_text(hex, 64);
        if (!text) return {};
        py::Ref entry = py::Ref::steal(PyList_New(1));
        if (!entry) return {};
        PyList_SET_ITEM(entry.get(), 0, text.release());
        // A list holding one str is no part of any cycle: the collector need not visit it.
        PyObject_GC_UnTrack(entry.get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

// Every node through the Python-level work function, one after another. Used when the
// parameters or the table are not of the kinds the engine takes (it then fails the same way).
int slow_pass(PyObject* manager, PyObject* table, const std::vector<py::Ref>& nodes,
              PyObject* errors, bool all_or_none) {
    py::Ref copier = py::import_attr("copy", "copy");
    py::Ref results = py::Ref::steal(PyList_New(0));
    if (!copier || !results) return -1;
    for (const py::Ref& node : nodes) {
        py::Ref copy = py::Ref::steal(PyObject_CallOneArg(copier.get(), node.get()));
        py::Ref done;
        if (copy)
            done = py::Ref::steal(
                PyObject_CallMethod(manager, attr::kGenerateFileFingerprint, "O", copy.get()));
        if (done) {
            if (PyList_Append(results.get(), done.get()) < 0) return -1;
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        py::FetchedError error = py::fetch_error();
        if (record_error(errors, node.get(), error.value.get()) < 0) return -1;
    }
    if (all_or_none && PyList_GET_SIZE(errors) > 0) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results.get()); ++i)
        if (models::store_node(table, PyList_GET_ITEM(results.get(), i)) < 0) return -1;
    return 0;
}

// Reads an integer parameter for the engine; false when it is not a plain int.
bool engine_int(PyObject* value, int64_t& out) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (overflow != 0) return false;
    out = v;
    return true;
}

}  // namespace

bool progress_line_wanted() {
    return t_settings && t_settings->progress && ProgressLine::terminal();
}

py::Ref unreadable_pairs(const table::NodeTable& nodes,
                         const std::vector<table::FillFailure>& failures) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const table::FillFailure& f : failures) {
        py::Ref path = py::decode_path(nodes.path(f.index));
        py::Ref exc = path ? py::os_error(f.error.code, f.error.path) : py::Ref();
        py::Ref pair = exc ? py::Ref::steal(PyTuple_Pack(2, path.get(), exc.get())) : py::Ref();
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return {};
    }
    return list;
}

unsigned pass_threads() {
    if (t_settings && t_settings->threads > 0) return std::min(t_settings->threads, 256u);
    py::Ref max = py::import_attr("mavelin.core.file_managing", "MAX_PROCESSES");
    long v = max ? PyLong_AsLong(max.get()) : -1;
    PyErr_Clear();
    return static_cast<unsigned>(std::clamp<long>(v, 1, 256));
}

fs::ReadMode pass_read_mode() {
    return t_settings ? t_settings->read_mode : fs::ReadMode::kCacheNeutral;
}

int run_local_pass(
    const std::string& root, std::size_t files,
    const std::function<std::string_view(std::size_t)>& rel,
    const std::function<void(const std::atomic<bool>&, fingerprint::Progress*)>& hash) {
    std::exception_ptr failure;  // what the work threw, thrown again on this thread
    std::atomic<bool> cancel{false};
    // The progress line, when asked for and standard error is a terminal: the runner counts,
    // a second thread adds up the sizes meanwhile, and this thread draws while it waits.
    fingerprint::Progress counters;
    std::optional<ProgressLine> line;
    if (progress_line_wanted()) line.emplace("fingerprinting", files, counters);
    std::atomic<bool> stop_measuring{false};
    auto work = [&]() noexcept {
        std::thread measurer;
        if (line) {
            try {
                measurer = std::thread(
                    [&] { fingerprint::measure(root, files, rel, counters, stop_measuring); });
            } catch (...) {  // no second thread: the line goes without the totals
            }
        }
        try {
            hash(cancel, line ? &counters : nullptr);
        } catch (...) {
            failure = std::current_exception();
        }
        stop_measuring.store(true);
        if (measurer.joinable()) measurer.join();
    };
    auto tick = [&]() noexcept {
        if (line) line->tick();
    };
    tick();  // drawn at once, then a few times a second
    const int interrupted = py::run_interruptible(work, cancel, tick);
    line.reset();  // the line is cleared before anything else is written
    if (interrupted < 0) return -1;
    if (failure) std::rethrow_exception(failure);
    return 0;
}

const fs::SkippedFiles* skipped_files() {
    return t_settings && !t_settings->skipped.empty() ? &t_settings->skipped : nullptr;
}

PassSettingsScope::PassSettingsScope(const PassSettings& settings) noexcept : outer_(t_settings) {
    t_settings = &settings;
}

PassSettingsScope::~PassSettingsScope() {
    t_settings = outer_;
}

int fingerprint_paths(const std::string& root, const std::vector<std::string>& rels,
                      const fingerprint::Params& params,
                      std::vector<fingerprint::FileOutcome>& outcomes) {
    if (t_settings && t_settings->cluster) {  // threads per worker: as asked, or theirs
        // The progress line, when asked for, drawn from counters the run keeps; it is cleared
        // before anything else is written.
        fingerprint::Progress counters;
        std::optional<ProgressLine> line;
        if (progress_line_wanted()) line.emplace("fingerprinting", rels.size(), counters);
        if (line) line->tick();
        const int ran =
            fingerprint_on_cluster(t_settings->cluster, root, rels, params, t_settings->threads,
                                   outcomes, line ? &counters : nullptr, line ? &*line : nullptr);
        line.reset();
        return ran;
    }
    const unsigned threads = pass_threads();
    const fs::ReadMode mode = pass_read_mode();
    auto rel = [&rels](std::size_t i) -> std::string_view { return rels[i]; };
    auto hash = [&](const std::atomic<bool>& cancel, fingerprint::Progress* progress) {
        outcomes =
            fingerprint::fingerprint_files(root, rels, params, threads, &cancel, progress, mode);
    };
    return run_local_pass(root, rels.size(), rel, hash);
}

bool on_cluster() {
    return t_settings && t_settings->cluster;
}

PyObject* pass_cluster() {
    return t_settings ? t_settings->cluster : nullptr;
}

unsigned cluster_task_threads() {
    return t_settings ? t_settings->threads : 0;
}

int fingerprint_table(PyObject* manager, bool all_or_none) {
    py::Ref errors = py::Ref::steal(PyList_New(0));
    py::Ref no_bytes = py::Ref::steal(PyLong_FromLong(0));
    if (!errors || !no_bytes ||
        PyObject_SetAttrString(manager, attr::kFingerprintErrors, errors.get()) < 0 ||
        PyObject_SetAttrString(manager, attr::kFingerprintedBytes, no_bytes.get()) < 0)
        return -1;
    py::Ref table = py::attr(manager, attr::kFileNodes);
    py::Ref chunk = py::attr(manager, attr::kChunkSize);
    py::Ref step = py::attr(manager, attr::kTransformationStep);
    py::Ref initial = py::attr(manager, attr::kInitialPath);
    if (!table || !chunk || !step || !initial) return -1;
    // The records in table order, each held here: the table may change while the engine runs.
    std::vector<py::Ref> nodes;
    if (PyDict_CheckExact(table.get())) {
        nodes.reserve(static_cast<size_t>(PyDict_GET_SIZE(table.get())));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(table.get(), &pos, &key, &value))
            nodes.push_back(py::Ref::borrow(value));
    } else {
        py::Ref values = py::Ref::steal(PyMapping_Values(table.get()));
        py::Ref list = values ? py::Ref::steal(PySequence_List(values.get())) : py::Ref();
        if (!list) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
            nodes.push_back(py::Ref::borrow(PyList_GET_ITEM(list.get(), i)));
    }
    if (nodes.empty()) return 0;

    fingerprint::Params params{};
    std::string root;
    std::vector<std::string> rel_paths;
    bool fast = engine_int(chunk.get(), params.chunk_size) && params.chunk_size != 0 &&
                engine_int(step.get(), params.step) && PyDict_CheckExact(table.get());
    if (fast && py::encode_path(initial.get(), root) < 0) {
        PyErr_Clear();
        fast = false;
    }
    PyObject* node_class = models::filenode_class();
    if (!node_class) return -1;
    for (size_t i = 0; fast && i < nodes.size(); ++i) {
        if (Py_TYPE(nodes[i].get()) != reinterpret_cast<PyTypeObject*>(node_class)) {
            fast = false;
            break;
        }
        py::Ref path = py::attr(nodes[i].get(), certificate_format::kAttrPath);
        std::string rel;
        if (!path || py::encode_path(path.get(), rel) < 0) {
            PyErr_Clear();
            fast = false;
            break;
        }
        rel_paths.push_back(std::move(rel));
    }
    if (!fast) return slow_pass(manager, table.get(), nodes, errors.get(), all_or_none);

    std::vector<fingerprint::FileOutcome> outcomes;
    if (fingerprint_paths(root, rel_paths, params, outcomes) < 0) return -1;  // the table stays
    if (outcomes.size() != nodes.size()) {
        PyErr_SetString(PyExc_SystemError, "fingerprint pass lost files");
        return -1;
    }

    py::GcPause gc_pause;
    std::vector<py::Ref> done(nodes.size());
    unsigned long long bytes = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const fingerprint::FileOutcome& o = outcomes[i];
        if (o.error.code != 0) {
            py::Ref exc = py::os_error(o.error.code, o.error.path);
            if (!exc || record_error(errors.get(), nodes[i].get(), exc.get()) < 0) return -1;
            continue;
        }
        bytes += o.size;
        if (all_or_none && PyList_GET_SIZE(errors.get()) > 0) continue;
        py::Ref fp = fingerprint_list(o.rows);
        if (!fp) return -1;
        py::Ref copy = copy_node(nodes[i].get(), fp.get());
        if (!copy) return -1;
        done[i] = std::move(copy);
    }
    py::Ref total = py::Ref::steal(PyLong_FromUnsignedLongLong(bytes));
    if (!total || PyObject_SetAttrString(manager, attr::kFingerprintedBytes, total.get()) < 0)
        return -1;
    if (all_or_none && PyList_GET_SIZE(errors.get()) > 0) return 0;
    for (const py::Ref& node : done)
        if (node && models::store_node(table.get(), node.get()) < 0) return -1;
    return 0;
}

}  // namespace mavelin::passes
