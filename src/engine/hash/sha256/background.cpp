// SHA-256 of a stream hashed on a thread of its own, fed through a few buffers.
#include "engine/hash/sha256/background.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

namespace mavelin::hash::sha256 {

BackgroundHasher::~BackgroundHasher() {
    stop();
}

void BackgroundHasher::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void BackgroundHasher::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return ending_ || !full_.empty(); });
        if (full_.empty()) return;  // ending, and everything handed over is hashed
        std::vector<uint8_t> buffer = std::move(full_.front());
        full_.pop_front();
        lock.unlock();
        hasher_.update(buffer.data(), buffer.size());
        buffer.clear();
        lock.lock();
        spare_.push_back(std::move(buffer));
        changed_.notify_all();
    }
}

// The full current buffer goes to the thread (started now if it is not running), and a spare
// one takes its place, once there is one.
void BackgroundHasher::hand_over() {
    if (inline_) {
        hasher_.update(current_.data(), current_.size());
        current_.clear();
        return;
    }
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            inline_ = true;
            hand_over();
            return;
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return full_.size() + 1 < kBuffers; });
    full_.push_back(std::move(current_));
    current_ = std::vector<uint8_t>();
    if (!spare_.empty()) {
        current_ = std::move(spare_.back());
        spare_.pop_back();
    }
    lock.unlock();
    changed_.notify_all();
}

void BackgroundHasher::update(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
        if (current_.capacity() < kBufferSize) current_.reserve(kBufferSize);
        const size_t n = std::min(len, kBufferSize - current_.size());
        current_.insert(current_.end(), p, p + n);
        p += n;
        len -= n;
        if (current_.size() == kBufferSize) hand_over();
    }
}

Digest BackgroundHasher::finish() {
    stop();  // the thread hashes what it was handed, then ends
    hasher_.update(current_.data(), current_.size());
    current_.clear();
    return hasher_.finish();
}

}  // namespace mavelin::hash::sha256
