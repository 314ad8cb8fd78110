// SHA-256 front end: streaming hasher, one-shot hash and multi-message hashing.
#include "engine/hash/sha256/sha256.h"

#include <array>
#include <cstring>
#include <utility>

#include "engine/hash/sha256/impl.h"

namespace mavelin::hash::sha256 {

Hasher::Hasher() : pending_{}, total_(0) {
    std::memcpy(state_, detail::kInit, sizeof state_);
}

void Hasher::update(const void* data, size_t len) {
    if (len == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    const detail::Backend& be = detail::backend();
    size_t have = static_cast<size_t>(total_ % 64);
    total_ += len;
    if (have != 0) {
        const size_t take = len < 64 - have ? len : 64 - have;
        std::memcpy(pending_ + have, p, take);
        p += take;
        len -= take;
        have += take;
        if (have < 64) return;
        be.compress(state_, pending_, 1);
    }
    if (len >= 64) {
        be.compress(state_, p, len / 64);
        p += len & ~size_t{63};
        len &= 63;
    }
    if (len != 0) std::memcpy(pending_, p, len);
}

Digest Hasher::finish() const {
    uint32_t state[8];
    std::memcpy(state, state_, sizeof state);
    uint8_t tail[128];
    const size_t blocks =
        detail::pad_tail(pending_, static_cast<size_t>(total_ % 64), total_, tail);
    detail::backend().compress(state, tail, blocks);
    return detail::state_to_digest(state);
}

Digest hash(const void* data, size_t len) {
    Hasher h;
    h.update(data, len);
    return h.finish();
}

const Digest& empty_digest() {
    static const Digest d = hash(nullptr, 0);
    return d;
}

void hash_many(const uint8_t* const* msgs, size_t len, size_t count, Digest* out) {
    constexpr size_t kGroup = 16;  // the widest lane grouping
    const detail::Backend& be = detail::backend();
    const size_t full = len / 64;
    const size_t rem = len % 64;

    // Whole-block messages all end with the same padding block: schedule it once.
    alignas(16) uint32_t pad_wk[64];
    if (rem == 0) {
        uint8_t pad[128];
        detail::pad_tail(nullptr, 0, len, pad);
        detail::schedule_block(pad, pad_wk);
    }

    for (size_t i = 0; i < count; i += kGroup) {
        const size_t n = count - i < kGroup ? count - i : kGroup;
        uint32_t state[kGroup][8];
        uint32_t* states[kGroup];
        for (size_t l = 0; l < n; ++l) {
            std::memcpy(state[l], detail::kInit, sizeof state[l]);
            states[l] = state[l];
        }
        detail::compress_lanes(be, states, msgs + i, full, n);
        if (rem == 0) {
            detail::compress_scheduled(be, states, pad_wk, n);
        } else {
            uint8_t tail[kGroup][128];
            const uint8_t* tails[kGroup];
            size_t blocks = 0;
            for (size_t l = 0; l < n; ++l) {
                blocks = detail::pad_tail(msgs[i + l] + 64 * full, rem, len, tail[l]);
                tails[l] = tail[l];
            }
            detail::compress_lanes(be, states, tails, blocks, n);
        }
        for (size_t l = 0; l < n; ++l) out[i + l] = detail::state_to_digest(state[l]);
    }
}

BlockState initial_state() {
    BlockState s;
    std::memcpy(s.words, detail::kInit, sizeof s.words);
    return s;
}

void absorb_blocks(BlockState* const* states, const uint8_t* const* blocks, size_t nblocks,
                   size_t count) {
    constexpr size_t kGroup = 64;
    const detail::Backend& be = detail::backend();
    uint32_t* words[kGroup];
    for (size_t i = 0; i < count; i += kGroup) {
        const size_t n = count - i < kGroup ? count - i : kGroup;
        for (size_t l = 0; l < n; ++l) words[l] = states[i + l]->words;
        detail::compress_lanes(be, words, blocks + i, nblocks, n);
    }
}

void finish_blocks(const BlockState* const* states, uint64_t total_len, size_t count, Digest* out) {
    constexpr size_t kGroup = 64;
    const detail::Backend& be = detail::backend();
    // Every message ends with the same padding block: scheduled once for all.
    uint8_t pad[128];
    detail::pad_tail(nullptr, 0, total_len, pad);
    alignas(16) uint32_t pad_wk[64];
    detail::schedule_block(pad, pad_wk);
    BlockState work[kGroup];
    uint32_t* words[kGroup];
    for (size_t i = 0; i < count; i += kGroup) {
        const size_t n = count - i < kGroup ? count - i : kGroup;
        for (size_t l = 0; l < n; ++l) {
            work[l] = *states[i + l];
            words[l] = work[l].words;
        }
        detail::compress_scheduled(be, words, pad_wk, n);
        for (size_t l = 0; l < n; ++l) out[i + l] = detail::state_to_digest(work[l].words);
    }
}

void finish_states(const BlockState* const* states, const uint64_t* absorbed,
                   const uint8_t* const* tails, const size_t* tail_lens, size_t count,
                   Digest* out) {
    constexpr size_t kGroup = 32;
    const detail::Backend& be = detail::backend();
    alignas(64) uint8_t pad[kGroup][128];
    BlockState work[kGroup];
    uint32_t* words[kGroup];
    const uint8_t* blocks[kGroup];
    for (size_t i = 0; i < count; i += kGroup) {
        const size_t n = count - i < kGroup ? count - i : kGroup;
        size_t two = 0;  // messages whose padding takes a second block, moved to the front
        for (size_t l = 0; l < n; ++l) {
            work[l] = *states[i + l];
            words[l] = work[l].words;
            blocks[l] = pad[l];
            const size_t len = tail_lens[i + l];
            if (detail::pad_tail(tails[i + l], len, absorbed[i + l] + len, pad[l]) == 2) {
                std::swap(words[l], words[two]);
                std::swap(blocks[l], blocks[two]);
                ++two;
            }
        }
        detail::compress_lanes(be, words, blocks, 1, n);
        for (size_t l = 0; l < two; ++l) blocks[l] += 64;
        detail::compress_lanes(be, words, blocks, 1, two);
        for (size_t l = 0; l < n; ++l) out[i + l] = detail::state_to_digest(work[l].words);
    }
}

Digest finish_state(const BlockState& state, uint64_t absorbed, const uint8_t* tail,
                    size_t tail_len) {
    const detail::Backend& be = detail::backend();
    BlockState work = state;
    const size_t whole = tail_len / 64;
    be.compress(work.words, tail, whole);
    uint8_t pad[128];
    const size_t blocks =
        detail::pad_tail(tail + 64 * whole, tail_len % 64, absorbed + tail_len, pad);
    be.compress(work.words, pad, blocks);
    return detail::state_to_digest(work.words);
}

}  // namespace mavelin::hash::sha256
