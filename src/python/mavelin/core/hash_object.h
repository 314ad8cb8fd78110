// The SHA-256 hash object returned by mavelin.core.hashing._generate_hash.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::hash_object {

// Creates the type once; borrowed reference, null with an exception set on failure.
PyObject* type();
// A new hash object that has consumed `data` (any bytes-like object, or null for none).
PyObject* create(PyObject* data);

}  // namespace mavelin::hash_object
