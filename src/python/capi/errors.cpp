// Errors as Python sees them: an errno as the OSError subclass it selects, the exception being
// raised, the exit request.
#include "python/capi/errors.h"

#include <cerrno>
#include <cstring>

#include "python/capi/import.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"

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

Ref library_error(Failure failure, PyObject* args) {
    PyObject* cls = state().error_classes[static_cast<size_t>(failure)].get();
    if (!cls) {  // mavelin.errors not loaded yet: cannot happen once the package is imported
        PyErr_SetString(PyExc_SystemError, "mavelin.errors is not loaded");
        return {};
    }
    PyObject* cause = args && PyExceptionInstance_Check(args) ? args : nullptr;
    Ref call_args;
    // An OSError gives its errno, reason and file name to the classes that are OSErrors too.
    if (cause && PyErr_GivenExceptionMatches(cause, PyExc_OSError) &&
        PyObject_IsSubclass(cls, PyExc_OSError) == 1) {
        Ref err = attr(cause, "errno"), reason = attr(cause, "strerror");
        Ref filename = attr(cause, "filename");
        if (!err || !reason || !filename) return {};
        call_args = Ref::steal(err.get() == Py_None
                                   ? PyTuple_Pack(1, Ref::steal(PyObject_Str(cause)).get())
                                   : PyTuple_Pack(3, err.get(), reason.get(), filename.get()));
    } else if (cause) {
        Ref text = Ref::steal(PyObject_Str(cause));
        call_args = text ? Ref::steal(PyTuple_Pack(1, text.get())) : Ref();
    } else {
        call_args = Ref::steal(!args                 ? PyTuple_New(0)
                               : PyTuple_Check(args) ? Py_NewRef(args)
                                                     : PyTuple_Pack(1, args));
    }
    if (!call_args) return {};
    Ref exc = Ref::steal(PyObject_Call(cls, call_args.get(), nullptr));
    if (exc && cause) PyException_SetCause(exc.get(), Py_NewRef(cause));
    return exc;
}

PyObject* exit_request(Failure failure, PyObject* args) {
    if (library_call()) {
        Ref exc = library_error(failure, args);
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        return nullptr;
    }
    Ref code = Ref::steal(PyLong_FromLong(1));
    if (code) PyErr_SetObject(PyExc_SystemExit, code.get());
    return nullptr;
}

}  // namespace mavelin::py
