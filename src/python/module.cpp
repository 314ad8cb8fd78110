// Entry point of the extension module: makes `mavelin` a package and loads its subpackages.
#include "python/capi/common.h"
#include "python/importer.h"

namespace mavelin {
namespace {

int exec_package(PyObject* module) {
    py::Ref empty = py::Ref::steal(PyList_New(0));
    if (!empty || PyObject_SetAttrString(module, "__path__", empty.get()) < 0) return -1;
    py::Ref spec = py::Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    if (spec && spec.get() != Py_None) {
        py::Ref locations = py::Ref::steal(PyList_New(0));
        if (!locations ||
            PyObject_SetAttrString(spec.get(), "submodule_search_locations", locations.get()) < 0)
            return -1;
    }
    PyErr_Clear();
    py::Ref package = py::Ref::steal(PyUnicode_FromString("mavelin"));
    if (!package || PyObject_SetAttrString(module, "__package__", package.get()) < 0) return -1;

    py::Ref file = py::Ref::steal(PyObject_GetAttrString(module, "__file__"));
    if (!file) {
        PyErr_Clear();
        file = py::Ref::steal(PyUnicode_FromString("mavelin"));
        if (!file) return -1;
    }
    if (importer::install(file.get()) < 0) return -1;

    for (const char* sub : {"mavelin.cli", "mavelin.core", "mavelin.utils"}) {
        if (!py::import(sub)) return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_package)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "mavelin", nullptr, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace mavelin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_mavelin(void) {
    return PyModuleDef_Init(&mavelin::kModule);
}
