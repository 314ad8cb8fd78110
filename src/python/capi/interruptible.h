// Long engine work that a signal (Ctrl-C) can cut short: the work runs on its own thread
// while the calling thread, without the interpreter lock, waits and looks at signals.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "python/capi/gil.h"

namespace mavelin::py {

// How often the waiting thread looks at signals: the longest a Ctrl-C waits to be seen.
inline constexpr std::chrono::milliseconds kSignalPoll{20};

// Runs `work()` (which must not throw and must not touch Python objects) and waits for it.
// When a signal handler raises meanwhile (KeyboardInterrupt), `cancel` is set, the work is
// still waited for, and -1 is returned with that exception set; when one raises before the
// work starts, the work does not run. `tick()` (noexcept) runs with
// the lock held at every wake-up while the work goes on. Call with the lock held.
//
// A daemon thread that takes the lock back while the interpreter finalizes is ended there by a
// forced unwind: `joiner` then cancels the work and waits for it, so nothing the work uses is
// destroyed under it and no joinable std::thread is left behind.
template <class Work, class Tick>
int run_interruptible(Work&& work, std::atomic<bool>& cancel, Tick&& tick) {
    // A Ctrl-C that came while the previous step ended (nothing looked at signals since) stops
    // this one before it starts.
    if (PyErr_CheckSignals() < 0) {
        cancel.store(true);
        return -1;
    }
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::thread worker;
    struct Joiner {
        std::thread& worker;
        std::atomic<bool>& cancel;
        ~Joiner() {
            if (!worker.joinable()) return;
            cancel.store(true);
            worker.join();
        }
    } joiner{worker, cancel};
    try {
        worker = std::thread([&] {
            work();
            std::lock_guard<std::mutex> guard(lock);
            done = true;
            finished.notify_one();
        });
    } catch (const std::system_error&) {  // no thread to be had: do the work here, uninterruptible
        without_gil(work);
        return 0;
    }
    int result = 0;
    for (;;) {
        bool ended = false;
        {
            GilRelease released;
            std::unique_lock<std::mutex> guard(lock);  // ends before the lock is taken back
            ended = finished.wait_for(guard, kSignalPoll, [&] { return done; });
        }
        if (ended) break;
        if (result != 0) continue;  // interrupted: only the work's end is awaited
        if (PyErr_CheckSignals() < 0) {
            result = -1;
            cancel.store(true);
        } else {
            tick();
        }
    }
    without_gil([&] { worker.join(); });
    return result;
}

template <class Work>
int run_interruptible(Work&& work, std::atomic<bool>& cancel) {
    return run_interruptible(std::forward<Work>(work), cancel, [] {});
}

// run_interruptible for work that may run out of memory: whatever `work()` throws ends it and
// becomes MemoryError (-1), as does an interrupt (KeyboardInterrupt).
template <class Work>
int run_interruptible_alloc(Work&& work, std::atomic<bool>& cancel) {
    bool failed = false;
    auto guarded = [&]() noexcept {
        try {
            work();
        } catch (...) {
            failed = true;
        }
    };
    if (run_interruptible(guarded, cancel) < 0) return -1;
    if (failed) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

}  // namespace mavelin::py
