// How a run tells its caller what stopped it: the procedures log and request the exit; a call of
// the library functions (mavelin.sign, mavelin.validate) raises the package's exceptions and logs
// only through handlers its caller configured.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::py {

// Why a run could not reach its verdict: which exception of mavelin.errors a library call raises.
enum class Failure {
    kError,                 // mavelin.Error itself
    kArgumentRefused,       // ArgumentRefused (also a ValueError)
    kCertificateNotFound,   // CertificateNotFound (also a FileNotFoundError)
    kCertificateCorrupted,  // CertificateCorrupted
    kTreeUnreadable,        // TreeUnreadable (also an OSError)
    kNoFiles,               // NoFiles
    kWriteFailed,           // WriteFailed (also an OSError)
    kCount
};

// How far a run has got, for the exceptions its library call raises: an OSError before the work
// starts refuses an argument, during the work the tree could not be read, while the results are
// written they could not be.
enum class Phase { kArguments, kWork, kWriting };

// Marks the calling thread's run as a library call while it lives (runs do not nest, but the
// previous mark is kept all the same).
class LibraryCall {
  public:
    LibraryCall();
    ~LibraryCall();
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;

    Phase phase = Phase::kArguments;

  private:
    LibraryCall* previous_;
};

// The calling thread's library call, or null (a procedure, or no run).
LibraryCall* library_call();
// Notes how far the calling thread's run has got (nothing outside a library call).
void set_phase(Phase phase);
// Whether a record on `logger` would reach a handler the caller configured: always outside a
// library call; in one, only when logger.hasHandlers(). -1 with an exception set.
int may_log(PyObject* logger);

}  // namespace mavelin::py
