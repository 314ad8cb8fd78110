// mavelin.core.models: the FileNode record, a dataclass built at load time.
#include "python/mavelin/core/models.h"

#include "python/capi/common.h"
#include "python/package_tree.h"

namespace mavelin::models {

PyObject* kId = nullptr;
PyObject* kFilePath = nullptr;
PyObject* kFingerprint = nullptr;

namespace {

// Kept for the whole process: pickled records refer to this very class object.
PyObject* g_class = nullptr;

PyObject* set_fingerprint(PyObject* self, PyObject* fingerprint) {
    if (PyObject_SetAttr(self, kFingerprint, fingerprint) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_fingerprint(PyObject* self, PyObject*) {
    return PyObject_GetAttr(self, kFingerprint);
}

PyObject* to_text(PyObject* self, PyObject*) {
    py::Ref id = py::Ref::steal(PyObject_GetAttr(self, kId));
    if (!id) return nullptr;
    return PyUnicode_FromFormat("File %S", id.get());
}

PyMethodDef kMethods[] = {
    {"set_fingerprint", set_fingerprint, METH_O, nullptr},
    {"get_fingerprint", get_fingerprint, METH_NOARGS, nullptr},
    {"__str__", to_text, METH_NOARGS, nullptr},
};

int intern_names() {
    if (kId) return 0;
    kId = PyUnicode_InternFromString("id");
    kFilePath = PyUnicode_InternFromString("file_path");
    kFingerprint = PyUnicode_InternFromString("_FileNode__hash_fingerprint");
    return (kId && kFilePath && kFingerprint) ? 0 : -1;
}

py::Ref build_class() {
    py::Ref ns = py::Ref::steal(PyDict_New());
    py::Ref annotations = py::Ref::steal(PyDict_New());
    py::Ref path_like = py::import_attr("os", "PathLike");
    if (!ns || !annotations || !path_like) return {};
    py::Ref path_type =
        py::Ref::steal(PyNumber_Or(path_like.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    if (!path_type) return {};
    if (PyDict_SetItem(annotations.get(), kId, reinterpret_cast<PyObject*>(&PyLong_Type)) < 0 ||
        PyDict_SetItem(annotations.get(), kFilePath, path_type.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0)
        return {};
    py::Ref cls = py::make_class("mavelin.core.models", "FileNode", ns.get());
    if (!cls) return {};
    for (PyMethodDef& def : kMethods)
        if (py::add_method(cls.get(), &def) < 0) return {};
    py::Ref dataclass = py::import_attr("dataclasses", "dataclass");
    if (!dataclass) return {};
    return py::Ref::steal(PyObject_CallOneArg(dataclass.get(), cls.get()));
}

}  // namespace

PyObject* filenode_class() {
    if (!g_class && !py::import("mavelin.core.models")) return nullptr;
    return g_class;
}

py::Ref new_filenode(PyObject* id, PyObject* file_path) {
    PyObject* cls = filenode_class();
    if (!cls) return {};
    // What the generated constructor does, without running Python code for every record.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!no_args || !dict || PyDict_SetItem(dict.get(), kId, id) < 0 ||
        PyDict_SetItem(dict.get(), kFilePath, file_path) < 0)
        return {};
    py::Ref node = py::Ref::steal(type->tp_new(type, no_args.get(), nullptr));
    if (!node || PyObject_GenericSetDict(node.get(), dict.get(), nullptr) < 0) return {};
    return node;
}

}  // namespace mavelin::models

namespace mavelin::modules {

int init_models(PyObject* m) {
    if (models::intern_names() < 0) return -1;
    if (!models::g_class) {
        py::Ref cls = models::build_class();
        if (!cls) return -1;
        models::g_class = cls.release();
    }
    py::Ref dataclass = py::import_attr("dataclasses", "dataclass");
    if (!dataclass || py::set_attr(m, "dataclass", dataclass.get()) < 0) return -1;
    return py::set_attr(m, "FileNode", models::g_class);
}

}  // namespace mavelin::modules
