// What the commands of the command group share: usage errors, the checks of the options before
// a procedure runs, the failure report, and the click options both commands take.
#pragma once

#include <initializer_list>
#include <utility>

#include "python/capi/handle.h"

namespace mavelin::commands {

// Raises click's `error_class` (UsageError, BadParameter) for the current command; -1.
int usage_error(const char* error_class, PyObject* message, const char* param_hint);
// Refuses a run without --dir-path as a usage error, before any procedure runs.
int require_dir_path(PyObject* dir_path);
// Refuses an --output or a --report that cannot be written (a missing or read-only folder, a
// device, named pipe, socket or link in the way), and a report that would replace the
// certificate (`certificate`, the one named; null: the places where signing writes it or the
// search looks).
int check_outputs(PyObject* dir_path, PyObject* report, PyObject* output, PyObject* certificate);
// Refuses a --scheduler that cannot be used: no Dask support installed, or "auto" without
// DASK_SCHEDULER_ADDRESS.
int check_scheduler(PyObject* scheduler);
// With the report on standard output, the log lines that the command line's handlers write
// there go to standard error instead.
int move_log_to_stderr(PyObject* report);

// kwargs for a procedure call: the given pairs, None values left out.
py::Ref procedure_keywords(std::initializer_list<std::pair<const char*, PyObject*>> items);
// Turns an OS or archive error into one ERROR line (on the logger of `logger_module`) and the
// exit request, and Ctrl-C into exit status 130; anything else passes unchanged. Always null.
PyObject* report_failure(const char* logger_module);

// Loads click and the procedure `procedure` from mavelin.utils into the command module.
int load_common(PyObject* m, const char* procedure, py::Ref& click);
// Builds the command object: click.command(name=..., help=...)(function) plus its options.
py::Ref make_command(PyObject* m, PyObject* click, PyMethodDef* def, const char* name,
                     const char* help, const char* epilog);
// click.option(long, short, **attrs)(command); a null `short_name` gives the long name only.
int add_option(PyObject* click, PyObject* command, const char* long_name, const char* short_name,
               PyObject* attrs);
// click.Path(**kwargs)
py::Ref path_type(PyObject* click, PyObject* kwargs);
// --dir-path / -p: an existing folder.
int add_dir_path_option(PyObject* click, PyObject* command, const char* help);
// --report FILE: the JSON report of the run; "-" for standard output.
int add_report_option(PyObject* click, PyObject* command);
// --jobs / -j: a whole number from 1, no default (one thread per processor).
int add_jobs_option(PyObject* click, PyObject* command);
// --scheduler ADDRESS: hash on a Dask cluster ("auto": DASK_SCHEDULER_ADDRESS).
int add_scheduler_option(PyObject* click, PyObject* command);
// --keep-cache and --direct: what the reads do with the page cache.
int add_cache_options(PyObject* click, PyObject* command);
// --allowed-signers FILE (default: MAVELIN_ALLOWED_SIGNERS) and --identity NAME: the trusted
// signers a certificate's signature is checked against.
int add_signer_options(PyObject* click, PyObject* command);

}  // namespace mavelin::commands
