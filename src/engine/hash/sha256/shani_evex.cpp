// SHA-256 block functions on the x86 SHA extensions, compiled for CPUs with AVX-512, whose 32
// vector registers hold the interleaved lanes' states and message words with fewer spills.
#include <immintrin.h>

#include "engine/hash/sha256/impl.h"

#define MAVELIN_SHANI __attribute__((target("sha,sse4.1,avx2,avx512f,avx512vl")))

namespace mavelin::hash::sha256::detail {
namespace {

#include "engine/hash/sha256/shani_kernels.h"

}  // namespace

const Backend& shani_evex_backend() {
    static const Backend be = shani_backend_of_this_target();
    return be;
}

}  // namespace mavelin::hash::sha256::detail
