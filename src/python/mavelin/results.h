// The result of a library call (mavelin.results): made from the facts the run report is written
// from, so that the result and the report say the same.
#pragma once

#include "python/capi/handle.h"
#include "python/mavelin/utils/run_report.h"

namespace mavelin::results {

// mavelin.results.Finding, made once per process. Borrowed, or null with an exception set.
PyObject* finding_class();
// Finding(kind, path, other_path) of a (kind, path, other path or None) tuple.
py::Ref finding(PyObject* triple);
// mavelin.results.Result of a run's facts.
py::Ref result(const run_report::Facts& facts);

}  // namespace mavelin::results
