// mavelin.core.hashing: SHA-256 of a byte string, and the choice of implementation.
#include <cstring>
#include <new>
#include <stdexcept>

#include "engine/hash/sha256/choice.h"
#include "engine/hash/sha256/sha256.h"
#include "python/capi/attribute_names.h"
#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/mavelin/core/hash_object.h"
#include "python/package_tree.h"

namespace mavelin::core {
namespace {

constexpr hash::sha256::Impl kImpls[] = {hash::sha256::Impl::kPortable, hash::sha256::Impl::kShaNi,
                                         hash::sha256::Impl::kAvx512};

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

// Throws what its argument names, so that tests can see the boundary turn C++ exceptions
// into Python ones: "memory" (std::bad_alloc), "runtime" (std::runtime_error), "other".
PyObject* raise_cpp_exception(PyObject*, PyObject* kind) {
    const char* text = PyUnicode_Check(kind) ? PyUnicode_AsUTF8(kind) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "kind must be str");
        return nullptr;
    }
    if (std::strcmp(text, "memory") == 0) throw std::bad_alloc();
    if (std::strcmp(text, "runtime") == 0) throw std::runtime_error("thrown for a test");
    if (std::strcmp(text, "other") == 0) throw 42;
    PyErr_Format(PyExc_ValueError, "unknown kind %R", kind);
    return nullptr;
}

PyMethodDef kFunctions[] = {
    py::method<generate_hash>(attr::kGenerateHash, METH_O,
                              "_generate_hash(data, /)\n--\n\n"
                              "A SHA-256 hash object that has consumed the bytes-like `data`."),
    py::method<implementations>("_implementations", METH_NOARGS,
                                "_implementations()\n--\n\n"
                                "Names of the SHA-256 implementations this processor can run."),
    py::method<force_implementation>(
        "_force_implementation", METH_O,
        "_force_implementation(name, /)\n--\n\n"
        "Selects a SHA-256 implementation by name; returns the previous one."),
    py::method<raise_cpp_exception>("_raise_cpp_exception", METH_O,
                                    "_raise_cpp_exception(kind, /)\n--\n\n"
                                    "Throws a C++ exception of the given kind (for tests)."),
};

}  // namespace

int init_hashing(PyObject* m) {
    if (!hash_object::type()) return -1;
    for (PyMethodDef& def : kFunctions)
        if (py::add_function(m, &def) < 0) return -1;
    return 0;
}

}  // namespace mavelin::core
