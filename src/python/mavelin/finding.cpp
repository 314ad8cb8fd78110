// mavelin.results.Finding: one finding of a run (a file or folder line of its log), a frozen
// dataclass built at load time; and how the classes of mavelin.results are made.
#include "python/capi/classes.h"
#include "python/capi/import.h"
#include "python/capi/state.h"
#include "python/mavelin/results.h"

namespace mavelin::results {

py::Ref frozen_dataclass(const char* name, PyObject* ns, std::span<const Field> fields) {
    if (!fields.empty()) {
        PyObject* annotations = PyDict_GetItemString(ns, "__annotations__");  // borrowed
        py::Ref made;
        if (!annotations) {
            made = py::Ref::steal(PyDict_New());
            if (!made || PyDict_SetItemString(ns, "__annotations__", made.get()) < 0) return {};
            annotations = made.get();
        }
        for (const auto& [field, type] : fields) {
            py::Ref text = py::Ref::steal(PyUnicode_FromString(type));
            if (!text || PyDict_SetItemString(annotations, field, text.get()) < 0) return {};
        }
    }
    py::Ref plain = py::make_class("mavelin.results", name, ns);
    py::Ref dataclass = py::import_attr("dataclasses", "dataclass");
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref kw = py::Ref::steal(Py_BuildValue("{sO}", "frozen", Py_True));
    if (!plain || !dataclass || !no_args || !kw) return {};
    py::Ref decorator = py::Ref::steal(PyObject_Call(dataclass.get(), no_args.get(), kw.get()));
    if (!decorator) return {};
    return py::Ref::steal(PyObject_CallOneArg(decorator.get(), plain.get()));
}

PyObject* finding_class() {
    py::Ref& cls = py::state().finding_class;
    if (cls) return cls.get();
    py::Ref ns = py::Ref::steal(Py_BuildValue(
        "{s{ssssss}sOss}", "__annotations__", "kind", "str", "path", "str", "other_path",
        "str | None", "other_path", Py_None, "__doc__",
        "One finding of a run, as the report lists it.\n\n"
        "kind: modified, missing, new, moved, unreadable (a file, or a folder that could not be\n"
        "    read), not_authentic, or out_of_order (pairing by position).\n"
        "path: the file or folder, relative to the signed folder.\n"
        "other_path: where the file went (moved), or the certificate's path of the pair by\n"
        "    position; else None."));
    if (!ns) return nullptr;
    cls = frozen_dataclass("Finding", ns.get());
    return cls.get();
}

py::Ref finding(PyObject* triple) {
    PyObject* cls = finding_class();
    if (!cls) return {};
    return py::Ref::steal(PyObject_Call(cls, triple, nullptr));
}

}  // namespace mavelin::results
