// mavelin.core.node_handling: FileNodeHandler, which fingerprints one file into its record.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iterator>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/fingerprint/fingerprint.h"
#include "engine/fs/file_io.h"
#include "engine/hash/sha256/sha256.h"
#include "python/capi/attribute_names.h"
#include "python/capi/classes.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/gil.h"
#include "python/capi/import.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/capi/text.h"
#include "python/mavelin/core/models.h"
#include "python/package_tree.h"

namespace mavelin::core {
namespace {

// Chunk digests computed per round trip to the hash list, bounding the engine's memory.
constexpr uint64_t kDigestBatch = 1 << 16;

PyObject* handler_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"node", "chunk_size", "transformation_step", nullptr};
    PyObject *node, *chunk_size = nullptr, *step = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:FileNodeHandler",
                                     const_cast<char**>(kwlist), &node, &chunk_size, &step))
        return nullptr;
    const py::Names& n = py::state().names;
    py::Ref hash_list = py::Ref::steal(PyList_New(0));
    if (!hash_list || PyObject_SetAttr(self, n.node.get(), node) < 0 ||
        models::set_chunking(self, n.chunk_size.get(), chunk_size, n.handler_step.get(), step) <
            0 ||
        PyObject_SetAttr(self, n.hash_list.get(), hash_list.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// Wraps an open descriptor as the raw binary file object the handler keeps.
py::Ref wrap_file(fs::UniqueFd& fd, PyObject* name) {
    py::Ref file_io = py::import_attr("io", "FileIO");
    if (!file_io) return {};
    py::Ref fd_obj = py::Ref::steal(PyLong_FromLong(fd.get()));
    if (!fd_obj) return {};
    py::Ref file = py::Ref::steal(PyObject_CallFunction(file_io.get(), "Os", fd_obj.get(), "rb"));
    if (!file) return {};
    fd.release();  // the file object owns it now
    if (PyObject_SetAttrString(file.get(), "name", name) < 0) return {};
    return file;
}

// Opens the node's file as the walk does: the root as the caller named it, then no symbolic link
// on the way below it (the file itself may be one). An absolute node path stands on its own.
int open_in_tree(const std::string& root, const std::string& rel, fs::UniqueFd& out,
                 uint64_t* size) {
    if (!rel.empty() && rel[0] == '/') return fs::open_below_for_hashing(AT_FDCWD, rel, out, size);
    fs::UniqueFd top;
    if (int err =
            fs::open_at_any_length(AT_FDCWD, root.empty() ? "." : root, O_PATH | O_DIRECTORY, top))
        return err;
    return fs::open_below_for_hashing(top.get(), rel.empty() ? "." : rel, out, size);
}

PyObject* open_file(PyObject* self, PyObject* initial_path) {
    const py::Names& n = py::state().names;
    py::Ref node = py::Ref::steal(PyObject_GetAttr(self, n.node.get()));
    if (!node) return nullptr;
    py::Ref file_path = py::Ref::steal(PyObject_GetAttr(node.get(), n.file_path.get()));
    if (!file_path) return nullptr;
    py::Ref absolute = py::join(initial_path, file_path.get());
    if (!absolute) return nullptr;
    std::string path, root, rel;
    if (py::encode_path(absolute.get(), path) < 0 || py::encode_path(initial_path, root) < 0 ||
        py::encode_path(file_path.get(), rel) < 0)
        return nullptr;

    fs::UniqueFd fd;
    uint64_t size = 0;
    int err = open_in_tree(root, rel, fd, &size);
    if (err != 0) {
        py::set_os_error(err, path);
        return nullptr;
    }
    py::Ref file = wrap_file(fd, absolute.get());
    if (!file || PyObject_SetAttr(self, n.file.get(), file.get()) < 0) return nullptr;
    py::Ref size_obj = py::Ref::steal(PyLong_FromUnsignedLongLong(size));
    if (!size_obj || PyObject_SetAttr(self, n.file_size.get(), size_obj.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Number of chunks: the ceiling of the real quotient size / chunk size.
int chunk_count(PyObject* size, PyObject* chunk_size, int64_t& out) {
    py::Ref quotient = py::Ref::steal(PyNumber_TrueDivide(size, chunk_size));
    if (!quotient) return -1;
    py::Ref ceil = py::import_attr("math", "ceil");
    if (!ceil) return -1;
    py::Ref count = py::Ref::steal(PyObject_CallOneArg(ceil.get(), quotient.get()));
    if (!count) return -1;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "too many chunks");
        return -1;
    }
    out = n;
    return 0;
}

PyObject* generate_hash_list(PyObject* self, PyObject*) {
    const py::Names& names = py::state().names;
    // Each look-up is checked at once: a later one may run with a pending error and clear it.
    py::Ref size = py::Ref::steal(PyObject_GetAttr(self, names.file_size.get()));
    if (!size) return nullptr;
    py::Ref chunk = py::Ref::steal(PyObject_GetAttr(self, names.chunk_size.get()));
    if (!chunk) return nullptr;
    py::Ref hash_list = py::Ref::steal(PyObject_GetAttr(self, names.hash_list.get()));
    if (!hash_list) return nullptr;
    int64_t count = 0;
    if (chunk_count(size.get(), chunk.get(), count) < 0) return nullptr;
    if (count <= 0) Py_RETURN_NONE;

    py::Ref chunk_index = py::Ref::steal(PyNumber_Index(chunk.get()));
    if (!chunk_index) return nullptr;
    int overflow = 0;
    long long chunk_size = PyLong_AsLongLongAndOverflow(chunk_index.get(), &overflow);
    if (chunk_size == -1 && PyErr_Occurred()) return nullptr;
    if (overflow > 0) chunk_size = INT64_MAX;  // larger than any file: one read takes it all

    py::Ref file = py::Ref::steal(PyObject_GetAttr(self, names.file.get()));
    if (!file) return nullptr;
    const int fd = PyObject_AsFileDescriptor(file.get());  // calls fileno(), checks the range
    if (fd < 0) return nullptr;

    // The chunks are read from the file's current position on, as sequential reads would.
    const off_t position = lseek(fd, 0, SEEK_CUR);
    uint64_t offset = position > 0 ? static_cast<uint64_t>(position) : 0;

    fingerprint::Buffer scratch;
    std::vector<hash::sha256::Digest> digests;
    for (uint64_t first = 0; first < static_cast<uint64_t>(count);) {
        const uint64_t n = std::min<uint64_t>(kDigestBatch, static_cast<uint64_t>(count) - first);
        digests.resize(n);
        uint64_t bytes_read = 0;
        const int err = py::without_gil([&] {
            return fingerprint::hash_chunks_at(fd, chunk_size, offset, n, digests.data(), scratch,
                                               &bytes_read);
        });
        offset += bytes_read;
        if (err != 0) {
            py::Ref name = py::Ref::steal(PyObject_GetAttrString(file.get(), "name"));
            if (name) py::raise(py::os_error(err, name.get()));
            return nullptr;
        }
        for (const hash::sha256::Digest& d : digests) {
            char hex[64];
            hash::sha256::to_hex(d, hex);
            py::Ref text = py::ascii_text(hex, 64);
            if (!text || PyList_Append(hash_list.get(), text.get()) < 0) return nullptr;
        }
        first += n;
        if (PyErr_CheckSignals() < 0) return nullptr;  // Ctrl-C between batches
    }
    // Leave the read position where sequential reads of the chunks would have left it.
    lseek(fd, static_cast<off_t>(std::min<uint64_t>(offset, INT64_MAX)), SEEK_SET);
    Py_RETURN_NONE;
}

// SHA-256 hex digest of the concatenated text of hash_list[start::step].
PyObject* row_digest(PyObject* hash_list, Py_ssize_t start, Py_ssize_t step) {
    hash::sha256::Hasher hasher;
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(hash_list); i += step) {
        PyObject* item = PyList_GET_ITEM(hash_list, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         (i - start) / step, Py_TYPE(item)->tp_name);
            return nullptr;
        }
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &len);
        if (!utf8) return nullptr;
        hasher.update(utf8, static_cast<size_t>(len));
        if (step > PY_SSIZE_T_MAX - i) break;
    }
    char hex[64];
    hash::sha256::to_hex(hasher.finish(), hex);
    return py::ascii_text(hex, 64).release();
}

