// Internal interface between the CRC-32 dispatcher and the implementations, one file per
// instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mavelin::hash::crc32::detail {

// Continues a CRC over `len` bytes. Works on the inverted register (~crc), as the table-driven
// algorithms do; the dispatcher inverts on the way in and out.
using UpdateFn = uint32_t (*)(uint32_t reg, const uint8_t* p, size_t len);

// Any CPU (portable.cpp).
uint32_t update_portable(uint32_t reg, const uint8_t* p, size_t len);

// x86-64 with PCLMULQDQ and SSE4.1 only (pclmul.cpp); not defined elsewhere.
uint32_t update_pclmul(uint32_t reg, const uint8_t* p, size_t len);
// The register after `acc`, 128 bits of folded remainder (as stored by _mm_storeu_si128), and
// `len` more bytes at p, a multiple of 16 (pclmul.cpp; x86-64 only).
uint32_t reduce_pclmul(const uint8_t acc[16], const uint8_t* p, size_t len);

// x86-64 with VPCLMULQDQ and AVX-512 (vpclmul.cpp); not defined elsewhere.
uint32_t update_vpclmul(uint32_t reg, const uint8_t* p, size_t len);

}  // namespace mavelin::hash::crc32::detail
