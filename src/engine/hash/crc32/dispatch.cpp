// Run-time choice of the CRC-32 implementation from the cached CPU features, and the public entry
// points.
#include <atomic>

#include "engine/cpu/features.h"
#include "engine/hash/crc32/choice.h"
#include "engine/hash/crc32/crc32.h"
#include "engine/hash/crc32/impl.h"

namespace mavelin::hash::crc32 {
namespace {

detail::UpdateFn function_of(Impl impl) {
#if defined(__x86_64__)
    if (impl == Impl::kVpclmul) return detail::update_vpclmul;
    if (impl == Impl::kPclmul) return detail::update_pclmul;
#else
    (void)impl;
#endif
    return detail::update_portable;
}

Impl best() {
    if (available(Impl::kVpclmul)) return Impl::kVpclmul;
    return available(Impl::kPclmul) ? Impl::kPclmul : Impl::kPortable;
}

std::atomic<int>& current() {
    static std::atomic<int> impl{static_cast<int>(best())};
    return impl;
}

uint32_t run(Impl impl, uint32_t crc, const void* data, size_t len) {
    return ~function_of(impl)(~crc, static_cast<const uint8_t*>(data), len);
}

}  // namespace

bool available(Impl impl) {
    switch (impl) {
        case Impl::kPortable:
            return true;
        case Impl::kPclmul: {
#if defined(__x86_64__)
            const cpu::Features& f = cpu::features();
            return f.pclmul && f.sse41;
#else
            return false;
#endif
        }
        case Impl::kVpclmul: {
#if defined(__x86_64__)
            const cpu::Features& f = cpu::features();
            return f.vpclmul && f.avx512 && f.pclmul && f.sse41;
#else
            return false;
#endif
        }
    }
    return false;
}

Impl active() {
    return static_cast<Impl>(current().load(std::memory_order_relaxed));
}

bool force(Impl impl) {
    if (!available(impl)) return false;
    current().store(static_cast<int>(impl), std::memory_order_relaxed);
    return true;
}

const char* name(Impl impl) {
    switch (impl) {
        case Impl::kPortable:
            return "slicing-by-8";
        case Impl::kPclmul:
            return "pclmulqdq";
        case Impl::kVpclmul:
            return "vpclmulqdq";
    }
    return "?";
}

uint32_t update_with(Impl impl, uint32_t crc, const void* data, size_t len) {
    return run(impl, crc, data, len);
}

uint32_t update(uint32_t crc, const void* data, size_t len) {
    return run(active(), crc, data, len);
}

}  // namespace mavelin::hash::crc32
