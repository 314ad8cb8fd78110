// The fingerprint pass spread over a Dask cluster: the node paths cut into shards of about equal
// bytes, one task per shard, the packed results put back in table order.
#include "python/mavelin/core/passes/cluster_pass.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fingerprint/fingerprint.h"
#include "engine/fs/file_io.h"
#include "python/capi/common.h"
#include "python/mavelin/core/passes/shard_plan.h"

namespace mavelin::cluster {
namespace {

using hash::sha256::Digest;
constexpr size_t kDigest = sizeof(Digest);
using shard_plan::Piece;
using shard_plan::Shards;

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

// Cancels the futures, keeping the exception being raised.
void cancel_all(PyObject* client, PyObject* futures) {
    py::FetchedError error = py::fetch_error();
    py::Ref done = py::Ref::steal(PyObject_CallMethod(client, "cancel", "O", futures));
    PyErr_Clear();
    error.restore();
}

py::Ref submit_all(PyObject* client, const std::string& root, const std::vector<std::string>& rels,
                   const Shards& shards, const fingerprint::Params& params, unsigned threads) {
    py::Ref fn = py::import_attr("mavelin.core._shards", "fingerprint_shard");
    py::Ref submit = py::attr(client, "submit");
    // Workers have working folders of their own: a relative root is made absolute here.
    std::string absolute = root;
    if (absolute.empty() || absolute[0] != '/') {
        std::vector<char> cwd(4096);
        while (!::getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) {
                PyErr_SetFromErrno(PyExc_OSError);
                return {};
            }
            cwd.resize(cwd.size() * 2);
        }
        absolute = fs::posix_join(cwd.data(), root);
    }
    py::Ref root_text = py::decode_path(absolute);
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{s:O}", "pure", Py_False));
    py::Ref futures = py::Ref::steal(PyList_New(0));
    if (!fn || !submit || !root_text || !kwargs || !futures) return {};
    for (const std::vector<Piece>& shard : shards) {
        py::Ref entries = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(shard.size())));
        if (!entries) return {};
        for (size_t k = 0; k < shard.size(); ++k) {
            const Piece& p = shard[k];
            py::Ref path = py::decode_path(rels[p.file]);
            if (!path) return {};
            py::Ref entry =
                p.range ? py::Ref::steal(Py_BuildValue("(OKK)", path.get(), p.first, p.count))
                        : std::move(path);
            if (!entry) return {};
            PyList_SET_ITEM(entries.get(), static_cast<Py_ssize_t>(k), entry.release());
        }
        py::Ref args =
            py::Ref::steal(Py_BuildValue("(OOOLLI)", fn.get(), root_text.get(), entries.get(),
                                         params.chunk_size, params.step, threads));
        py::Ref future = args
                             ? py::Ref::steal(PyObject_Call(submit.get(), args.get(), kwargs.get()))
                             : py::Ref();
        if (!future || PyList_Append(futures.get(), future.get()) < 0) {
            cancel_all(client, futures.get());
            return {};
        }
    }
    return futures;
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

// A worker that could not open the root: one ERROR line naming it, then the exit request.
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
    py::exit_request();
    return -1;
}

}  // namespace

int fingerprint_files(PyObject* cluster, const std::string& root,
                      const std::vector<std::string>& rels, const fingerprint::Params& params,
                      unsigned threads, std::vector<fingerprint::FileOutcome>& out) {
    PyObject* client = nullptr;
    PyObject* logger = nullptr;
    if (!PyArg_ParseTuple(cluster, "OO", &client, &logger)) return -1;
    uint64_t shard_bytes = 0;
    if (!read_u64_attr("mavelin.core._shards", "SHARD_BYTES", shard_bytes)) return -1;
    std::vector<uint64_t> sizes;
    const Shards shards = shard_plan::cut_shards(root, rels, params, shard_bytes, sizes);
    py::Ref futures = submit_all(client, root, rels, shards, params, threads);
    if (!futures) return -1;
    py::Ref results = py::Ref::steal(PyObject_CallMethod(client, "gather", "O", futures.get()));
    if (!results || !PyList_Check(results.get()) ||
        static_cast<size_t>(PyList_GET_SIZE(results.get())) != shards.size()) {
        if (results) PyErr_SetString(PyExc_SystemError, "the cluster lost shards");
        cancel_all(client, futures.get());  // Ctrl-C included: nothing goes on running
        return -1;
    }

    const size_t rows = params.step > 0 ? static_cast<size_t>(params.step) : 0;
    out.assign(rels.size(), {});
    fingerprint::RowReducer reducer(params.step);  // of the split file being put together
    for (size_t s = 0; s < shards.size(); ++s) {
        PyObject* result = PyList_GET_ITEM(results.get(), static_cast<Py_ssize_t>(s));
        const std::vector<Piece>& shard = shards[s];
        size_t digests = 0;
        for (const Piece& p : shard) digests += p.range ? static_cast<size_t>(p.count) : rows;
        Columns c{};
        if (!columns_of(result, shard.size(), digests, c)) {
            PyErr_SetString(PyExc_SystemError, "a shard came back malformed");
            return -1;
        }
        PyObject* blind = PyTuple_GET_ITEM(result, 3);
        if (blind != Py_None) return report_blind_worker(logger, root, blind);
        const uint8_t* at = c.digests;
        for (size_t k = 0; k < shard.size(); ++k) {
            const Piece& p = shard[k];
            fingerprint::FileOutcome& o = out[p.file];
            const size_t n = p.range ? static_cast<size_t>(p.count) : rows;
            if (p.range && p.first == 0) reducer = fingerprint::RowReducer(params.step);
            if (c.errors[k] != 0 && o.error.code == 0) {
                o.error.code = c.errors[k];
                o.error.path = fs::posix_join(root, rels[p.file]);
                o.rows.clear();
            }
            o.size = std::max(o.size, c.sizes[k]);
            if (o.error.code == 0) {
                std::vector<Digest> digest_list(n);
                std::memcpy(digest_list.data(), at, n * kDigest);
                if (!p.range) {
                    o.rows = std::move(digest_list);
                } else {
                    reducer.add(digest_list.data(), n);
                    if (p.last) o.rows = reducer.finish();
                }
            }
            at += n * kDigest;
        }
    }
    return 0;
}

int Session::open(PyObject* scheduler, PyObject* client, PyObject* logger) {
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

Session::~Session() {
    if (!owned_) return;
    py::FetchedError error = py::fetch_error();
    py::Ref done = py::Ref::steal(PyObject_CallMethod(owned_.get(), "close", nullptr));
    PyErr_Clear();
    if (error.type) error.restore();
}

}  // namespace mavelin::cluster
