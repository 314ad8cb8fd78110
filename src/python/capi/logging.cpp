// Log output through the host's logging module.
#include "python/capi/logging.h"

#include "python/capi/import.h"
#include "python/capi/library_call.h"

namespace mavelin::py {

Ref get_logger(const char* name) {
    Ref get = import_attr("logging", "getLogger");
    if (!get) return {};
    return Ref::steal(PyObject_CallFunction(get.get(), "s", name));
}

int log(PyObject* logger, const char* level, PyObject* message) {
    const int wanted = may_log(logger);
    if (wanted <= 0) return wanted;
    Ref r = Ref::steal(PyObject_CallMethod(logger, level, "O", message));
    return r ? 0 : -1;
}

int log(PyObject* logger, const char* level, const char* message) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return -1;
    return log(logger, level, text.get());
}

}  // namespace mavelin::py
