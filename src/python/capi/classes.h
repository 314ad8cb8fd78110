// Plain classes built at load time: `type(name, (), ns)` with C functions as method descriptors
// and a `__signature__` that inspect can read.
#pragma once

#include <cstddef>

#include "python/capi/handle.h"

namespace mavelin::py {

// Adds a method descriptor for `def` to a class built at run time.
int add_method(PyObject* cls, PyMethodDef* def);
// Builds a plain class `type(name, (), ns)` with __module__ and __qualname__ set.
Ref make_class(const char* module, const char* name, PyObject* ns);
// A plain class whose methods (__init__ among them) are the `count` entries of `methods`,
// as method descriptors, and whose docstring is `doc`.
Ref make_class(const char* module, const char* name, PyMethodDef* methods, size_t count,
               const char* doc);

}  // namespace mavelin::py
