// CPU instruction-set features relevant to the engine, detected once with CPUID and cached.
#pragma once

namespace mavelin::cpu {

struct Features {
    bool amd = false;  // vendor AuthenticAMD (or HygonGenuine)
    bool ssse3 = false;
    bool sse41 = false;
    bool pclmul = false;   // PCLMULQDQ: carry-less multiplication
    bool sha = false;      // SHA-NI: sha256rnds2, sha256msg1, sha256msg2
    bool avx2 = false;     // only when the OS saves the YMM state
    bool avx512 = false;   // F + VL + BW, only when the OS saves the ZMM and mask state
    bool vpclmul = false;  // VPCLMULQDQ: carry-less multiplication on whole vectors
};

// Detected on first call; later calls return the cached result. Thread-safe.
const Features& features();

}  // namespace mavelin::cpu
