// Errors as Python sees them: an errno as the OSError subclass it selects, the exception being
// raised, the exit request.
#include "python/capi/errors.h"

#include <cerrno>
#include <cstring>

#include "python/capi/paths.h"

namespace mavelin::py {

Ref os_error(int err, PyObject* filename, const char* reason) {
    // The system's text is decoded as the host decodes it (PyErr_SetFromErrno).
    Ref text = reason ? Ref::steal(PyUnicode_FromString(reason))
                      : Ref::steal(PyUnicode_DecodeLocale(std::strerror(err), "surrogateescape"));
    if (!text) return {};
    return Ref::steal(filename
                          ? PyObject_CallFunction(PyExc_OSError, "iOO", err, text.get(), filename)
                          : PyObject_CallFunction(PyExc_OSError, "iO", err, text.get()));
}

Ref os_error(int err, std::string_view path_bytes) {
    if (path_bytes.empty()) return os_error(err, nullptr);
    Ref filename = decode_path(path_bytes);
    return filename ? os_error(err, filename.get()) : Ref();
}

int raise(const Ref& exc) {
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return -1;
}

void set_os_error(int err, std::string_view path_bytes) {
    if (err == EINTR && PyErr_CheckSignals() < 0) return;
    raise(os_error(err, path_bytes));
}

FetchedError fetch_error() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    return {Ref::steal(type), Ref::steal(value), Ref::steal(tb)};
}

PyObject* exit_request() {
    Ref code = Ref::steal(PyLong_FromLong(1));
    if (code) PyErr_SetObject(PyExc_SystemExit, code.get());
    return nullptr;
}

}  // namespace mavelin::py
