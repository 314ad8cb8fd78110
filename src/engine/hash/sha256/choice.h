// SHA-256 implementation choice, for tests, benchmarks and the binding's test hooks: the engine
// itself calls the functions of sha256.h, which use the fastest implementation the CPU has.
#pragma once

namespace mavelin::hash::sha256 {

enum class Impl { kPortable, kShaNi, kAvx512 };

bool available(Impl impl);
// The implementation in use: the fastest available unless another was forced.
Impl active();
// For tests and benchmarks. Refuses (returns false, changes nothing) when `impl` is unavailable.
bool force(Impl impl);
const char* name(Impl impl);

}  // namespace mavelin::hash::sha256
