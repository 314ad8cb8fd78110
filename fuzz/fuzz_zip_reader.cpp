// libFuzzer target: listing the members of an archive held in memory and reading a member under
// each name a certificate (signed or not) or a damaged copy of one may carry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/hash/crc32/crc32.h"
#include "engine/zip/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace zip = mavelin::zip;
    std::vector<zip::MemberEntry> members;
    zip::Error list_err;
    if (zip::list_members_from_memory(data, size, &members, &list_err) == zip::Status::kOk) {
        // A listed member lies within the archive, and no name is listed twice.
        for (size_t i = 0; i < members.size(); ++i) {
            if (members[i].data_start + members[i].compressed > size) std::abort();
            for (size_t j = 0; j < i; ++j)
                if (members[j].name == members[i].name) std::abort();
        }
    }
    for (const char* name : {"Certificate.pk", "Certificate.json", "Certificate.sig", "a"}) {
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
