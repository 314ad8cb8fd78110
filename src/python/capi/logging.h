// Log output through the host's logging module.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::py {

// logging.getLogger(name)
Ref get_logger(const char* name);
// logger.<level>(message) with a UTF-8 message; -1 with an exception set.
int log(PyObject* logger, const char* level, PyObject* message);
int log(PyObject* logger, const char* level, const char* message);

}  // namespace mavelin::py
