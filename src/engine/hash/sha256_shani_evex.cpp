// SHA-256 block functions on the x86 SHA extensions, compiled for CPUs with AVX-512, whose 32
// vector registers hold the interleaved lanes' states and message words with fewer spills.
#include <immintrin.h>

#include "engine/hash/sha256_impl.h"

#define MAVELIN_SHANI __attribute__((target("sha,sse4.1,avx2,avx512f,avx512vl")))

namespace mavelin::hash::sha256::detail {
namespace {

#include "engine/hash/sha256_shani_kernels.h"

}  // namespace

const Backend& shani_evex_backend() {
    static const Backend be{
        Impl::kShaNi,
        compress_shani,
        {lanes_shani<1>, lanes_shani<2>, lanes_shani<4>, lanes_shani<8>, lanes_shani<16>},
        {scheduled_shani<1>, scheduled_shani<2>, scheduled_shani<4>, scheduled_shani<8>,
         scheduled_shani<16>},
        shani_preferred_width(),
    };
    return be;
}

}  // namespace mavelin::hash::sha256::detail
