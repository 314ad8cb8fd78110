// mavelin.core.file_managing: FileManager, the scan, the fingerprint pass and the certificate.
#include "python/mavelin/core/file_managing.h"

#include <iterator>
#include <string>
#include <vector>

#include "engine/fingerprint/parallel_runner.h"
#include "engine/fs/tree_walk.h"
#include "python/capi/common.h"
#include "python/certificate/writer.h"
#include "python/mavelin/core/models.h"
#include "python/package_tree.h"

namespace mavelin::file_managing {
namespace {

PyObject* g_class = nullptr;

struct Names {
    PyObject *initial_path, *chunk_size, *step, *file_nodes, *files_count, *errors;
} n;

int intern_names() {
    if (n.initial_path) return 0;
    n.initial_path = PyUnicode_InternFromString("_initial_path");
    n.chunk_size = PyUnicode_InternFromString("_chunk_size");
    n.step = PyUnicode_InternFromString("_transformation_step");
    n.file_nodes = PyUnicode_InternFromString("_file_nodes");
    n.files_count = PyUnicode_InternFromString("files_count");
    n.errors = PyUnicode_InternFromString("_fingerprint_errors");
    return (n.initial_path && n.chunk_size && n.step && n.file_nodes && n.files_count && n.errors)
               ? 0
               : -1;
}

py::Ref node_key(PyObject* id) {
    return py::Ref::steal(PyUnicode_FromFormat("node_id_%S", id));
}

PyObject* manager_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"self", "initial_path", "chunk_size", "transformation_step",
                                   nullptr};
    PyObject *self, *initial_path, *chunk_size = nullptr, *step = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:FileManager", const_cast<char**>(kwlist),
                                     &self, &initial_path, &chunk_size, &step))
        return nullptr;
    py::Ref default_chunk = py::Ref::steal(PyLong_FromLong(4096));
    py::Ref default_step = py::Ref::steal(PyLong_FromLong(2));
    py::Ref table = py::Ref::steal(PyDict_New());
    if (!default_chunk || !default_step || !table) return nullptr;
    if (PyObject_SetAttr(self, n.initial_path, initial_path) < 0 ||
        PyObject_SetAttr(self, n.chunk_size, chunk_size ? chunk_size : default_chunk.get()) < 0 ||
        PyObject_SetAttr(self, n.step, step ? step : default_step.get()) < 0 ||
        PyObject_SetAttr(self, n.file_nodes, table.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* parse_directory(PyObject* self, PyObject*) {
    py::Ref initial = py::Ref::steal(PyObject_GetAttr(self, n.initial_path));
    py::Ref table = py::Ref::steal(PyObject_GetAttr(self, n.file_nodes));
    if (!initial || !table) return nullptr;
    std::string top;
    if (py::encode_path(initial.get(), top) < 0) return nullptr;
    std::vector<std::string> paths;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        paths = fs::scan_node_paths(top);
    } catch (...) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) {
        PyErr_NoMemory();
        return nullptr;
    }
    py::GcPause gc_pause;
    long long id = 0;
    for (const std::string& p : paths) {
        py::Ref id_obj = py::Ref::steal(PyLong_FromLongLong(++id));
        if (!id_obj) return nullptr;
        py::Ref path = py::decode_path(p);
        if (!path) return nullptr;
        py::Ref node = models::new_filenode(id_obj.get(), path.get());
        py::Ref key = node_key(id_obj.get());
        if (!node || !key || PyObject_SetItem(table.get(), key.get(), node.get()) < 0)
            return nullptr;
    }
    py::Ref count = py::Ref::steal(PyLong_FromLongLong(id));
    if (!count || PyObject_SetAttr(self, n.files_count, count.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The work function: fingerprints one node through FileNodeHandler and returns it.
PyObject* generate_file_fingerprint(PyObject* self, PyObject* node) {
    py::Ref handler_cls = py::import_attr("mavelin.core.node_handling", "FileNodeHandler");
    py::Ref chunk = py::Ref::steal(PyObject_GetAttr(self, n.chunk_size));
    py::Ref step = py::Ref::steal(PyObject_GetAttr(self, n.step));
    py::Ref initial = py::Ref::steal(PyObject_GetAttr(self, n.initial_path));
    if (!handler_cls || !chunk || !step || !initial) return nullptr;
    py::Ref handler = py::Ref::steal(
        PyObject_CallFunctionObjArgs(handler_cls.get(), node, chunk.get(), step.get(), nullptr));
    if (!handler) return nullptr;
    py::Ref r =
        py::Ref::steal(PyObject_CallMethod(handler.get(), "_open_file", "O", initial.get()));
    if (!r) return nullptr;
    r = py::Ref::steal(PyObject_CallMethod(handler.get(), "_generate_hash_list", nullptr));
    if (!r) return nullptr;
    r = py::Ref::steal(PyObject_CallMethod(handler.get(), "_generate_hash_fingerprint", nullptr));
    if (!r) return nullptr;
    return PyObject_GetAttrString(handler.get(), "_node");
}

// The completion step: puts every node back under the key made from its id.
PyObject* store_updated_node(PyObject* self, PyObject* nodes) {
    py::Ref table = py::Ref::steal(PyObject_GetAttr(self, n.file_nodes));
    py::Ref iter = py::Ref::steal(PyObject_GetIter(nodes));
    if (!table || !iter) return nullptr;
    while (py::Ref node = py::Ref::steal(PyIter_Next(iter.get()))) {
        py::Ref id = py::Ref::steal(PyObject_GetAttr(node.get(), models::kId));
        if (!id) return nullptr;
        py::Ref key = node_key(id.get());
        if (!key || PyObject_SetItem(table.get(), key.get(), node.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* generate_fingerprints(PyObject* self, PyObject*) {
    if (fingerprint_table(self, true) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* save_certificate(PyObject* self, PyObject*) {
    if (certificate_writer::save(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* archive_certificate(PyObject* self, PyObject*) {
    if (certificate_writer::archive(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"_parse_directory", parse_directory, METH_NOARGS, nullptr},
    {"_generate_fingerprints", generate_fingerprints, METH_NOARGS, nullptr},
    {"_generate_file_fingerprint", generate_file_fingerprint, METH_O, nullptr},
    {"_store_updated_node", store_updated_node, METH_O, nullptr},
    {"_save_certificate", save_certificate, METH_NOARGS, nullptr},
    {"_archive_certificate", archive_certificate, METH_NOARGS, nullptr},
};

PyMethodDef kInitDef = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(manager_init)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

}  // namespace mavelin::file_managing

namespace mavelin::modules {

int init_file_managing(PyObject* m) {
    using namespace file_managing;
    if (intern_names() < 0) return -1;
    for (const char* name : {"os", "pickle", "zipfile"}) {
        py::Ref mod = py::import(name);
        if (!mod || py::set_attr(m, name, mod.get()) < 0) return -1;
    }
    py::Ref cpu_count = py::import_attr("multiprocessing", "cpu_count");
    if (!cpu_count) return -1;
    py::Ref count = py::Ref::steal(PyObject_CallNoArgs(cpu_count.get()));
    if (!count || py::set_attr(m, "MAX_PROCESSES", count.get()) < 0) return -1;
    for (const char* name : {"FileNode"}) {
        py::Ref obj = py::import_attr("mavelin.core.models", name);
        if (!obj || py::set_attr(m, name, obj.get()) < 0) return -1;
    }
    py::Ref handler = py::import_attr("mavelin.core.node_handling", "FileNodeHandler");
    if (!handler || py::set_attr(m, "FileNodeHandler", handler.get()) < 0) return -1;
    if (!g_class) {
        py::Ref cls = py::make_class("mavelin.core.file_managing", "FileManager", &kInitDef,
                                     kMethods, std::size(kMethods));
        if (!cls) return -1;
        g_class = cls.release();
    }
    return py::set_attr(m, "FileManager", g_class);
}

}  // namespace mavelin::modules
