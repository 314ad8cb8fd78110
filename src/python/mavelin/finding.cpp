// mavelin.results.Finding: one finding of a run (a file or folder line of its log), a frozen
// dataclass built at load time.
#include "python/capi/classes.h"
#include "python/capi/import.h"
#include "python/capi/state.h"
#include "python/mavelin/results.h"

namespace mavelin::results {

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
    py::Ref plain = py::make_class("mavelin.results", "Finding", ns.get());
    py::Ref dataclass = py::import_attr("dataclasses", "dataclass");
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref kw = py::Ref::steal(Py_BuildValue("{sO}", "frozen", Py_True));
    if (!plain || !dataclass || !no_args || !kw) return nullptr;
    py::Ref decorator = py::Ref::steal(PyObject_Call(dataclass.get(), no_args.get(), kw.get()));
    if (!decorator) return nullptr;
    cls = py::Ref::steal(PyObject_CallOneArg(decorator.get(), plain.get()));
    return cls.get();
}

py::Ref finding(PyObject* triple) {
    PyObject* cls = finding_class();
    if (!cls) return {};
    return py::Ref::steal(PyObject_Call(cls, triple, nullptr));
}

}  // namespace mavelin::results
