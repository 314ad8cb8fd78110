// The log lines the scan and the findings share: paths shown as text, what a scan left out or
// could not read.
#include "python/mavelin/core/log_lines.h"

#include "python/capi/attribute_names.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/text.h"

namespace mavelin::log_lines {
namespace {

// "<what> <path> can't be <verb>: <reason>", as unreadable_message describes it.
py::Ref failure_message(PyObject* path, PyObject* exc, const char* what, const char* verb) {
    py::Ref reason;
    if (exc) {
        reason = py::attr(exc, "strerror");
        if (!reason || reason.get() == Py_None) {
            PyErr_Clear();
            reason = py::Ref::steal(PyObject_Str(exc));
        }
    } else {
        reason = py::Ref::steal(PyUnicode_FromString("no fingerprint was computed"));
    }
    if (!reason) return {};
    py::Ref shown = py::display_text(path);
    py::Ref why = py::display_text(reason.get());
    if (!shown || !why) return {};
    return py::Ref::steal(
        PyUnicode_FromFormat("%s %U can't be %s: %U", what, shown.get(), verb, why.get()));
}

// One WARNING per path of the list `paths`: prefix + path + suffix.
int warn_each(PyObject* logger, PyObject* paths, const char* prefix, const char* suffix) {
    const Py_ssize_t n = PyList_Size(paths);
    if (n < 0) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref path = py::Ref::borrow(PyList_GET_ITEM(paths, i));
        if (log_with(logger, "warning", prefix, path.get(), suffix) < 0) return -1;
    }
    return 0;
}

}  // namespace

int log_with(PyObject* logger, const char* level, const char* prefix, PyObject* value,
             const char* suffix) {
    py::Ref shown = py::display_text(value);
    if (!shown) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat("%s%U%s", prefix, shown.get(), suffix));
    if (!message) return -1;
    return py::log(logger, level, message.get());
}

py::Ref unreadable_message(PyObject* path, PyObject* exc, const char* what) {
    return failure_message(path, exc, what, "read");
}

py::Ref unwritable_report_message(PyObject* report, PyObject* exc) {
    py::Ref path = py::Ref::steal(PyOS_FSPath(report));
    if (path && PyBytes_Check(path.get()))
        path = py::decode_path(std::string_view(PyBytes_AS_STRING(path.get()),
                                                static_cast<size_t>(PyBytes_GET_SIZE(path.get()))));
    if (!path) return {};
    return failure_message(path.get(), exc, "Report", "written");
}

py::Ref uncertified_links_of(PyObject* holder) {
    py::Ref links = py::Ref::steal(PyObject_GetAttrString(holder, attr::kUncertifiedLinks));
    if (links || !PyErr_ExceptionMatches(PyExc_AttributeError)) return links;
    PyErr_Clear();
    return py::Ref::steal(PyList_New(0));
}

int report_scan(PyObject* logger, PyObject* uncertified, PyObject* links, PyObject* scan_errors,
                PyObject* count) {
    if (warn_each(logger, uncertified, "Files in ",
                  " are not certified: the folder is named Certificates.") < 0 ||
        warn_each(logger, links, "Link ",
                  " is not certified: its target is missing or outside the folder.") < 0)
        return -1;
    if (scan_errors) {
        py::Ref seq = py::Ref::steal(PySequence_Fast(scan_errors, "scan errors"));
        if (!seq) return -1;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *path, *exc;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "OO", &path, &exc))
                return -1;
            py::Ref message = unreadable_message(path, exc, "Folder");
            if (!message || py::log(logger, "error", message.get()) < 0) return -1;
        }
        if (n > 0) {
            // A library call raises the first folder's OSError as TreeUnreadable.
            PyObject *path, *exc;
            if (PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), 0), "OO", &path, &exc))
                py::exit_request(py::Failure::kTreeUnreadable, exc);
            return -1;
        }
    }
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    const int empty = PyObject_RichCompareBool(count, zero.get(), Py_EQ);
    if (empty < 0) return -1;
    if (empty) {
        py::Ref message = py::Ref::steal(PyUnicode_FromString("No files were found."));
        if (message && py::log(logger, "error", message.get()) == 0)
            py::exit_request(py::Failure::kNoFiles, message.get());
        return -1;
    }
    return 0;
}

int scan(PyObject* manager, PyObject* logger, py::Ref& count, bool folders_fatal) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(manager, attr::kParseDirectory, nullptr));
    if (!r) return -1;
    py::Ref uncertified = py::attr(manager, attr::kUncertifiedFolders);
    py::Ref links = uncertified ? uncertified_links_of(manager) : py::Ref();
    py::Ref errors = folders_fatal ? py::attr(manager, attr::kScanErrors) : py::Ref();
    count = py::attr(manager, "files_count");
    if (!uncertified || !links || (folders_fatal && !errors) || !count) return -1;
    return report_scan(logger, uncertified.get(), links.get(), errors.get(), count.get());
}

}  // namespace mavelin::log_lines
