// libFuzzer target: reading a member of an archive held in memory, under each name a certificate
// or a damaged copy of one may carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/hash/crc32/crc32.h"
#include "engine/zip/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace zip = mavelin::zip;
    for (const char* name : {"Certificate.pk", "a"}) {
        zip::Member member;
        zip::Error err;
        const zip::Status s = zip::read_member_from_memory(data, size, name, &member, &err);
        // Whatever is handed out was checked: the whole member, matching its CRC-32.
        if (s == zip::Status::kOk &&
            (member.data.size() != member.size ||
             mavelin::hash::crc32::compute(member.data.data(), member.data.size()) !=
                 member.expected_crc))
            std::abort();
    }
    return 0;
}
