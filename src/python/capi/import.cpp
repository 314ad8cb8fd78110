// Modules and their attributes: imports, attribute access, what a module exposes.
#include "python/capi/import.h"

#include <cstring>

namespace mavelin::py {

Ref import(const char* name) {
    return Ref::steal(PyImport_ImportModule(name));
}

Ref import_attr(const char* module, const char* attr) {
    Ref mod = import(module);
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttrString(mod.get(), attr));
}

int set_attr(PyObject* module, const char* name, PyObject* value) {
    return PyObject_SetAttrString(module, name, value);
}

Ref attr(PyObject* o, const char* name) {
    return Ref::steal(PyObject_GetAttrString(o, name));
}

int import_modules(PyObject* module, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        Ref mod = import(name);
        const char* dot = std::strrchr(name, '.');
        if (!mod || set_attr(module, dot ? dot + 1 : name, mod.get()) < 0) return -1;
    }
    return 0;
}

namespace {

// A module's __getattr__ for the modules it imports lazily; `self` is (module, names).
PyObject* lazy_module_attr(PyObject* self, PyObject* name) noexcept {
    PyObject* module = PyTuple_GET_ITEM(self, 0);
    const int known = PySequence_Contains(PyTuple_GET_ITEM(self, 1), name);
    if (known < 0) return nullptr;
    if (known == 0) {
        Ref modname = attr(module, "__name__");
        if (!modname) return nullptr;
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", modname.get(),
                     name);
        return nullptr;
    }
    Ref value = Ref::steal(PyImport_Import(name));
    if (!value || PyObject_SetAttr(module, name, value.get()) < 0) return nullptr;
    return value.release();
}

PyMethodDef lazy_module_attr_def = {
    "__getattr__", lazy_module_attr, METH_O,
    "__getattr__(name)\n--\n\nThe standard modules this module uses, imported on first use."};

}  // namespace

int import_modules_lazily(PyObject* module, std::initializer_list<const char*> names) {
    Ref list = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return -1;
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* s = PyUnicode_FromString(name);
        if (s == nullptr) return -1;
        PyTuple_SET_ITEM(list.get(), i++, s);
    }
    Ref self = Ref::steal(PyTuple_Pack(2, module, list.get()));
    Ref modname = attr(module, "__name__");
    if (!self || !modname) return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(&lazy_module_attr_def, self.get(), modname.get()));
    return fn ? set_attr(module, "__getattr__", fn.get()) : -1;
}

int import_names(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    Ref mod = import(source);
    if (!mod) return -1;
    for (const char* name : names) {
        Ref value = attr(mod.get(), name);
        if (!value || set_attr(module, name, value.get()) < 0) return -1;
    }
    return 0;
}

int add_function(PyObject* module, PyMethodDef* def) {
    Ref modname = attr(module, "__name__");
    if (!modname) return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
    return fn ? set_attr(module, def->ml_name, fn.get()) : -1;
}

}  // namespace mavelin::py
