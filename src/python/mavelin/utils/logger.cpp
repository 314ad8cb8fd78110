// mavelin.utils.logger: the process-wide log set-up of the command line.
#include "python/mavelin/utils/logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/package_tree.h"

namespace mavelin::utils {
namespace {

constexpr const char* kFormat = "[%(asctime)s] [%(levelname)s] [%(name)s] %(message)s";

// Points the handler's stream at /dev/null below the buffer, so that what is still buffered
// and the interpreter's last flush neither fail nor report again.
void silence_stream(PyObject* handler) {
    py::Ref stream = py::attr(handler, "stream");
    const int fd = stream ? PyObject_AsFileDescriptor(stream.get()) : -1;
    PyErr_Clear();
    if (fd < 0) return;
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return;
    ::dup2(null_fd, fd);
    ::close(null_fd);
}

// handler.handleError(record) of the command line's handler: an output that can no longer be
// written (a reader that went away, a full disk) ends the run, as it ends the host's own tools,
// instead of one report per later line. A closed pipe goes to the command group, which ends the
// run quietly with status 1; any other write failure ends it with status 1 here. Everything
// else is the logging module's.
PyObject* handle_error(PyObject* handler, PyObject* record) {
    PyObject *type, *value, *tb;
    PyErr_GetExcInfo(&type, &value, &tb);
    if (type && PyErr_GivenExceptionMatches(type, PyExc_OSError)) {
        silence_stream(handler);
        if (PyErr_GivenExceptionMatches(type, PyExc_BrokenPipeError)) {
            PyErr_Restore(type, value, tb);
            return nullptr;
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return py::exit_request();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    py::Ref base = py::import_attr("logging", "Handler");
    if (!base) return nullptr;
    return PyObject_CallMethod(base.get(), "handleError", "OO", handler, record);
}

PyMethodDef kHandleErrorDef = py::method<handle_error>(
    "handleError", METH_O,
    "handleError(record)\n--\n\n"
    "Lets an output that cannot be written (closed pipe, full disk) end the run with status 1;\n"
    "other errors are reported as the logging module does.");

// record.levelno, or -1 with an exception set.
long level_of(PyObject* record) {
    py::Ref level = py::attr(record, "levelno");
    return level ? PyLong_AsLong(level.get()) : -1;
}

// The command line's filter: DEBUG records only of the package's own loggers, so that the
// libraries a run sets up (the event loop of a Dask client) add no lines of theirs.
PyObject* own_debug_only(PyObject*, PyObject* record) {
    const long level = level_of(record);
    if (level == -1 && PyErr_Occurred()) return nullptr;
    if (level >= 20) Py_RETURN_TRUE;  // logging.INFO
    py::Ref name = py::attr(record, "name");
    if (!name) return nullptr;
    const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : "";
    if (!text) return nullptr;
    const bool own = std::strncmp(text, "mavelin", 7) == 0 && (text[7] == 0 || text[7] == '.');
    return PyBool_FromLong(own);
}

PyMethodDef kOwnDebugOnlyDef = py::method<own_debug_only>(
    "own_debug_only", METH_O,
    "own_debug_only(record)\n--\n\n"
    "Passes records of level INFO and above, and DEBUG records of mavelin's own loggers.");

// The filter of --quiet: ERROR records and the findings of a validation (the records that
// carry a `finding` attribute), nothing else.
PyObject* findings_and_errors(PyObject*, PyObject* record) {
    const long level = level_of(record);
    if (level == -1 && PyErr_Occurred()) return nullptr;
    if (level >= 40) Py_RETURN_TRUE;  // logging.ERROR
    const int finding = PyObject_HasAttrString(record, "finding");
    return PyBool_FromLong(finding);
}

PyMethodDef kFindingsAndErrorsDef = py::method<findings_and_errors>(
    "findings_and_errors", METH_O,
    "findings_and_errors(record)\n--\n\n"
    "Passes ERROR records and the findings of a validation, nothing else.");

// handler.addFilter(filter), the filter being the function of `def`.
int add_filter(PyObject* handler, PyMethodDef* def) {
    py::Ref filter = py::Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
    if (!filter) return -1;
    py::Ref r = py::Ref::steal(PyObject_CallMethod(handler, "addFilter", "O", filter.get()));
    return r ? 0 : -1;
}

PyObject* configure_default_logger(PyObject*, PyObject*) {
    py::Ref logging = py::import("logging");
    if (!logging) return nullptr;
    PyObject* stdout_stream = PySys_GetObject("stdout");  // borrowed
    if (!stdout_stream) {
        PyErr_SetString(PyExc_RuntimeError, "sys.stdout is not available");
        return nullptr;
    }
    py::Ref handler =
        py::Ref::steal(PyObject_CallMethod(logging.get(), "StreamHandler", "O", stdout_stream));
    if (!handler) return nullptr;
    py::Ref on_error = py::Ref::steal(PyCFunction_NewEx(&kHandleErrorDef, handler.get(), nullptr));
    if (!on_error || PyObject_SetAttrString(handler.get(), "handleError", on_error.get()) < 0 ||
        add_filter(handler.get(), &kOwnDebugOnlyDef) < 0)
        return nullptr;
    py::Ref debug = py::Ref::steal(PyObject_GetAttrString(logging.get(), "DEBUG"));
    py::Ref basic_config = py::Ref::steal(PyObject_GetAttrString(logging.get(), "basicConfig"));
    if (!handler || !debug || !basic_config) return nullptr;
    py::Ref handlers = py::Ref::steal(PyList_New(1));
    if (!handlers) return nullptr;
    PyList_SET_ITEM(handlers.get(), 0, handler.release());
    py::Ref kw = py::Ref::steal(Py_BuildValue("{sssssOsO}", "format", kFormat, "encoding", "utf-8",
                                              "level", debug.get(), "handlers", handlers.get()));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    if (!kw || !no_args) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_Call(basic_config.get(), no_args.get(), kw.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kConfigureDef = py::method<configure_default_logger>(
    "configure_default_logger", METH_NOARGS,
    "configure_default_logger()\n--\n\n"
    "Sends every log record of level INFO and above, and the DEBUG records of mavelin's own\n"
    "loggers, to standard output, one line each: [time] [level] [logger name] message.");

}  // namespace

int quiet_command_line_log() {
    py::Ref get_logger = py::import_attr("logging", "getLogger");
    py::Ref root = get_logger ? py::Ref::steal(PyObject_CallNoArgs(get_logger.get())) : py::Ref();
    py::Ref handlers = root ? py::attr(root.get(), "handlers") : py::Ref();
    py::Ref seq =
        handlers ? py::Ref::steal(PySequence_Fast(handlers.get(), "handlers")) : py::Ref();
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i)
        if (add_filter(PySequence_Fast_GET_ITEM(seq.get(), i), &kFindingsAndErrorsDef) < 0)
            return -1;
    return 0;
}

int init_logger(PyObject* m) {
    if (py::import_modules(m, {"logging", "sys"}) < 0) return -1;
    return py::add_function(m, &kConfigureDef);
}

}  // namespace mavelin::utils
