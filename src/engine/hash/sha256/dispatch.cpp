// Run-time choice of the SHA-256 implementation, and the lane grouping shared by all of them.
#include <atomic>

#include "engine/cpu/features.h"
#include "engine/hash/sha256/impl.h"

namespace mavelin::hash::sha256 {
namespace detail {
namespace {

// AVX-512 hashes 16 messages at a time faster than SHA-NI does on Intel cores; AMD cores keep
// several SHA-NI streams going at once and split 512-bit vectors in two, so SHA-NI stays ahead
// there.
const Backend* choose_backend() {
    if (available(Impl::kAvx512) && !cpu::features().amd) return &avx512_backend();
    if (available(Impl::kShaNi)) return &shani_backend();
    return &portable_backend();
}

const Backend& best_backend() {
    static const Backend* const chosen = choose_backend();
    return *chosen;
}

const Backend& backend_of(Impl impl) {
    switch (impl) {
        case Impl::kShaNi:
            return shani_backend();
        case Impl::kAvx512:
            return avx512_backend();
        case Impl::kPortable:
            break;
    }
    return portable_backend();
}

std::atomic<const Backend*> g_forced{nullptr};

// Widest lane grouping (index into Backend::lanes) usable for `remaining` messages.
int width_for(const Backend& be, size_t remaining) {
    int w = be.preferred_width;
    while (w > 0 && (size_t{1} << w) > remaining) --w;
    return w;
}

}  // namespace

const Backend& backend() {
    const Backend* forced = g_forced.load(std::memory_order_acquire);
    return forced != nullptr ? *forced : best_backend();
}

void compress_lanes(const Backend& be, uint32_t* const* states, const uint8_t* const* data,
                    size_t nblocks, size_t count) {
    if (nblocks == 0) return;
    size_t i = 0;
    while (i < count) {
        const int w = width_for(be, count - i);
        be.lanes[w](states + i, data + i, nblocks);
        i += size_t{1} << w;
    }
}

void compress_scheduled(const Backend& be, uint32_t* const* states, const uint32_t* wk,
                        size_t count) {
    size_t i = 0;
    while (i < count) {
        const int w = width_for(be, count - i);
        be.scheduled[w](states + i, wk);
        i += size_t{1} << w;
    }
}

}  // namespace detail

bool available(Impl impl) {
    switch (impl) {
        case Impl::kPortable:
            return true;
        case Impl::kShaNi: {
            const cpu::Features& f = cpu::features();
            return f.sha && f.ssse3 && f.sse41;
        }
        case Impl::kAvx512:
            return cpu::features().avx512;
    }
    return false;
}

Impl active() {
    return detail::backend().impl;
}

bool force(Impl impl) {
    if (!available(impl)) return false;
    detail::g_forced.store(&detail::backend_of(impl), std::memory_order_release);
    return true;
}

const char* name(Impl impl) {
    switch (impl) {
        case Impl::kPortable:
            return "portable";
        case Impl::kShaNi:
            return "sha-ni";
        case Impl::kAvx512:
            return "avx512";
    }
    return "unknown";
}

}  // namespace mavelin::hash::sha256
