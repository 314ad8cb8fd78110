// Releasing the interpreter lock for a scope, without the macro pair.
#pragma once

#include <mutex>

#include "python/capi/handle.h"

namespace mavelin::py {

// Releases the interpreter lock for its lifetime; the lock is taken back in the destructor.
// Declare it BEFORE any lock guard of the released section, so that the guard ends (and its
// mutex is free) before this thread waits for the interpreter lock again: a thread holding
// a mutex while it waits for the interpreter lock deadlocks with one that holds the
// interpreter lock and waits for the mutex.
class GilRelease {
  public:
    GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
    // May end the thread: a thread that takes the lock back while the interpreter finalizes
    // is ended by a forced unwind (pthread_exit), which must pass through here.
    ~GilRelease() noexcept(false) { PyEval_RestoreThread(saved_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* saved_;
};

// Runs `work()` with the interpreter lock released. `work` must not touch Python objects.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    GilRelease released;
    return work();
}

// Locks `m` from a thread that holds the interpreter lock: a free mutex is taken at once;
// a busy one is waited for with the interpreter lock released, so that its holder can take
// the interpreter lock meanwhile. Returns the held lock; the caller keeps the interpreter lock.
template <class Mutex>
std::unique_lock<Mutex> lock_holding_gil(Mutex& m) {
    std::unique_lock<Mutex> held(m, std::try_to_lock);
    if (!held.owns_lock()) {
        GilRelease released;
        held.lock();
    }
    return held;
}

}  // namespace mavelin::py
