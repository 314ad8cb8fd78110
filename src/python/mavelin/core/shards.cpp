// mavelin.core._shards: fingerprints one shard of a tree (whole files and chunk ranges of split
// files) into packed binary digests, for runs spread over several machines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fingerprint/parallel_runner.h"
#include "engine/fs/file_io.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/table/subtree_block.h"
#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/mavelin/core/passes/shard_plan.h"
#include "python/package_tree.h"

namespace mavelin::core {
namespace {

using hash::sha256::Digest;
constexpr size_t kDigest = sizeof(Digest);

using passes::Identity;
using passes::kDrifted;

// One entry of a shard: a whole file, or chunks first .. first+count-1 of a split one, with the
// identity the client saw the file with when it has one.
struct Item {
    std::string rel;
    bool range = false;
    uint64_t first = 0;
    uint64_t count = 0;
    Identity expected;
};

bool read_u64(PyObject* value, uint64_t& out) {
    out = PyLong_AsUnsignedLongLong(value);
    return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
}

bool read_i64(PyObject* value, int64_t& out) {
    out = PyLong_AsLongLong(value);
    return !(out == -1 && PyErr_Occurred());
}

bool read_identity(PyObject* entry, Py_ssize_t at, Identity& id) {
    id.known = true;
    return read_u64(PyTuple_GET_ITEM(entry, at), id.size) &&
           read_i64(PyTuple_GET_ITEM(entry, at + 1), id.mtime_ns) &&
           read_u64(PyTuple_GET_ITEM(entry, at + 2), id.ino);
}

// A shard entry is a path, (path, size, mtime_ns, ino), (path, first_chunk, chunk_count) or
// (path, first_chunk, chunk_count, size, mtime_ns, ino).
int parse_item(PyObject* entry, Item& item) {
    if (!PyTuple_Check(entry)) return py::encode_path(entry, item.rel);
    const Py_ssize_t n = PyTuple_GET_SIZE(entry);
    if (n != 3 && n != 4 && n != 6) {
        PyErr_SetString(PyExc_ValueError,
                        "an entry is (path[, first_chunk, chunk_count][, size, mtime_ns, ino])");
        return -1;
    }
    if (py::encode_path(PyTuple_GET_ITEM(entry, 0), item.rel) < 0) return -1;
    if (n == 4) return read_identity(entry, 1, item.expected) ? 0 : -1;
    item.range = true;
    if (!read_u64(PyTuple_GET_ITEM(entry, 1), item.first) ||
        !read_u64(PyTuple_GET_ITEM(entry, 2), item.count) ||
        (n == 6 && !read_identity(entry, 3, item.expected)))
        return -1;
    if (item.count == 0 || item.count > (uint64_t{1} << 40) / kDigest) {
        PyErr_SetString(PyExc_ValueError, "chunk_count out of range");
        return -1;
    }
    return 0;
}

// Whether the file `fd` still is the one the client planned with (always, when it sent none).
bool is_expected(int fd, const Identity& expected) {
    if (!expected.known) return true;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && passes::identity_of(st) == expected;
}

// The same for a whole file, by its name below the root (no link followed).
bool is_expected_at(int root_fd, const Item& item) {
    if (!item.expected.known) return true;
    struct stat st {};
    return root_fd >= 0 && ::fstatat(root_fd, item.rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           passes::identity_of(st) == item.expected;
}

struct ShardResult {
    std::vector<uint8_t> digests;  // per entry: step rows (whole file) or count chunk digests
    std::vector<int32_t> errors;   // per entry: errno, 0 on success
    std::vector<uint64_t> sizes;   // per entry: the size of the file as opened
    int root_error = 0;            // errno of the open of the root itself
    bool failed = false;           // an entry failed (then the worker says who it is)
};

// Hashes the chunks of one range; the slot in `out` is left zeroed on failure. kDrifted when the
// file is not the one expected, before or after the reading (rewritten meanwhile).
int hash_range(int root_fd, const Item& item, const fingerprint::Params& params, uint8_t* out,
               uint64_t& size, fingerprint::Buffer& scratch) {
    fs::UniqueFd fd;
    if (int err = fs::open_below_for_hashing(root_fd, item.rel, fd, &size)) return err;
    if (!is_expected(fd.get(), item.expected)) return kDrifted;
    std::vector<Digest> digests(static_cast<size_t>(item.count));
    if (int err = fingerprint::hash_chunk_range(fd.get(), params.chunk_size, item.first, item.count,
                                                digests.data(), scratch))
        return err;
    if (!is_expected(fd.get(), item.expected)) return kDrifted;
    std::memcpy(out, digests.data(), digests.size() * kDigest);
    return 0;
}

void run_shard(const std::string& root, const std::vector<Item>& items,
               const fingerprint::Params& params, unsigned threads, const std::atomic<bool>& cancel,
               ShardResult& r) {
    const size_t rows = params.step > 0 ? static_cast<size_t>(params.step) : 0;
    std::vector<size_t> offsets(items.size());
    size_t total = 0;
    std::vector<std::string> whole;
    for (size_t i = 0; i < items.size(); ++i) {
        offsets[i] = total;
        total += (items[i].range ? static_cast<size_t>(items[i].count) : rows) * kDigest;
        if (!items[i].range) whole.push_back(items[i].rel);
    }
    r.digests.assign(total, 0);
    r.errors.assign(items.size(), 0);
    r.sizes.assign(items.size(), 0);

    fs::UniqueFd root_fd;
    const int root_error = fs::open_at_any_length(AT_FDCWD, root, O_PATH | O_DIRECTORY, root_fd);
    r.root_error = root_error;
    // A whole file is read in one go: it is checked by name before and after its reading.
    std::vector<bool> same(items.size(), true);
    for (size_t i = 0; i < items.size(); ++i)
        if (!items[i].range) same[i] = is_expected_at(root_fd.get(), items[i]);
    std::vector<fingerprint::FileOutcome> outcomes;
    if (!whole.empty())
        outcomes = fingerprint::fingerprint_files(root, whole, params, threads, &cancel);
    fingerprint::Buffer scratch;
    size_t next_whole = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        uint8_t* slot = r.digests.data() + offsets[i];
        if (!items[i].range) {
            const fingerprint::FileOutcome& o = outcomes[next_whole++];
            r.errors[i] = o.error.code;
            r.sizes[i] = o.size;
            if (o.error.code == 0 && !(same[i] && is_expected_at(root_fd.get(), items[i])))
                r.errors[i] = kDrifted;
            else if (o.error.code == 0 && o.rows.size() == rows)
                std::memcpy(slot, o.rows.data(), rows * kDigest);
            r.failed = r.failed || r.errors[i] != 0;
            continue;
        }
        if (cancel.load()) {
            r.errors[i] = ECANCELED;
        } else if (root_error != 0) {
            r.errors[i] = root_error;
        } else {
            r.errors[i] = hash_range(root_fd.get(), items[i], params, slot, r.sizes[i], scratch);
            r.failed = r.failed || r.errors[i] != 0;
        }
    }
}

// The address of the Dask worker running this task when there is one (never imports it),
// otherwise host name and process id.
py::Ref worker_name() {
    PyObject* distributed = PyDict_GetItemString(PyImport_GetModuleDict(), "distributed");
    if (distributed) {
        py::Ref worker = py::Ref::steal(PyObject_CallMethod(distributed, "get_worker", nullptr));
        py::Ref address = worker ? py::attr(worker.get(), "address") : py::Ref();
        if (address) return address;
        PyErr_Clear();
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
    return py::Ref::steal(PyUnicode_FromFormat("%s (pid %ld)", host, static_cast<long>(getpid())));
}

PyObject* fingerprint_shard(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError,
                        "fingerprint_shard(root, entries, chunk_size, step, threads)");
        return nullptr;
    }
    std::string root;
    fingerprint::Params params{};
    uint64_t threads = 0;
    if (py::encode_path(args[0], root) < 0 || !read_i64(args[2], params.chunk_size) ||
        !read_i64(args[3], params.step) || !read_u64(args[4], threads))
        return nullptr;
    if (params.chunk_size <= 0 || params.step > (int64_t{1} << 20) || threads > 256) {
        PyErr_SetString(PyExc_ValueError, "chunk_size, step or threads out of range");
        return nullptr;
    }
    py::Ref list = py::Ref::steal(PySequence_Fast(args[1], "entries must be a sequence"));
    if (!list) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(list.get());
    std::vector<Item> items(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (parse_item(PySequence_Fast_GET_ITEM(list.get(), i), items[static_cast<size_t>(i)]) < 0)
            return nullptr;

    ShardResult result;
    std::exception_ptr failure;
    std::atomic<bool> cancel{false};
    auto work = [&]() noexcept {
        try {
            run_shard(root, items, params, static_cast<unsigned>(threads), cancel, result);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    if (py::run_interruptible(work, cancel) < 0) return nullptr;
    if (failure) std::rethrow_exception(failure);
    auto as_bytes = [](const void* data, size_t len) {
        return PyBytes_FromStringAndSize(static_cast<const char*>(data),
                                         static_cast<Py_ssize_t>(len));
    };
    py::Ref digests = py::Ref::steal(as_bytes(result.digests.data(), result.digests.size()));
    py::Ref errors = py::Ref::steal(as_bytes(result.errors.data(), result.errors.size() * 4));
    py::Ref sizes = py::Ref::steal(as_bytes(result.sizes.data(), result.sizes.size() * 8));
    py::Ref blind = py::Ref::borrow(Py_None);
    if (result.root_error != 0 || result.failed) {
        py::Ref worker = worker_name();
        blind = worker ? py::Ref::steal(Py_BuildValue("(iO)", result.root_error, worker.get()))
                       : py::Ref();
    }
    if (!digests || !errors || !sizes || !blind) return nullptr;
    return PyTuple_Pack(4, digests.get(), errors.get(), sizes.get(), blind.get());
}

// (path, inode) pairs of a walk task: the folders, or the skipped files as (folder, name).
int parse_pairs(PyObject* seq, std::vector<std::pair<std::string, uint64_t>>& out, bool named) {
    py::Ref list = py::Ref::steal(PySequence_Fast(seq, "expected a sequence of pairs"));
    if (!list) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.get()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(list.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_ValueError, "expected a sequence of pairs");
            return -1;
        }
        std::pair<std::string, uint64_t> p;
        if (py::encode_path(PyTuple_GET_ITEM(pair, 0), p.first) < 0) return -1;
        if (named) {
            std::string name;
            if (py::encode_path(PyTuple_GET_ITEM(pair, 1), name) < 0) return -1;
            p.first.push_back('\0');
            p.first.append(name);
        } else if (!read_u64(PyTuple_GET_ITEM(pair, 1), p.second)) {
            return -1;
        }
        out.push_back(std::move(p));
    }
    return 0;
}

PyObject* walk_subtree(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_SetString(PyExc_TypeError,
                        "walk_subtree(root, folders, root_ino, budget, large_chunks, chunk_size, "
                        "step, threads, skipped)");
        return nullptr;
    }
    std::string root;
    table::SubtreeTask task;
    fingerprint::Params params{};
    uint64_t threads = 0;
    std::vector<std::pair<std::string, uint64_t>> folders, skipped_pairs;
    if (py::encode_path(args[0], root) < 0 || parse_pairs(args[1], folders, false) < 0 ||
        !read_u64(args[2], task.root_ino) || !read_u64(args[3], task.budget) ||
        !read_u64(args[4], task.large_chunks) || !read_i64(args[5], params.chunk_size) ||
        !read_i64(args[6], params.step) || !read_u64(args[7], threads) ||
        parse_pairs(args[8], skipped_pairs, true) < 0)
        return nullptr;
    if (params.chunk_size <= 0 || params.step > (int64_t{1} << 20) || threads > 256) {
        PyErr_SetString(PyExc_ValueError, "chunk_size, step or threads out of range");
        return nullptr;
    }
    for (auto& [rel, ino] : folders) task.folders.push_back({std::move(rel), ino});
    fs::SkippedFiles skipped;
    for (auto& [joined, unused] : skipped_pairs) {
        const size_t nul = joined.find('\0');
        skipped.push_back({joined.substr(0, nul), joined.substr(nul + 1)});
    }
    std::string block;
    std::exception_ptr failure;
    std::atomic<bool> cancel{false};
    auto work = [&]() noexcept {
        try {
            block = table::walk_block(root, task, params, static_cast<unsigned>(threads),
                                      skipped.empty() ? nullptr : &skipped, &cancel);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    if (py::run_interruptible(work, cancel) < 0) return nullptr;
    if (failure) std::rethrow_exception(failure);
    py::Ref bytes = py::Ref::steal(
        PyBytes_FromStringAndSize(block.data(), static_cast<Py_ssize_t>(block.size())));
    py::Ref worker = bytes ? worker_name() : py::Ref();
    if (!worker) return nullptr;
    return PyTuple_Pack(2, bytes.get(), worker.get());
}

PyObject* reduce_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "reduce_rows(chunk_digests, step)");
        return nullptr;
    }
    int64_t step = 0;
    if (!read_i64(args[1], step)) return nullptr;
    if (step > (int64_t{1} << 20)) {
        PyErr_SetString(PyExc_ValueError, "step out of range");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (view.len % static_cast<Py_ssize_t>(kDigest) != 0) {
        PyErr_SetString(PyExc_ValueError, "chunk_digests is not a whole number of digests");
        return nullptr;
    }
    const size_t n = static_cast<size_t>(view.len) / kDigest;
    std::vector<Digest> digests(n);
    std::memcpy(digests.data(), view.buf, n * kDigest);
    fingerprint::RowReducer reducer(step);
    std::vector<Digest> rows;
    {
        py::GilRelease released;
        reducer.add(digests.data(), n);
        rows = reducer.finish();
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                     static_cast<Py_ssize_t>(rows.size() * kDigest));
}

PyObject* chunk_count(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    uint64_t size = 0;
    int64_t chunk = 0;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "chunk_count(size, chunk_size)");
        return nullptr;
    }
    if (!read_u64(args[0], size) || !read_i64(args[1], chunk)) return nullptr;
    return PyLong_FromUnsignedLongLong(fingerprint::chunk_count(size, chunk));
}

