// Memory budgets for reading untrusted input: what a certificate may cost for its size on disk,
// and the most the process may grant at all (the machine's memory and its control groups' limit).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace mavelin::memory_budget {

// What reading and decoding an archive of `file_size` bytes on disk may take beyond the table it
// yields (16 bytes per byte on disk plus 64 MiB): the payloads the host writes need far less,
// even deflated, while deflate cannot make a small file cost more.
constexpr std::uint64_t kPerFileByte = 16;
constexpr std::uint64_t kBase = std::uint64_t{64} << 20;
constexpr std::uint64_t allowance(std::uint64_t file_size) noexcept {
    return file_size > (UINT64_MAX - kBase) / kPerFileByte ? UINT64_MAX
                                                           : kPerFileByte * file_size + kBase;
}

// The most one input may claim at all: half of the memory the process may use, the smaller of
// the machine's memory and the limit of the memory control group it runs in (v2 memory.max, v1
// memory.limit_in_bytes, of its group and each group above it). Setting 0 restores that
// default (the setter is for tests).
std::uint64_t process_cap() noexcept;
void set_process_cap(std::uint64_t bytes) noexcept;

// The smallest memory limit of the control groups of this process, read from the /proc and /sys
// below `root` ("" for the real ones); UINT64_MAX when there is none. Never throws.
std::uint64_t cgroup_limit(const std::string& root = "") noexcept;

// Bytes counted against a limit by the stages of one reading.
class Budget {
  public:
    explicit Budget(std::uint64_t limit) noexcept : limit_(limit) {}
    // The budget of an archive of `file_size` bytes: allowance(), capped by process_cap().
    static Budget for_file(std::uint64_t file_size) noexcept {
        return Budget(std::min(allowance(file_size), process_cap()));
    }

    std::uint64_t limit() const noexcept { return limit_; }
    std::uint64_t used() const noexcept { return used_; }
    bool fits(std::uint64_t bytes) const noexcept { return bytes <= limit_ - used_; }
    // Counts `bytes` more; false, and nothing counted, when they do not fit.
    bool charge(std::uint64_t bytes) noexcept {
        if (!fits(bytes)) return false;
        used_ += bytes;
        return true;
    }
    // Moves what a growing holder counts from `*held` to `now`; false, and nothing changed, when
    // the growth does not fit.
    bool hold(std::uint64_t* held, std::uint64_t now) noexcept {
        if (now > *held && !charge(now - *held)) return false;
        if (now < *held) used_ -= *held - now;
        *held = now;
        return true;
    }

  private:
    friend class Stage;
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
};

// One stage of a reading: what it counted is given back when it ends (its memory is freed).
class Stage {
  public:
    explicit Stage(Budget& b) noexcept : b_(b), mark_(b.used_) {}
    ~Stage() { b_.used_ = mark_; }
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

  private:
    Budget& b_;
    std::uint64_t mark_;
};

}  // namespace mavelin::memory_budget
