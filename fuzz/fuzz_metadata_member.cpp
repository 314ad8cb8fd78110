// libFuzzer target: the reader of the metadata member Certificate.files on any bytes, and the
// writer giving back exactly the bytes it accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/metadata/member.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mavelin::metadata::FileStats stats;
    const char* bytes = reinterpret_cast<const char*>(data);
    if (!mavelin::metadata::read_member(bytes, size, stats).empty()) return 0;
    std::string again;
    mavelin::metadata::write_member(stats, [&](std::string_view piece) { again.append(piece); });
    if (again != std::string(bytes, size)) std::abort();
    return 0;
}
