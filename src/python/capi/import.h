// Modules and their attributes: imports, attribute access, what a module exposes.
#pragma once

#include <initializer_list>

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

}  // namespace mavelin::py
