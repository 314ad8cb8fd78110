// Small helpers shared by the binding modules: imports, calls, errors and log output.
#pragma once

#include <string>
#include <string_view>

#include "python/capi/handle.h"

namespace mavelin::py {

// `import name` (absolute); new reference or null with an exception set.
Ref import(const char* name);
// getattr(import(module), attr).
Ref import_attr(const char* module, const char* attr);
// Sets module.<name> = value (borrowed value). Returns -1 with an exception set.
int set_attr(PyObject* module, const char* name, PyObject* value);
// Adds a method descriptor for `def` to a class built at run time.
int add_method(PyObject* cls, PyMethodDef* def);
// Builds a plain class `type(name, (), ns)` with __module__ and __qualname__ set.
Ref make_class(const char* module, const char* name, PyObject* ns);
// A plain class whose __init__ is `init` (a METH_VARARGS | METH_KEYWORDS function that
// receives the instance as its first positional argument) and whose other methods are
// the `count` entries of `methods`.
Ref make_class(const char* module, const char* name, PyMethodDef* init, PyMethodDef* methods,
               size_t count);

// OSError subclass chosen from errno, with errno, strerror and filename (text path).
void set_os_error(int err, std::string_view path_bytes);
// A str of `n` ASCII characters (no decoding pass).
Ref ascii_text(const char* data, size_t n);
// Text form of a path as the host decodes file names (surrogate escapes kept).
Ref decode_path(std::string_view bytes);
// Bytes of a str / path-like object as the host encodes file names. -1 with exception.
int encode_path(PyObject* path, std::string& out);

// A text safe to print in a log line: undecodable bytes (surrogate escapes) and
// control characters are shown as backslash escapes; everything else is unchanged.
Ref display_text(PyObject* text);

// logging.getLogger(name)
Ref get_logger(const char* name);
// logger.<level>(message) with a UTF-8 message; -1 with an exception set.
int log(PyObject* logger, const char* level, PyObject* message);
int log(PyObject* logger, const char* level, const char* message);

// Raises SystemExit(1), the run's exit request. Always returns null.
PyObject* exit_request();

// Keeps the cyclic garbage collector from running while many acyclic objects are built
// (records, lists, strings): each collection would walk every object made so far.
class GcPause {
  public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    int was_enabled_;
};

// Raises MemoryError / RuntimeError for a C++ exception caught at the boundary.
void set_error_from_current_exception();

}  // namespace mavelin::py
