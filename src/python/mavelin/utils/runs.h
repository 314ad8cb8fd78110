// The two runs behind the procedures (mavelin.utils) and the library functions (mavelin.sign,
// mavelin.validate): the same work, log records and report; each caller turns the outcome into
// its own answer (None or the exit request; a result or an exception).
#pragma once

#include "python/mavelin/utils/run_options.h"
#include "python/mavelin/utils/run_report.h"

namespace mavelin::procedures {

// Signs options.dir_path. 0: the certificate was written; 1: files could not be read (logged, the
// report written, no certificate); -1 with an exception set. `facts`, when given, receives what
// the report says (also without a report).
int sign_run(const RunOptions& options, run_report::Facts* facts);
// Validates options.dir_path. 0: every file matched; 1: files failed validation (logged, the
// report written); -1 with an exception set. `facts` as for sign_run.
int validate_run(const RunOptions& options, run_report::Facts* facts);

}  // namespace mavelin::procedures
