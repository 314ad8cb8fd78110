// The importer that serves every submodule of the package from this one extension module.
#include "python/importer.h"

#include <cstring>
#include <string>

#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/capi/state.h"
#include "python/package_tree.h"

namespace mavelin::importer {
namespace {

using Entry = package_tree::Module;

const Entry* lookup(PyObject* name) {
    return package_tree::find(name);
}

std::string origin_of(const Entry& e) {
    std::string path = py::state().base_dir;
    for (const char* p = e.name; *p; ++p) path.push_back(*p == '.' ? '/' : *p);
    path += e.package ? "/__init__.py" : ".py";
    return path;
}

PyObject* find_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "find_spec() needs a module name");
        return nullptr;
    }
    (void)kw;
    const Entry* e = lookup(args[0]);
    if (!e) Py_RETURN_NONE;
    py::Ref spec_from_loader = py::import_attr("importlib.util", "spec_from_loader");
    if (!spec_from_loader) return nullptr;
    py::Ref origin = py::Ref::steal(PyUnicode_FromString(origin_of(*e).c_str()));
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, args[0], self));
    py::Ref call_kw = py::Ref::steal(Py_BuildValue("{sOsO}", "origin", origin.get(), "is_package",
                                                   e->package ? Py_True : Py_False));
    if (!origin || !call_args || !call_kw) return nullptr;
    py::Ref spec =
        py::Ref::steal(PyObject_Call(spec_from_loader.get(), call_args.get(), call_kw.get()));
    if (!spec) return nullptr;
    if (PyObject_SetAttrString(spec.get(), "has_location", Py_True) < 0) return nullptr;
    return spec.release();
}

PyObject* create_module(PyObject*, PyObject*) {
    Py_RETURN_NONE;
}

// Both entry modules (`python -m mavelin` and `python -m mavelin.cli`) run the same source.
PyObject* main_code(const Entry& e) {
    return Py_CompileString(cli::kCliMainSource, origin_of(e).c_str(), Py_file_input);
}

PyObject* exec_module(PyObject*, PyObject* module) {
    py::Ref name = py::Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!name) return nullptr;
    py::Ref spec = py::Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    if (spec && spec.get() != Py_None) {
        py::Ref spec_name = py::Ref::steal(PyObject_GetAttrString(spec.get(), "name"));
        if (spec_name) name = spec_name;
    }
    PyErr_Clear();
    const Entry* e = lookup(name.get());
    if (!e) {
        PyErr_Format(PyExc_ImportError, "no module named %R in this package", name.get());
        return nullptr;
    }
    if (e->init) {
        if (e->init(module) < 0) return nullptr;
        py::Ref doc = py::Ref::steal(PyUnicode_FromString(e->doc));
        if (!doc || py::set_attr(module, "__doc__", doc.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    py::Ref code = py::Ref::steal(main_code(*e));
    if (!code) return nullptr;
    PyObject* globals = PyModule_GetDict(module);
    py::Ref result = py::Ref::steal(PyEval_EvalCode(code.get(), globals, globals));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_code(PyObject*, PyObject* name) {
    const Entry* e = lookup(name);
    if (!e || e->init) Py_RETURN_NONE;
    return main_code(*e);
}

PyObject* get_source(PyObject*, PyObject* name) {
    const Entry* e = lookup(name);
    if (!e || e->init) Py_RETURN_NONE;
    return PyUnicode_FromString(cli::kCliMainSource);
}

PyObject* is_package(PyObject*, PyObject* name) {
    const Entry* e = lookup(name);
    if (!e) {
        PyErr_Format(PyExc_ImportError, "no module named %R in this package", name);
        return nullptr;
    }
    return PyBool_FromLong(e->package);
}

PyMethodDef kMethods[] = {
    py::method<find_spec>(
        "find_spec", METH_FASTCALL | METH_KEYWORDS,
        "find_spec($self, fullname, path=None, target=None, /)\n--\n\n"
        "A ModuleSpec for a module of the package tree, or None for other names."),
    py::method<create_module>("create_module", METH_O,
                              "create_module($self, spec, /)\n--\n\n"
                              "None: modules are created the default way."),
    py::method<exec_module>("exec_module", METH_O,
                            "exec_module($self, module, /)\n--\n\n"
                            "Fills the module of the package tree."),
    py::method<get_code>("get_code", METH_O,
                         "get_code($self, fullname, /)\n--\n\n"
                         "Code of a module run from source (the command entry), else None."),
    py::method<get_source>("get_source", METH_O,
                           "get_source($self, fullname, /)\n--\n\n"
                           "Source of a module run from source, else None."),
    py::method<is_package>("is_package", METH_O,
                           "is_package($self, fullname, /)\n--\n\n"
                           "Whether the named module of the tree is a package."),
    py::kEndOfMethods,
};

constexpr const char kImporterDoc[] =
    "Finds and loads the submodules of the package, all served by its extension file.";

PyType_Slot kSlots[] = {
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kImporterDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {"mavelin._Importer", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

int install(PyObject* package_file) {
    py::State& st = py::state();
    if (st.importer) return 0;
    py::Ref dirname = py::import_attr("os.path", "dirname");
    py::Ref basename = py::import_attr("os.path", "basename");
    if (!dirname || !basename) return -1;
    py::Ref dir = py::Ref::steal(PyObject_CallOneArg(dirname.get(), package_file));
    py::Ref base = py::Ref::steal(PyObject_CallOneArg(basename.get(), package_file));
    if (!dir || !base) return -1;
    // The module is normally the package folder's __init__: origins start above that folder.
    const char* base_text = PyUnicode_Check(base.get()) ? PyUnicode_AsUTF8(base.get()) : nullptr;
    if (!base_text) PyErr_Clear();
    if (base_text && std::strncmp(base_text, "__init__.", 9) == 0) {
        dir = py::Ref::steal(PyObject_CallOneArg(dirname.get(), dir.get()));
        if (!dir) return -1;
    }
    const char* dir_text = PyUnicode_AsUTF8(dir.get());
    if (!dir_text) {
        // A directory name that is no valid UTF-8 only affects the virtual origins.
        PyErr_Clear();
        dir_text = ".";
    }
    st.base_dir = dir_text;
    if (!st.base_dir.empty() && st.base_dir.back() != '/') st.base_dir.push_back('/');

    py::Ref type = py::Ref::steal(PyType_FromSpec(&kSpec));
    if (!type) return -1;
    py::Ref importer = py::Ref::steal(PyObject_CallNoArgs(type.get()));
    if (!importer) return -1;
    PyObject* meta_path = PySys_GetObject("meta_path");  // borrowed
    if (!meta_path || !PyList_Check(meta_path)) {
        PyErr_SetString(PyExc_ImportError, "sys.meta_path is not a list");
        return -1;
    }
    if (PyList_Insert(meta_path, 0, importer.get()) < 0) return -1;
    st.importer = std::move(importer);
    return 0;
}

}  // namespace mavelin::importer