PyMethodDef kFunctions[] = {
    py::method<fingerprint_shard>(
        "fingerprint_shard", METH_FASTCALL,
        "fingerprint_shard(root, entries, chunk_size, step, threads, /)\n--\n\n"
        "Fingerprints the entries below `root`: a path is a whole file, a tuple\n"
        "(path, first_chunk, chunk_count) a range of a split file; either may end in the\n"
        "file's expected (size, mtime_ns, ino). Returns (digests, errors, sizes, blind): per\n"
        "entry `step` row digests or `chunk_count` chunk digests (32 bytes each, zero on\n"
        "failure), an int32 errno (-1: the file was not the one expected, before or after its\n"
        "reading) and a uint64 size, all in native byte order; `blind` is None, or (errno,\n"
        "worker) when the root cannot be opened here (errno) or an entry failed (errno 0)."),
    py::method<walk_subtree>(
        "walk_subtree", METH_FASTCALL,
        "walk_subtree(root, folders, root_ino, budget, large_chunks, chunk_size, step, threads,\n"
        "             skipped, /)\n--\n\n"
        "Walks the folders below `root` ((path, inode) pairs, \"\" for the top, inode 0 when\n"
        "not known), one after another, as the walk of the whole tree does, leaving out the\n"
        "(folder, name) files of `skipped`, and fingerprints their files (files of more than\n"
        "`large_chunks` chunks are left to range tasks). After `budget` files the walk stops at "
        "the\n"
        "next folder and hands back the folders still to walk. Returns (block, worker): the rows\n"
        "in walk order packed in one bytes object, and the worker's address."),
    py::method<reduce_rows>("reduce_rows", METH_FASTCALL,
                            "reduce_rows(chunk_digests, step, /)\n--\n\n"
                            "The `step` row digests of a file from its chunk digests in order."),
    py::method<chunk_count>("chunk_count", METH_FASTCALL,
                            "chunk_count(size, chunk_size, /)\n--\n\n"
                            "The number of chunks a file of `size` bytes is hashed in."),
};

}  // namespace

int init_shards(PyObject* m) {
    // Bytes of file content per task of a run on a cluster (a larger file is split in ranges).
    if (PyModule_AddIntConstant(m, "SHARD_BYTES", 64L << 20) < 0) return -1;
    // Files a walk task takes before it hands the folders it has not entered back.
    if (PyModule_AddIntConstant(m, "WALK_TASK_FILES", 16384) < 0) return -1;
    for (PyMethodDef& def : kFunctions)
        if (py::add_function(m, &def) < 0) return -1;
    return 0;
}

}  // namespace mavelin::core
