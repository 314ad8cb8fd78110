// The flag that asks long engine work to stop (Ctrl-C), looked at between pieces of that work.
#pragma once

#include <atomic>
#include <cstdint>

namespace mavelin::cancellation {

// True once `flag` (optional: null never asks) was set.
inline bool requested(const std::atomic<bool>* flag) noexcept {
    return flag != nullptr && flag->load(std::memory_order_relaxed);
}

// For loops whose steps are too small to look at the flag each time (an opcode, a node): true
// when the flag was set, looked at on every kEvery-th call only.
class Poll {
  public:
    static constexpr std::uint32_t kEvery = 4096;

    explicit Poll(const std::atomic<bool>* flag) noexcept : flag_(flag) {}
    bool operator()() noexcept {
        if (++count_ < kEvery) return false;
        count_ = 0;
        return requested(flag_);
    }

  private:
    const std::atomic<bool>* flag_;
    std::uint32_t count_ = 0;
};

}  // namespace mavelin::cancellation
