// The validator's steps as the procedure runs them on compact node tables.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::validation {

// What a validation run found, as the procedure logs and reports it.
struct Outcome {
    py::Ref failed;       // the number of files that failed (folders that could not be read too)
    py::Ref files;        // the files fingerprinted
    py::Ref bytes;        // the bytes fingerprinted
    py::Ref uncertified;  // the folders whose files were left out for their name
    py::Ref links;        // the links whose target was missing
    py::Ref findings;     // (kind, path, other path or None) tuples
    py::Ref unchecked;    // the certified files below folders that could not be read
};

// Loads the certificate at validator._certificate_path, scans and fingerprints the folder and
// pairs the two by path (or `by_position`), logging everything as
// validator.deserealize_certificate(), generate_fingerprints() and validate_nodes("path" or
// "position") do, on compact node tables: no record per
// file, only the findings become objects. The validator's attributes the procedure reads
// (_findings, _fingerprinted_bytes, _uncertified_folders, _uncertified_links, _unchecked_files)
// are set as those steps set them, for callers; the procedure takes them from `out`.
// Returns 0 with `out` set; 1 when the stored table does not fit the compact form, before
// anything was logged (the caller runs the steps themselves); -1 with an exception set (an exit
// request included).
// With `check_metadata` (by path only), the walk keeps the files' stat data and, after the
// content findings, each difference in permission bits, owner, group or link target from the
// certificate's member Certificate.files is one finding of kind "metadata" ("File P: mode 0644
// → 0755"); they are no failures. A certificate without that member: one WARNING saying the
// metadata went unchecked.
int run_on_tables(PyObject* validator, bool by_position, Outcome& out, bool check_metadata = false);

}  // namespace mavelin::validation
