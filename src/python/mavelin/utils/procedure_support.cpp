// What the two procedures share: the clock, the duration text and the logging of paths.
#include "python/mavelin/utils/procedure_support.h"

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

int add_function(PyObject* module, PyMethodDef* def) {
    py::Ref modname = py::Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!modname) return -1;
    py::Ref fn = py::Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
    return fn ? py::set_attr(module, def->ml_name, fn.get()) : -1;
}

int init_procedure_module(PyObject* module) {
    for (const char* name : {"sys", "logging"}) {
        py::Ref mod = py::import(name);
        if (!mod || py::set_attr(module, name, mod.get()) < 0) return -1;
    }
    py::Ref datetime = py::import_attr("datetime", "datetime");
    if (!datetime || py::set_attr(module, "datetime", datetime.get()) < 0) return -1;
    py::Ref modname = py::Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!modname) return -1;
    const char* name = PyUnicode_AsUTF8(modname.get());
    if (!name) return -1;
    py::Ref logger = py::get_logger(name);
    return logger ? py::set_attr(module, "logger", logger.get()) : -1;
}

}  // namespace mavelin::procedures
