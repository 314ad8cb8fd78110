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
// "<what> <path> can't be read: <reason>" (`what` being "File" or "Folder"), both shown as
// display_text does. The reason is the strerror of the OS error `exc`, else str(exc); with no
// `exc` (null), that no fingerprint was computed.
py::Ref unreadable_message(PyObject* path, PyObject* exc, const char* what = "File");
// manager._parse_directory(), then one WARNING per folder of manager._uncertified_folders ("Files
// in P are not certified: the folder is named Certificates."). With `folders_fatal`, every folder
// the scan could not read (manager._scan_errors) is logged as an ERROR and ends the run (exit
// request). Then `count` = manager.files_count; an empty tree is logged as an ERROR and ends the
// run. 0, or -1 with an exception set.
int scan(PyObject* manager, PyObject* logger, py::Ref& count, bool folders_fatal);
// Fills a procedure's module: its host modules, module.logger = logging.getLogger(its name)
// (also kept in `logger`), and the procedure function `procedure`. -1 on failure.
int init_procedure_module(PyObject* module, py::Ref& logger, PyMethodDef* procedure);
// The `jobs` keyword of a procedure: None (0: every processor) or a positive int (bool
// refused). -1 with TypeError or ValueError set.
int parse_jobs(PyObject* jobs, unsigned& threads);

}  // namespace mavelin::procedures
