// What the two procedures share: the clock, the duration text and the logging of paths.
#include "python/mavelin/utils/procedure_support.h"

#include <string_view>

#include "python/capi/attribute_names.h"
#include "python/capi/common.h"

namespace mavelin::procedures {

py::Ref now() {
    py::Ref datetime = py::import_attr("datetime", "datetime");
    if (!datetime) return {};
    return py::Ref::steal(PyObject_CallMethod(datetime.get(), "now", nullptr));
}

int log_elapsed(PyObject* logger, PyObject* start, PyObject* end) {
    py::Ref span = py::Ref::steal(PyNumber_Subtract(end, start));
    if (!span) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat("Elapsed time: %S", span.get()));
    return message ? py::log(logger, "info", message.get()) : -1;
}

int log_with(PyObject* logger, const char* level, const char* prefix, PyObject* value,
             const char* suffix) {
    py::Ref shown = py::display_text(value);
    if (!shown) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat("%s%U%s", prefix, shown.get(), suffix));
    if (!message) return -1;
    return py::log(logger, level, message.get());
}

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

}  // namespace

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

bool is_dash(PyObject* report) {
    return PyUnicode_Check(report) && PyUnicode_CompareWithASCIIString(report, "-") == 0;
}

int parse_jobs(PyObject* jobs, unsigned& threads) {
    threads = 0;
    if (!jobs || jobs == Py_None) return 0;
    if (!PyLong_Check(jobs) || PyBool_Check(jobs)) {
        PyErr_Format(PyExc_TypeError, "jobs must be an int or None, not %.100s",
                     Py_TYPE(jobs)->tp_name);
        return -1;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(jobs, &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        PyErr_Format(PyExc_ValueError, "jobs must be at least 1, not %R", jobs);
        return -1;
    }
    // More threads than the engine runs at most changes nothing.
    threads = overflow > 0 || n > 256 ? 256u : static_cast<unsigned>(n);
    return 0;
}

namespace {

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
        warn_each(logger, links, "Link ", " is not certified: its target is missing.") < 0)
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
            py::exit_request();
            return -1;
        }
    }
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    const int empty = PyObject_RichCompareBool(count, zero.get(), Py_EQ);
    if (empty < 0) return -1;
    if (empty) {
        if (py::log(logger, "error", "No files were found.") == 0) py::exit_request();
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

int init_procedure_module(PyObject* module, py::Ref& logger, PyMethodDef* procedure) {
    if (py::import_modules(module, {"sys", "logging"}) < 0 ||
        py::import_names(module, "datetime", {"datetime"}) < 0)
        return -1;
    py::Ref modname = py::attr(module, "__name__");
    if (!modname) return -1;
    const char* name = PyUnicode_AsUTF8(modname.get());
    if (!name) return -1;
    py::Ref fresh = py::get_logger(name);
    if (!fresh || py::set_attr(module, "logger", fresh.get()) < 0) return -1;
    logger = std::move(fresh);
    return py::add_function(module, procedure);
}

}  // namespace mavelin::procedures
