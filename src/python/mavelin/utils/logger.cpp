// mavelin.utils.logger: the process-wide log set-up of the command line.
#include "python/capi/common.h"
#include "python/capi/entry.h"
#include "python/package_tree.h"

namespace mavelin::modules {
namespace {

constexpr const char* kFormat = "[%(asctime)s] [%(levelname)s] [%(name)s] %(message)s";

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
    "Sends every log record of level DEBUG and above to standard output, one line each:\n"
    "[time] [level] [logger name] message.");

}  // namespace

int init_logger(PyObject* m) {
    if (py::import_modules(m, {"logging", "sys"}) < 0) return -1;
    return py::add_function(m, &kConfigureDef);
}

}  // namespace mavelin::modules
