// mavelin.core.file_managing: FileManager, the scan, the fingerprint pass and the certificate.
#include "python/mavelin/core/file_managing.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/fingerprint/parallel_runner.h"
#include "engine/fs/tree_walk.h"
#include "engine/table/node_table.h"
#include "python/capi/attribute_names.h"
#include "python/capi/classes.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/gc.h"
#include "python/capi/gil.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/certificate/writer.h"
#include "python/mavelin/core/models.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"
#include "python/package_tree.h"

namespace mavelin::file_managing {
namespace {

PyObject* manager_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"initial_path", "chunk_size", "transformation_step", nullptr};
    PyObject *initial_path, *chunk_size = nullptr, *step = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:FileManager", const_cast<char**>(kwlist),
                                     &initial_path, &chunk_size, &step))
        return nullptr;
    const py::Names& n = py::state().names;
    py::Ref table = py::Ref::steal(PyDict_New());
    if (!table || PyObject_SetAttr(self, n.initial_path.get(), initial_path) < 0 ||
        models::set_chunking(self, n.chunk_size.get(), chunk_size, n.manager_step.get(), step) <
            0 ||
        PyObject_SetAttr(self, n.file_nodes.get(), table.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// Whether a folder left out of the scan holds files that are not the certificate itself (the
// archive and the transient payload in the top's own "Certificates" folder).
bool holds_user_files(const fs::LeftOutFolder& folder) {
    if (folder.rel != certificate_format::kFolderName) return !folder.files.empty();
    for (const std::string& name : folder.files)
        if (name != certificate_format::kArchiveName && name != certificate_format::kPayloadName)
            return true;
    return false;
}

PyObject* parse_directory(PyObject* self, PyObject*) {
    const py::Names& n = py::state().names;
    py::Ref initial = py::Ref::steal(PyObject_GetAttr(self, n.initial_path.get()));
    py::Ref table = py::Ref::steal(PyObject_GetAttr(self, n.file_nodes.get()));
    if (!initial || !table) return nullptr;
    std::string top;
    if (py::encode_path(initial.get(), top) < 0) return nullptr;
    table::NodeTable nodes;
    std::vector<fs::LeftOutFolder> left_out;
    std::vector<fs::WalkError> walk_errors;
    std::vector<std::string> dangling;
    bool failed = false;
    std::atomic<bool> cancel{false};
    const fs::SkippedFiles* skipped = passes::skipped_files();  // a procedure's own files
    auto work = [&]() noexcept {
        try {
            nodes = table::scan_tree(top, 0, &walk_errors, &cancel, &left_out, &dangling, skipped);
        } catch (...) {
            failed = true;
        }
    };
    if (py::run_interruptible(work, cancel) < 0) return nullptr;  // Ctrl-C: the table stays
    if (failed) {
        PyErr_NoMemory();
        return nullptr;
    }
    py::Ref uncertified = uncertified_folders(left_out);
    py::Ref errors = scan_errors(initial.get(), walk_errors);
    py::Ref links = uncertified_links(dangling);
    if (!uncertified || !errors || !links ||
        PyObject_SetAttrString(self, attr::kUncertifiedFolders, uncertified.get()) < 0 ||
        PyObject_SetAttrString(self, attr::kScanErrors, errors.get()) < 0 ||
        PyObject_SetAttrString(self, attr::kUncertifiedLinks, links.get()) < 0)
        return nullptr;
    // The walk's table becomes records at the edge, one per node under the key of its id.
    py::GcPause gc_pause;
    long long id = 0;
    for (size_t i = 0; i < nodes.size(); ++i) {
        py::Ref id_obj = py::Ref::steal(PyLong_FromLongLong(++id));
        if (!id_obj) return nullptr;
        py::Ref path = py::decode_path(nodes.path(i));
        if (!path) return nullptr;
        py::Ref node = models::new_filenode(id_obj.get(), path.get());
        py::Ref key = models::node_key(id_obj.get());
        if (!node || !key || PyObject_SetItem(table.get(), key.get(), node.get()) < 0)
            return nullptr;
    }
    py::Ref count = py::Ref::steal(PyLong_FromLongLong(id));
    if (!count || PyObject_SetAttr(self, n.files_count.get(), count.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The work function: fingerprints one node through FileNodeHandler and returns it.
PyObject* generate_file_fingerprint(PyObject* self, PyObject* node) {
    const py::Names& n = py::state().names;
    py::Ref handler_cls = py::import_attr("mavelin.core.node_handling", "FileNodeHandler");
    py::Ref chunk = py::Ref::steal(PyObject_GetAttr(self, n.chunk_size.get()));
    py::Ref step = py::Ref::steal(PyObject_GetAttr(self, n.manager_step.get()));
    py::Ref initial = py::Ref::steal(PyObject_GetAttr(self, n.initial_path.get()));
    if (!handler_cls || !chunk || !step || !initial) return nullptr;
    py::Ref handler = py::Ref::steal(
        PyObject_CallFunctionObjArgs(handler_cls.get(), node, chunk.get(), step.get(), nullptr));
    if (!handler) return nullptr;
    py::Ref r =
        py::Ref::steal(PyObject_CallMethod(handler.get(), attr::kOpenFile, "O", initial.get()));
    if (!r) return nullptr;
    r = py::Ref::steal(PyObject_CallMethod(handler.get(), attr::kGenerateHashList, nullptr));
    if (!r) return nullptr;
    r = py::Ref::steal(PyObject_CallMethod(handler.get(), attr::kGenerateHashFingerprint, nullptr));
    if (!r) return nullptr;
    return PyObject_GetAttrString(handler.get(), attr::kNode);
}

// The completion step: puts every node back under the key made from its id.
PyObject* store_updated_node(PyObject* self, PyObject* nodes) {
    py::Ref table = py::Ref::steal(PyObject_GetAttr(self, py::state().names.file_nodes.get()));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(nodes));
    if (!table || !iter) return nullptr;
    while (py::Ref node = py::Ref::steal(PyIter_Next(iter.get())))
        if (models::store_node(table.get(), node.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* generate_fingerprints(PyObject* self, PyObject*) {
    if (passes::fingerprint_table(self, true) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save_certificate(PyObject* self, PyObject*) {
    PyObject* node_class = models::filenode_class();
    if (!node_class || certificate::save(self, node_class) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* archive_certificate(PyObject* self, PyObject*) {
    if (certificate::archive(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    py::method<manager_init>(
        "__init__", METH_VARARGS | METH_KEYWORDS,
        "__init__($self, initial_path, chunk_size=4096, transformation_step=2)\n--\n\n"
        "Prepares the signing of the tree at initial_path."),
    py::method<parse_directory>(
        attr::kParseDirectory, METH_NOARGS,
        "_parse_directory($self, /)\n--\n\n"
        "Walks the tree and fills the node table with one FileNode per file (ids from 1 in\n"
        "walk order, keys 'node_id_<id>'); sets files_count."),
    py::method<generate_fingerprints>(
        attr::kGenerateFingerprints, METH_NOARGS,
        "_generate_fingerprints($self, /)\n--\n\n"
        "Fingerprints every node of the table in parallel. The table is updated only when\n"
        "every file could be read; the others are listed in _fingerprint_errors."),
    py::method<generate_file_fingerprint>(
        attr::kGenerateFileFingerprint, METH_O,
        "_generate_file_fingerprint($self, node, /)\n--\n\n"
        "Fingerprints one node through a FileNodeHandler and returns it."),
    py::method<store_updated_node>(
        "_store_updated_node", METH_O,
        "_store_updated_node($self, nodes, /)\n--\n\n"
        "Puts each of the iterable `nodes` back into the table under the key of its id."),
    py::method<save_certificate>("_save_certificate", METH_NOARGS,
                                 "_save_certificate($self, /)\n--\n\n"
                                 "Writes the node table's payload into the certificate folder."),
    py::method<archive_certificate>(
        "_archive_certificate", METH_NOARGS,
        "_archive_certificate($self, /)\n--\n\n"
        "Replaces the certificate archive with one that holds the payload."),
};

constexpr const char kClassDoc[] =
    "Signs a tree: the scan into a node table, the fingerprint pass and the certificate.";

}  // namespace

py::Ref uncertified_folders(const std::vector<fs::LeftOutFolder>& left_out) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const fs::LeftOutFolder& folder : left_out) {
        if (!holds_user_files(folder)) continue;
        py::Ref rel = py::decode_path(folder.rel);
        if (!rel || PyList_Append(list.get(), rel.get()) < 0) return {};
    }
    return list;
}

py::Ref uncertified_links(const std::vector<std::string>& dangling) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const std::string& link : dangling) {
        py::Ref path = py::decode_path(link);
        if (!path || PyList_Append(list.get(), path.get()) < 0) return {};
    }
    return list;
}

py::Ref scan_errors(PyObject* initial, const std::vector<fs::WalkError>& errors) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return {};
    for (const fs::WalkError& e : errors) {
        py::Ref rel = py::decode_path(e.rel.empty() ? std::string(".") : e.rel);
        if (!rel) return {};
        py::Ref full = e.rel.empty() ? py::Ref::borrow(initial) : py::join(initial, rel.get());
        if (!full) return {};
        py::Ref exc = py::os_error(e.code, full.get());
        if (!exc) return {};
        py::Ref pair = py::Ref::steal(PyTuple_Pack(2, rel.get(), exc.get()));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return {};
    }
    return list;
}

}  // namespace mavelin::file_managing

namespace mavelin::core {

int init_file_managing(PyObject* m) {
    using namespace file_managing;
    if (py::import_modules(m, {"os"}) < 0 ||
        py::import_modules_lazily(m, {"pickle", "zipfile"}) < 0)
        return -1;
    // multiprocessing.cpu_count() is os.cpu_count() where that knows the number; the package
    // only asks multiprocessing (a slow import) for the error it raises where it does not.
    py::Ref os_count = py::import_attr("os", "cpu_count");
    if (!os_count) return -1;
    py::Ref count = py::Ref::steal(PyObject_CallNoArgs(os_count.get()));
    if (count && count.get() == Py_None) {
        py::Ref cpu_count = py::import_attr("multiprocessing", "cpu_count");
        if (!cpu_count) return -1;
        count = py::Ref::steal(PyObject_CallNoArgs(cpu_count.get()));
    }
    if (!count || py::set_attr(m, "MAX_PROCESSES", count.get()) < 0) return -1;
    if (py::import_names(m, certificate_format::kNodeModule, {certificate_format::kNodeClass}) <
            0 ||
        py::import_names(m, "mavelin.core.node_handling", {"FileNodeHandler"}) < 0)
        return -1;
    py::Ref& cls = py::state().manager_class;
    if (!cls) {
        cls = py::make_class("mavelin.core.file_managing", "FileManager", kMethods,
                             std::size(kMethods), kClassDoc);
        if (!cls) return -1;
    }
    return py::set_attr(m, "FileManager", cls.get());
}

}  // namespace mavelin::core
