// What the two procedures share: the clock, the duration text and the logging of paths.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::procedures {

// datetime.now()
py::Ref now();
// logger.info("Elapsed time: " + str(end - start))
int log_elapsed(PyObject* logger, PyObject* start, PyObject* end);
// logger.<level>(prefix + display_text(value) + suffix)
int log_with(PyObject* logger, const char* level, const char* prefix, PyObject* value,
             const char* suffix);
// A function object of the module `module` named by `def`, set as its attribute.
int add_function(PyObject* module, PyMethodDef* def);
// Sets module.logger = logging.getLogger(module.__name__) and loads the listed host modules.
int init_procedure_module(PyObject* module);

}  // namespace mavelin::procedures
