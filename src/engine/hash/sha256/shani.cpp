// SHA-256 block functions on the x86 SHA extensions with the 16 SSE registers: one message, or
// 2/4/8/16 messages interleaved; and the choice between them and the AVX-512 register variant.
#include <immintrin.h>

#include "engine/cpu/features.h"
#include "engine/hash/sha256/impl.h"

#define MAVELIN_SHANI __attribute__((target("sha,sse4.1")))

namespace mavelin::hash::sha256::detail {
namespace {

#include "engine/hash/sha256/shani_kernels.h"

}  // namespace

// AMD cores overlap several sha256rnds2 chains: four lanes keep them busy (eight spill more
// registers than they gain); elsewhere two lanes are the safe choice.
int shani_preferred_width() {
    return cpu::features().amd ? 2 : 1;
}

const Backend& shani_sse_backend() {
    static const Backend be = shani_backend_of_this_target();
    return be;
}

const Backend& shani_backend() {
    // The SHA instructions name only the first 16 vector registers, but with AVX-512 the code
    // around them can keep the lanes' states and message words in all 32 instead of memory.
    return cpu::features().avx512 ? shani_evex_backend() : shani_sse_backend();
}

}  // namespace mavelin::hash::sha256::detail