PyObject* generate_hash_fingerprint(PyObject* self, PyObject*) {
    const py::Names& names = py::state().names;
    py::Ref hash_list = py::Ref::steal(PyObject_GetAttr(self, names.hash_list.get()));
    py::Ref step_obj = py::Ref::steal(PyObject_GetAttr(self, names.handler_step.get()));
    if (!hash_list || !step_obj) return nullptr;
    py::Ref step_index = py::Ref::steal(PyNumber_Index(step_obj.get()));
    if (!step_index) return nullptr;
    Py_ssize_t step = PyLong_AsSsize_t(step_index.get());
    if (step == -1 && PyErr_Occurred()) return nullptr;
    py::Ref list = py::Ref::steal(PySequence_List(hash_list.get()));
    py::Ref hashes = py::Ref::steal(PyList_New(0));
    if (!list || !hashes) return nullptr;
    for (Py_ssize_t s = 0; s < step; ++s) {
        py::Ref digest = py::Ref::steal(row_digest(list.get(), s, step));
        if (!digest) return nullptr;
        py::Ref entry = py::Ref::steal(PyList_New(1));
        if (!entry) return nullptr;
        PyList_SET_ITEM(entry.get(), 0, digest.release());
        if (PyList_Append(hashes.get(), entry.get()) < 0) return nullptr;
    }
    py::Ref node = py::Ref::steal(PyObject_GetAttr(self, names.node.get()));
    if (!node) return nullptr;
    py::Ref r =
        py::Ref::steal(PyObject_CallMethod(node.get(), "set_fingerprint", "O", hashes.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// Releasing the handler closes its file (deterministically, and without a ResourceWarning).
PyObject* release(PyObject* self, PyObject*) {
    py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    PyObject* file = PyDict_GetItemWithError(dict.get(), py::state().names.file.get());  // borrowed
    if (file) {
        py::Ref r = py::Ref::steal(PyObject_CallMethod(file, "close", nullptr));
        if (!r) PyErr_WriteUnraisable(file);
    }
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    py::method<handler_init>("__init__", METH_VARARGS | METH_KEYWORDS,
                             "__init__($self, node, chunk_size=4096, transformation_step=2)\n--\n\n"
                             "Prepares the fingerprinting of one FileNode."),
    py::method<release>("__del__", METH_NOARGS,
                        "__del__($self, /)\n--\n\n"
                        "Closes the handler's file, if it opened one."),
    py::method<open_file>(attr::kOpenFile, METH_O,
                          "_open_file($self, initial_path, /)\n--\n\n"
                          "Opens the node's file below initial_path for reading; records its "
                          "size."),
    py::method<generate_hash_list>(
        attr::kGenerateHashList, METH_NOARGS,
        "_generate_hash_list($self, /)\n--\n\n"
        "Appends the hex SHA-256 digest of each chunk of the open file to the hash list."),
    py::method<generate_hash_fingerprint>(
        attr::kGenerateHashFingerprint, METH_NOARGS,
        "_generate_hash_fingerprint($self, /)\n--\n\n"
        "Sets the node's fingerprint: for each of the transformation_step rows, the digest\n"
        "of the concatenated chunk digests hash_list[row::step]."),
};

constexpr const char kClassDoc[] =
    "Fingerprints one file into its FileNode: _open_file, _generate_hash_list, then\n"
    "_generate_hash_fingerprint.";

}  // namespace

int init_node_handling(PyObject* m) {
    py::Ref& cls = py::state().handler_class;
    if (!cls) {
        cls = py::make_class("mavelin.core.node_handling", "FileNodeHandler", kMethods,
                             std::size(kMethods), kClassDoc);
        if (!cls) return -1;
    }
    if (py::import_modules(m, {"os", "math"}) < 0 ||
        py::import_names(m, "mavelin.core.hashing", {attr::kGenerateHash}) < 0 ||
        py::import_names(m, certificate_format::kNodeModule, {certificate_format::kNodeClass}) < 0)
        return -1;
    return py::set_attr(m, "FileNodeHandler", cls.get());
}

}  // namespace mavelin::core
