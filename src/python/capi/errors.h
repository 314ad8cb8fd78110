// Errors as Python sees them: an errno as the OSError subclass it selects (with errno, strerror
// and the file name), the exception being raised, and the run's exit request.
#pragma once

#include <string_view>

#include "python/capi/handle.h"
#include "python/capi/library_call.h"

namespace mavelin::py {

// OSError(err, reason, filename), which the host turns into the subclass `err` selects
// (FileNotFoundError, PermissionError, ...). `reason` null: the system's text for `err`;
// `filename` null: none. New reference, or null with an exception set.
Ref os_error(int err, PyObject* filename, const char* reason = nullptr);
// The same for a path given as bytes, decoded as the host decodes file names; an empty path
// gives no filename (a failure that concerns no path, e.g. a seek).
Ref os_error(int err, std::string_view path_bytes);
// Raises `exc` (an exception object; null: the error already set stays). Returns -1.
int raise(const Ref& exc);
// Raises os_error(err, path_bytes), as PyErr_SetFromErrno does (EINTR runs the signal handlers
// first, whose exception wins).
void set_os_error(int err, std::string_view path_bytes);

// The exception being raised, taken out of the error indicator and normalised.
struct FetchedError {
    Ref type, value, traceback;
    // Raises it again (the references go back to the error indicator).
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};
FetchedError fetch_error();

// The exception of mavelin.errors that `failure` names, made from `args`: an OSError (its errno,
// strerror and filename, and it becomes the __cause__), another exception (its text, and the
// cause), a tuple of arguments or one object; null: none. Null with an exception set on failure.
Ref library_error(Failure failure, PyObject* args);
// Raises SystemExit(1), the run's exit request; in a library call, the exception of mavelin.errors
// that `failure` names instead, made from `args` as library_error makes it. Always returns null.
PyObject* exit_request(Failure failure = Failure::kError, PyObject* args = nullptr);

}  // namespace mavelin::py
