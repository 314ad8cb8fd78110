// How a run tells its caller what stopped it: the mark of a library call on its thread.
#include "python/capi/library_call.h"

namespace mavelin::py {
namespace {

// Runs on this thread call into Python only from this thread: the engine's threads never do.
thread_local LibraryCall* current = nullptr;

}  // namespace

LibraryCall::LibraryCall() : previous_(current) {
    current = this;
}

LibraryCall::~LibraryCall() {
    current = previous_;
}

LibraryCall* library_call() {
    return current;
}

void set_phase(Phase phase) {
    if (current) current->phase = phase;
}

int may_log(PyObject* logger) {
    if (!current) return 1;
    Ref has = Ref::steal(PyObject_CallMethod(logger, "hasHandlers", nullptr));
    return has ? PyObject_IsTrue(has.get()) : -1;
}

}  // namespace mavelin::py
