// mavelin.results.Result: what a call of mavelin.sign or mavelin.validate found, a frozen
// dataclass built at load time from the facts the run report is written from; and the module
// mavelin.results, which holds it and Finding.
#include <array>

#include "python/capi/classes.h"
#include "python/capi/import.h"
#include "python/capi/state.h"
#include "python/mavelin/results.h"
#include "python/package_tree.h"

namespace mavelin::results {
namespace {

// The fields in order, with their annotations; the report's names and meanings.
constexpr std::array<Field, 17> kFields = {{
    {"command", "str"},
    {"directory", "str | bytes"},
    {"certificate", "str | bytes | None"},
    {"match", "str | None"},
    {"passed", "bool"},
    {"files", "int"},
    {"bytes", "int"},
    {"seconds", "float"},
    {"failed_files", "int"},
    {"not_checked", "int"},
    {"reread", "int | None"},
    {"reused", "int | None"},
    {"counts", "dict[str, int]"},
    {"findings", "tuple[Finding, ...]"},
    {"uncertified_folders", "tuple[str, ...]"},
    {"uncertified_links", "tuple[str, ...]"},
    {"signature", "Signature | None"},
}};

constexpr const char kDoc[] =
    "What a run of mavelin.sign or mavelin.validate found: the data of its JSON report.\n\n"
    "command: 'sign_folder' or 'validate_certificate', as in the report.\n"
    "directory, certificate: the folder, and the certificate written or read (None when\n"
    "    signing failed).\n"
    "match: 'path' or 'position' when validating, else None.\n"
    "passed: the verdict: every file read (signing), every file matched (validation).\n"
    "files, bytes, seconds: the files in the tree, the bytes fingerprinted, the run's time.\n"
    "failed_files, not_checked: the files (and folders) that failed; the certified files\n"
    "    below folders that could not be read.\n"
    "reread, reused: with update=True, the files read again and the fingerprints taken over\n"
    "    from the last certificate; else None.\n"
    "counts: the number of findings of each kind, every kind named.\n"
    "findings: a Finding per file or folder line of the log, in its order.\n"
    "uncertified_folders, uncertified_links: the folders named Certificates below the top\n"
    "    whose files were left out, and the links whose target was missing.\n"
    "signature: the Signature of the certificate written or read; None when it is unsigned.";

PyObject* result_class() {
    py::Ref& cls = py::state().result_class;
    if (cls) return cls.get();
    py::Ref ns = py::Ref::steal(Py_BuildValue("{sssO}", "__doc__", kDoc, "signature", Py_None));
    if (!ns) return nullptr;
    cls = frozen_dataclass("Result", ns.get(), kFields);
    return cls.get();
}

// os.fspath(value), or None for null or None.
py::Ref path_or_none(const py::Ref& value) {
    if (!value || value.get() == Py_None) return py::Ref::borrow(Py_None);
    return py::Ref::steal(PyOS_FSPath(value.get()));
}

// A tuple of a list (null: empty), each item through `convert` when given.
py::Ref tuple_of(const py::Ref& list, py::Ref (*convert)(PyObject*)) {
    const Py_ssize_t n = list ? PyList_Size(list.get()) : 0;
    if (n < 0) return {};
    py::Ref out = py::Ref::steal(PyTuple_New(n));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        py::Ref value = convert ? convert(item) : py::Ref::borrow(item);
        if (!value) return {};
        PyTuple_SET_ITEM(out.get(), i, value.release());
    }
    return out;
}

// An int of the facts; null counts as 0, as in the report.
py::Ref integer(const py::Ref& value) {
    return value && value.get() != Py_None ? value : py::Ref::steal(PyLong_FromLong(0));
}

// The object of the facts, or None for null.
py::Ref or_none(const py::Ref& value) {
    return value ? value : py::Ref::borrow(Py_None);
}

}  // namespace

py::Ref result(const run_report::Facts& f) {
    PyObject* cls = result_class();
    if (!cls) return {};
    std::array<long long, run_report::kKinds.size()> counted{};
    if (f.findings && run_report::count_kinds(f.findings.get(), counted) < 0) return {};
    py::Ref counts = py::Ref::steal(PyDict_New());
    if (!counts) return {};
    for (size_t k = 0; k < counted.size(); ++k) {
        py::Ref n = py::Ref::steal(PyLong_FromLongLong(counted[k]));
        if (!n || PyDict_SetItemString(counts.get(), run_report::kKinds[k], n.get()) < 0) return {};
    }
    py::Ref match = py::Ref::borrow(Py_None);
    if (f.match) match = py::Ref::steal(PyUnicode_FromString(f.match));
    py::Ref values[] = {py::Ref::steal(PyUnicode_FromString(f.command)),
                        path_or_none(f.directory),
                        path_or_none(f.certificate),
                        match,
                        py::Ref::borrow(f.passed ? Py_True : Py_False),
                        integer(f.files),
                        integer(f.bytes),
                        run_report::seconds(f),
                        integer(f.failed_files),
                        integer(f.not_checked),
                        or_none(f.reread),
                        or_none(f.reused),
                        counts,
                        tuple_of(f.findings, finding),
                        tuple_of(f.uncertified, nullptr),
                        tuple_of(f.uncertified_links, nullptr),
                        f.signature ? signature(f.signature.get()) : py::Ref::borrow(Py_None)};
    py::Ref args = py::Ref::steal(PyTuple_New(std::size(values)));
    if (!args) return {};
    for (size_t i = 0; i < std::size(values); ++i) {
        if (!values[i]) return {};
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), values[i].release());
    }
    return py::Ref::steal(PyObject_Call(cls, args.get(), nullptr));
}

}  // namespace mavelin::results

namespace mavelin {

int init_results(PyObject* m) {
    PyObject* finding = results::finding_class();
    PyObject* signature = finding ? results::signature_class() : nullptr;
    PyObject* result = signature ? results::result_class() : nullptr;
    py::Ref all = py::Ref::steal(Py_BuildValue("[sss]", "Finding", "Result", "Signature"));
    if (!result || !all || py::set_attr(m, "Finding", finding) < 0 ||
        py::set_attr(m, "Result", result) < 0 || py::set_attr(m, "Signature", signature) < 0)
        return -1;
    return py::set_attr(m, "__all__", all.get());
}

}  // namespace mavelin
