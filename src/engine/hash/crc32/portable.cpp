// Portable CRC-32: slicing-by-8 tables, usable on any CPU; also finishes what the vector paths
// leave over.
#include <array>
#include <bit>
#include <cstring>

#include "engine/hash/crc32/impl.h"

namespace mavelin::hash::crc32::detail {
namespace {

constexpr uint32_t kPoly = 0xEDB88320u;  // reflected 0x04C11DB7

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][i] = c;
    }
    for (size_t s = 1; s < 8; ++s) {
        for (size_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
    }
    return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

uint32_t update_portable(uint32_t reg, const uint8_t* p, size_t len) {
    const auto& t = kTables;
    if constexpr (std::endian::native == std::endian::little) {
        while (len >= 8) {
            uint32_t lo;
            uint32_t hi;
            std::memcpy(&lo, p, 4);
            std::memcpy(&hi, p + 4, 4);
            lo ^= reg;
            reg = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^
                  t[4][lo >> 24] ^ t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^
                  t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
            p += 8;
            len -= 8;
        }
    }
    while (len--) reg = (reg >> 8) ^ t[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

}  // namespace mavelin::hash::crc32::detail
