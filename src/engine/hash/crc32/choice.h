// CRC-32 implementation choice, for tests and benchmarks only: the engine itself calls update()
// and compute() from crc32.h, which use the fastest implementation the CPU has.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mavelin::hash::crc32 {

enum class Impl { kPortable, kPclmul, kVpclmul };

bool available(Impl impl);
// The implementation in use: the fastest available unless another was forced.
Impl active();
// For tests and benchmarks. Refuses (returns false, changes nothing) when `impl` is unavailable.
bool force(Impl impl);
const char* name(Impl impl);
// Runs one given implementation, whatever is active. `impl` must be available.
uint32_t update_with(Impl impl, uint32_t crc, const void* data, size_t len);

}  // namespace mavelin::hash::crc32
