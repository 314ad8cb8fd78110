// SHA-256 of a stream hashed on a thread of its own, so that the code producing the stream does
// not wait for the hashing: each piece is copied into one of a few buffers of 1 MiB and hashed
// while the producer goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/hash/sha256/sha256.h"

namespace mavelin::hash::sha256 {

// Memory: at most kBuffers buffers of kBufferSize bytes. The thread starts with the first full
// buffer (without one, or when no thread can be started, the hashing is done inline) and never
// outlives the object. update() may throw std::bad_alloc.
class BackgroundHasher {
  public:
    static constexpr size_t kBufferSize = size_t{1} << 20;
    static constexpr size_t kBuffers = 4;

    BackgroundHasher() = default;
    ~BackgroundHasher();
    BackgroundHasher(const BackgroundHasher&) = delete;
    BackgroundHasher& operator=(const BackgroundHasher&) = delete;

    void update(const void* data, size_t len);
    // The digest of everything given; waits for the thread. Once only.
    Digest finish();

  private:
    void hand_over();
    void work();
    void stop() noexcept;

    Hasher hasher_;  // the thread's while it runs
    std::vector<uint8_t> current_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> full_;
    std::vector<std::vector<uint8_t>> spare_;
    bool ending_ = false;
    bool inline_ = false;  // no thread could be started
    std::thread thread_;
};

}  // namespace mavelin::hash::sha256
