// The validator's steps as the procedure runs them on compact node tables.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::validation {

// Loads the certificate at validator._certificate_path, scans and fingerprints the folder and
// pairs the two by path, logging everything as validator.deserealize_certificate(),
// generate_fingerprints() and validate_nodes("path") do, on compact node tables: no record per
// file, only the findings become objects. The validator's attributes the procedure reads
// (_findings, _fingerprinted_bytes, _uncertified_folders, _uncertified_links, _unchecked_files)
// are set as those steps set them.
// Returns 0 with `failed` (the failed-file count) and `files` (the files fingerprinted) set; 1
// when the stored table does not fit the compact form, before anything was logged (the caller
// runs the steps themselves); -1 with an exception set (an exit request included).
int run_by_path(PyObject* validator, py::Ref& failed, py::Ref& files);

}  // namespace mavelin::validation
