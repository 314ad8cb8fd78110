// libFuzzer target: a whole certificate load, archive to checked node table, as validation does it.
#include <cstddef>
#include <cstdint>

#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/zip/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace zip = mavelin::zip;
    zip::Member member;
    zip::Error err;
    if (zip::read_member_from_memory(data, size, "Certificate.pk", &member, &err) !=
        zip::Status::kOk)
        return 0;
    mavelin::pickle::Decoded decoded;
    if (mavelin::pickle::decode(member.data, decoded).ok)
        (void)mavelin::pickle::check_node_table(decoded);
    return 0;
}
