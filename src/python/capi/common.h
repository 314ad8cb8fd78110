// Small helpers shared by the binding modules: imports, calls, errors and log output.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "python/capi/errors.h"
#include "python/capi/handle.h"

namespace mavelin::py {

// `import name` (absolute); new reference or null with an exception set.
Ref import(const char* name);
// getattr(import(module), attr).
Ref import_attr(const char* module, const char* attr);
// Sets module.<name> = value (borrowed value). Returns -1 with an exception set.
int set_attr(PyObject* module, const char* name, PyObject* value);
// getattr(o, name): new reference or null with an exception set.
Ref attr(PyObject* o, const char* name);
// For each dotted name "a.b.c" of `names`: imports it and sets module.c to that module.
// -1 on failure.
int import_modules(PyObject* module, std::initializer_list<const char*> names);
// Makes each top-level module of `names` an attribute of `module` imported on first use (a
// module __getattr__), for modules the binding itself takes from elsewhere when it needs them,
// so that importing the package does not load them. -1 on failure.
int import_modules_lazily(PyObject* module, std::initializer_list<const char*> names);
// Sets module.<name> = getattr(import(source), name) for each of `names`. -1 on failure.
int import_names(PyObject* module, const char* source, std::initializer_list<const char*> names);
// Adds the function `def` to `module` (its __module__ is the module's name). -1 on failure.
int add_function(PyObject* module, PyMethodDef* def);
// posixpath.join(a, b) for a str/bytes/path-like `a`, `b` a str or another object.
Ref join(PyObject* a, PyObject* b);
Ref join(PyObject* a, const char* b);
// Adds a method descriptor for `def` to a class built at run time.
int add_method(PyObject* cls, PyMethodDef* def);
// Builds a plain class `type(name, (), ns)` with __module__ and __qualname__ set.
Ref make_class(const char* module, const char* name, PyObject* ns);
// A plain class whose methods (__init__ among them) are the `count` entries of `methods`,
// as method descriptors, and whose docstring is `doc`.
Ref make_class(const char* module, const char* name, PyMethodDef* methods, size_t count,
               const char* doc);

// A str of `n` ASCII characters (no decoding pass).
Ref ascii_text(const char* data, size_t n);
// Text form of a path as the host decodes file names (surrogate escapes kept).
Ref decode_path(std::string_view bytes);
// Bytes of a str / path-like object as the host encodes file names. -1 with exception.
int encode_path(PyObject* path, std::string& out);

// A text safe to print in a log line: undecodable bytes (surrogate escapes, as \xNN), control
// characters (C0 and DEL as \xNN, C1 as \uNNNN) and U+2028/U+2029 (\uNNNN) are shown as
// backslash escapes, so no reader splits the line; everything else is unchanged.
Ref display_text(PyObject* text);

// logging.getLogger(name)
Ref get_logger(const char* name);
// logger.<level>(message) with a UTF-8 message; -1 with an exception set.
int log(PyObject* logger, const char* level, PyObject* message);
int log(PyObject* logger, const char* level, const char* message);

// The exception being raised, taken out of the error indicator and normalised.
struct FetchedError {
    Ref type, value, traceback;
    // Raises it again (the references go back to the error indicator).
    void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};
FetchedError fetch_error();

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

}  // namespace mavelin::py
