// mavelin.core.models: the FileNode record, a dataclass built at load time.
#include "python/mavelin/core/models.h"

#include "engine/certificate_format.h"
#include "python/capi/classes.h"
#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/capi/state.h"
#include "python/package_tree.h"

namespace mavelin::models {
namespace {

constexpr long kDefaultChunkSize = certificate_format::kDefaultChunkSize;
constexpr long kDefaultStep = certificate_format::kDefaultStep;

PyObject* set_fingerprint(PyObject* self, PyObject* fingerprint) {
    if (PyObject_SetAttr(self, py::state().names.fingerprint.get(), fingerprint) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_fingerprint(PyObject* self, PyObject*) {
    return PyObject_GetAttr(self, py::state().names.fingerprint.get());
}

PyObject* to_text(PyObject* self, PyObject*) {
    py::Ref id = py::Ref::steal(PyObject_GetAttr(self, py::state().names.id.get()));
    if (!id) return nullptr;
    return PyUnicode_FromFormat("File %S", id.get());
}

PyMethodDef kMethods[] = {
    py::method<set_fingerprint>("set_fingerprint", METH_O,
                                "set_fingerprint($self, fingerprint, /)\n--\n\n"
                                "Stores the file's fingerprint: one [hex digest] list per row."),
    py::method<get_fingerprint>("get_fingerprint", METH_NOARGS,
                                "get_fingerprint($self, /)\n--\n\n"
                                "The stored fingerprint (AttributeError when none was set)."),
    py::method<to_text>("__str__", METH_NOARGS,
                        "__str__($self, /)\n--\n\n"
                        "'File <id>'."),
};

constexpr const char kClassDoc[] =
    "One file of a signed tree: its number in walk order, its path relative to the tree's\n"
    "top, and, once computed, its fingerprint (set_fingerprint / get_fingerprint).";

py::Ref build_class() {
    const py::Names& names = py::state().names;
    py::Ref ns = py::Ref::steal(PyDict_New());
    py::Ref annotations = py::Ref::steal(PyDict_New());
    py::Ref path_like = py::import_attr("os", "PathLike");
    py::Ref doc = py::Ref::steal(PyUnicode_FromString(kClassDoc));
    if (!ns || !annotations || !path_like || !doc) return {};
    py::Ref path_type =
        py::Ref::steal(PyNumber_Or(path_like.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    if (!path_type) return {};
    if (PyDict_SetItem(annotations.get(), names.id.get(),
                       reinterpret_cast<PyObject*>(&PyLong_Type)) < 0 ||
        PyDict_SetItem(annotations.get(), names.file_path.get(), path_type.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0)
        return {};
    py::Ref cls =
        py::make_class(certificate_format::kNodeModule, certificate_format::kNodeClass, ns.get());
    if (!cls) return {};
    for (PyMethodDef& def : kMethods)
        if (py::add_method(cls.get(), &def) < 0) return {};
    py::Ref dataclass = py::import_attr("dataclasses", "dataclass");
    if (!dataclass) return {};
    return py::Ref::steal(PyObject_CallOneArg(dataclass.get(), cls.get()));
}

}  // namespace

PyObject* filenode_class() {
    py::Ref& cls = py::state().filenode_class;
    if (!cls && !py::import(certificate_format::kNodeModule)) return nullptr;
    return cls.get();
}

py::Ref new_filenode(PyObject* id, PyObject* file_path) {
    PyObject* cls = filenode_class();
    if (!cls) return {};
    const py::Names& names = py::state().names;
    // What the generated constructor does, without running Python code for every record.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    // The instance's own dict is filled in place: replacing it (PyObject_GenericSetDict) loses
    // the attributes on 3.13, whose instances keep their attributes inline until asked for it.
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    if (!no_args) return {};
    py::Ref node = py::Ref::steal(type->tp_new(type, no_args.get(), nullptr));
    if (!node) return {};
    py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(node.get(), nullptr));
    if (!dict || PyDict_SetItem(dict.get(), names.id.get(), id) < 0 ||
        PyDict_SetItem(dict.get(), names.file_path.get(), file_path) < 0)
        return {};
    return node;
}

py::Ref node_key(PyObject* id) {
    return py::Ref::steal(PyUnicode_FromFormat("%s%S", certificate_format::kNodeKeyPrefix, id));
}

int store_node(PyObject* table, PyObject* node) {
    py::Ref id = py::Ref::steal(PyObject_GetAttr(node, py::state().names.id.get()));
    if (!id) return -1;
    py::Ref key = node_key(id.get());
    return key ? PyObject_SetItem(table, key.get(), node) : -1;
}

int set_chunking(PyObject* self, PyObject* chunk_attr, PyObject* chunk_size, PyObject* step_attr,
                 PyObject* step) {
    py::Ref default_chunk, default_step;
    if (!chunk_size) {
        default_chunk = py::Ref::steal(PyLong_FromLong(kDefaultChunkSize));
        if (!default_chunk) return -1;
        chunk_size = default_chunk.get();
    }
    if (!step) {
        default_step = py::Ref::steal(PyLong_FromLong(kDefaultStep));
        if (!default_step) return -1;
        step = default_step.get();
    }
    if (PyObject_SetAttr(self, chunk_attr, chunk_size) < 0) return -1;
    return PyObject_SetAttr(self, step_attr, step);
}

}  // namespace mavelin::models

namespace mavelin::core {

int init_models(PyObject* m) {
    py::Ref& cls = py::state().filenode_class;
    if (!cls) {
        cls = models::build_class();
        if (!cls) return -1;
    }
    if (py::import_names(m, "dataclasses", {"dataclass"}) < 0) return -1;
    return py::set_attr(m, certificate_format::kNodeClass, cls.get());
}

}  // namespace mavelin::core
