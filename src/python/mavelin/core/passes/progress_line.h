// The progress line of a fingerprint pass: one line on standard error, redrawn in place.
#pragma once

#include <chrono>
#include <cstdint>

#include "engine/fingerprint/progress.h"
#include "python/capi/handle.h"

namespace mavelin::passes {

// Shows `phase`, files and bytes done of the totals, the rate and the time left, read from
// `counters`, on sys.stderr. Inactive (draws nothing) unless sys.stderr is a terminal. All
// calls need the interpreter lock; output errors are ignored (the line is only a courtesy).
class ProgressLine {
  public:
    ProgressLine(const char* phase, uint64_t files_total,
                 const fingerprint::Progress& counters) noexcept;
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // True when sys.stderr is a terminal.
    static bool terminal() noexcept;

    // Redraws the line if it is due (at once the first time, then a few times a second).
    void tick() noexcept;
    // Removes the line, leaving the cursor at the start of an empty line. Also done on
    // destruction.
    void clear() noexcept;

  private:
    void draw() noexcept;
    void write(const char* text) noexcept;

    const char* phase_;
    uint64_t files_total_;
    const fingerprint::Progress& counters_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_{};
    py::Ref stream_;  // sys.stderr when it is a terminal, else empty
    bool drawn_ = false;
};

}  // namespace mavelin::passes
