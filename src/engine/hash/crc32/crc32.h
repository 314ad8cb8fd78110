// CRC-32 (the ZIP/zlib polynomial): streaming update with a portable and a carry-less-multiply path
// chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mavelin::hash::crc32 {

// Continues the CRC-32 `crc` of earlier data over `len` more bytes, zlib style: start with 0,
// feed the data in any split, the result is the CRC of the concatenation.
uint32_t update(uint32_t crc, const void* data, size_t len);

inline uint32_t compute(const void* data, size_t len) {
    return update(0, data, len);
}

}  // namespace mavelin::hash::crc32
