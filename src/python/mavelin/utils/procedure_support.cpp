// What the two procedures share: the clock, the duration text, the jobs and the module setup.
#include "python/mavelin/utils/procedure_support.h"

#include <string_view>

#include "python/capi/attribute_names.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/text.h"

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
