// CPUID-based detection of the instruction-set features the engine can use.
#include "engine/cpu/features.h"

#include <cpuid.h>

#include <cstdint>
#include <cstring>

namespace mavelin::cpu {
namespace {

// Extended control register 0, readable only when the OS enabled XSAVE (CPUID.1:ECX.OSXSAVE).
uint64_t read_xcr0() {
    uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<uint64_t>(edx) << 32) | eax;
}

Features detect() {
    Features f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return f;
    const unsigned max_leaf = a;
    char vendor[13] = {};
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &c, 4);
    f.amd = std::strcmp(vendor, "AuthenticAMD") == 0 || std::strcmp(vendor, "HygonGenuine") == 0;

    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    f.ssse3 = (c & bit_SSSE3) != 0;
    f.sse41 = (c & bit_SSE4_1) != 0;
    f.pclmul = (c & bit_PCLMUL) != 0;
    const bool osxsave = (c & bit_OSXSAVE) != 0;
    const bool avx = (c & bit_AVX) != 0;
    const uint64_t xcr0 = osxsave ? read_xcr0() : 0;
    const bool os_ymm = (xcr0 & 0x6) == 0x6;              // SSE and AVX state
    const bool os_zmm = os_ymm && (xcr0 & 0xE0) == 0xE0;  // opmask, ZMM_Hi256, Hi16_ZMM

    if (max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        f.sha = (b & bit_SHA) != 0;
        f.avx2 = avx && os_ymm && (b & bit_AVX2) != 0;
        f.avx512 =
            os_zmm && (b & bit_AVX512F) != 0 && (b & bit_AVX512VL) != 0 && (b & bit_AVX512BW) != 0;
        f.vpclmul = os_ymm && (c & bit_VPCLMULQDQ) != 0;
    }
    return f;
}

}  // namespace

const Features& features() {
    static const Features cached = detect();
    return cached;
}

}  // namespace mavelin::cpu
