// Placeholder modules whose procedures are not built yet.
#include "python/common.h"
#include "python/modules.h"

namespace mavelin::modules {
namespace {

PyObject* not_implemented(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not available yet");
    return nullptr;
}

PyMethodDef kSign = {"sign_folder",
                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(not_implemented)),
                     METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kValidate = {
    "validate_certificate",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(not_implemented)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

int add(PyObject* m, PyMethodDef* def) {
    py::Ref fn = py::Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
    return fn ? py::set_attr(m, def->ml_name, fn.get()) : -1;
}

}  // namespace

int init_file_managing(PyObject*) { return 0; }
int init_validation(PyObject*) { return 0; }
int init_sign_folder(PyObject* m) { return add(m, &kSign); }
int init_validate_certificate(PyObject* m) { return add(m, &kValidate); }

}  // namespace mavelin::modules
