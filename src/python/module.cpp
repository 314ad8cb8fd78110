// Entry point of the extension module: makes `mavelin` a package and loads its subpackages.
#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/capi/state.h"
#include "python/importer.h"
#include "python/package_tree.h"

namespace mavelin {
namespace {

// The binding's state is one per process (py::State) and belongs to the main interpreter: a
// subinterpreter gets a clear ImportError and the main interpreter's state is untouched.
// Checked where the module is made and again where it is filled, since some versions run the
// first in the main interpreter on a subinterpreter's behalf.
int refuse_subinterpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(
        PyExc_ImportError,
        "mavelin can only be imported in the main interpreter, not in a subinterpreter");
    return -1;
}

// Module attribute look-up of last resort: `__version__` is read from the installed
// distribution's metadata when first asked for, so start-up does not pay for it.
PyObject* package_getattr(PyObject* module, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__version__") == 0) {
        py::Ref version = py::import_attr("importlib.metadata", "version");
        if (!version) return nullptr;
        py::Ref text = py::Ref::steal(PyObject_CallFunction(version.get(), "s", "mavelin"));
        if (!text) {
            // Not installed as a distribution (loaded from a build tree): no version known.
            if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
                !PyErr_ExceptionMatches(PyExc_LookupError))
                return nullptr;
            PyErr_Clear();
            PyErr_SetString(PyExc_AttributeError,
                            "mavelin.__version__: the mavelin distribution is not installed");
            return nullptr;
        }
        if (PyObject_SetAttr(module, name, text.get()) < 0) return nullptr;
        return text.release();
    }
    PyErr_Format(PyExc_AttributeError, "module 'mavelin' has no attribute %R", name);
    return nullptr;
}

PyMethodDef kGetattrDef = py::method<package_getattr>(
    "__getattr__", METH_O,
    "__getattr__(name, /)\n--\n\n"
    "Attributes made when first asked for: __version__, the installed distribution's version.");

int exec_package(PyObject* module) {
    if (refuse_subinterpreter() < 0 || py::intern_names() < 0) return -1;
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
    py::Ref name = py::Ref::steal(PyUnicode_FromString("mavelin"));
    py::Ref getattr_fn = py::Ref::steal(PyCFunction_NewEx(&kGetattrDef, module, name.get()));
    if (!getattr_fn || py::set_attr(module, "__getattr__", getattr_fn.get()) < 0) return -1;

    return package_tree::load_children(module, "mavelin");
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(py::entry<exec_package>)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

constexpr const char kDoc[] =
    "Signs a directory tree with a certificate of SHA-256 chunk fingerprints, and checks a\n"
    "tree against its certificate later.\n\n"
    "Procedures: mavelin.utils.sign_folder, mavelin.utils.validate_certificate.\n"
    "Command line: python -m mavelin.cli.";

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "mavelin", kDoc, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

// The extension carries its own copy of the unwinder (static libgcc), whose register table is
// filled the first time it throws. A daemon thread the host ends at exit is unwound by the
// system's unwinder, which then calls into our frames' cleanups through our copy: with the
// table still empty, that aborts the process. One exception thrown and caught here fills it.
void prepare_unwinder() {
    try {
        throw 0;
    } catch (int) {
    }
}

PyObject* init_module() {
    prepare_unwinder();
    if (refuse_subinterpreter() < 0) return nullptr;
    return PyModuleDef_Init(&kModule);
}

}  // namespace
}  // namespace mavelin

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_mavelin(void) {
    return mavelin::py::entry<mavelin::init_module>();
}
