// What the two procedures share: the clock, the duration text, the jobs and the module setup.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::procedures {

// datetime.now()
py::Ref now();
// logger.info("Elapsed time: " + str(end - start))
int log_elapsed(PyObject* logger, PyObject* start, PyObject* end);
// Fills a procedure's module: its host modules, module.logger = logging.getLogger(its name)
// (also kept in `logger`), and the procedure function `procedure`. -1 on failure.
int init_procedure_module(PyObject* module, py::Ref& logger, PyMethodDef* procedure);
// Whether a report destination is "-" (standard output).
bool is_dash(PyObject* report);
// The `jobs` keyword of a procedure: None (0: every processor) or a positive int (bool
// refused). -1 with TypeError or ValueError set.
int parse_jobs(PyObject* jobs, unsigned& threads);

}  // namespace mavelin::procedures
