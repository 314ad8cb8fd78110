// Pairing the certificate's node table with the fresh one and reporting every difference.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::node_comparison {

// validator.validate_nodes(): the number of files that failed, or null with an exception.
PyObject* validate(PyObject* validator, PyObject* logger);

}  // namespace mavelin::node_comparison
