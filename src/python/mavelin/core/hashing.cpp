// mavelin.core.hashing: SHA-256 of a byte string, and the choice of implementation.
#include <cstring>

#include "engine/hash/sha256.h"
#include "python/capi/common.h"
#include "python/mavelin/core/hash_object.h"
#include "python/package_tree.h"

namespace mavelin::modules {
namespace {

constexpr hash::sha256::Impl kImpls[] = {hash::sha256::Impl::kPortable, hash::sha256::Impl::kShaNi};

PyObject* generate_hash(PyObject*, PyObject* data) {
    return hash_object::create(data);
}

PyObject* implementations(PyObject*, PyObject*) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (hash::sha256::Impl impl : kImpls) {
        if (!hash::sha256::available(impl)) continue;
        py::Ref name = py::Ref::steal(PyUnicode_FromString(hash::sha256::name(impl)));
        if (!name || PyList_Append(list.get(), name.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* force_implementation(PyObject*, PyObject* name) {
    const char* wanted = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!wanted) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "implementation name must be str");
        return nullptr;
    }
    const char* previous = hash::sha256::name(hash::sha256::active());
    for (hash::sha256::Impl impl : kImpls) {
        if (std::strcmp(hash::sha256::name(impl), wanted) != 0) continue;
        if (!hash::sha256::force(impl)) break;
        return PyUnicode_FromString(previous);
    }
    PyErr_Format(PyExc_ValueError, "SHA-256 implementation %R is not available here", name);
    return nullptr;
}

PyMethodDef kFunctions[] = {
    {"_generate_hash", generate_hash, METH_O, nullptr},
    {"_implementations", implementations, METH_NOARGS,
     "Names of the SHA-256 implementations this processor can run."},
    {"_force_implementation", force_implementation, METH_O,
     "Selects a SHA-256 implementation by name; returns the previous one."},
};

}  // namespace

int init_hashing(PyObject* m) {
    py::Ref modname = py::Ref::steal(PyObject_GetAttrString(m, "__name__"));
    if (!modname || !hash_object::type()) return -1;
    for (PyMethodDef& def : kFunctions) {
        py::Ref fn = py::Ref::steal(PyCFunction_NewEx(&def, nullptr, modname.get()));
        if (!fn || py::set_attr(m, def.ml_name, fn.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace mavelin::modules
