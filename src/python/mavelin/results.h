// The result of a library call (mavelin.results): made from the facts the run report is written
// from, so that the result and the report say the same.
#pragma once

#include <array>
#include <span>

#include "python/capi/handle.h"
#include "python/mavelin/utils/run_report.h"

namespace mavelin::results {

// A field of a dataclass: its name and its type as annotation text.
using Field = std::array<const char*, 2>;
// A frozen dataclass of mavelin.results named `name`, of the class namespace `ns` (defaults and
// __doc__) and the fields `fields`, in order (added to ns's __annotations__, made when missing).
// Null with an exception set.
py::Ref frozen_dataclass(const char* name, PyObject* ns, std::span<const Field> fields = {});
// mavelin.results.Finding, made once per process. Borrowed, or null with an exception set.
PyObject* finding_class();
// Finding(kind, path, other_path) of a (kind, path, other path or None) tuple.
py::Ref finding(PyObject* triple);
// mavelin.results.Signature, made once per process. Borrowed, or null with an exception set.
PyObject* signature_class();
// Signature of the report's signature facts (a dict of SignatureFacts::as_dict).
py::Ref signature(PyObject* facts);
// mavelin.results.Result of a run's facts.
py::Ref result(const run_report::Facts& facts);

}  // namespace mavelin::results
