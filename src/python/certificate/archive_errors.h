// Python exceptions for the outcomes of the engine's archive reader and writer.
#pragma once

#include "engine/zip/format.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// Sets the exception the host zipfile module raises for the same kind of failure.
void raise_archive_error(const zip::Error& err);

}  // namespace mavelin::certificate
