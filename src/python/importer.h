// The importer that serves every submodule of the package from this one extension module.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::importer {

// Puts the importer on sys.meta_path once per process. `package_file` is the
// extension module's own file, from which the submodules' virtual origins are made.
int install(PyObject* package_file);

}  // namespace mavelin::importer
