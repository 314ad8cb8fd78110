// Writing a FileManager's certificate: the payload file, then the archive that holds it.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::certificate_writer {

// manager._save_certificate(); 0, or -1 with an exception set.
int save(PyObject* manager);
// manager._archive_certificate(); 0, or -1 with an exception set.
int archive(PyObject* manager);

}  // namespace mavelin::certificate_writer
