// libFuzzer target: a whole certificate load, archive to node table, as validation does it: the
// member read (stored or deflated) and its payload decoded within the archive's memory budget,
// the compact way and then the general way with its shape check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/memory_budget.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/table/payload_reader.h"
#include "engine/zip/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace zip = mavelin::zip;
    namespace budget = mavelin::memory_budget;
    zip::Member member;
    zip::Error err;
    if (zip::read_member_from_memory(data, size, "Certificate.pk", &member, &err) !=
        zip::Status::kOk)
        return 0;
    auto b = budget::Budget::for_file(member.archive_size);
    if (!b.charge(member.data.size())) std::abort();  // the reader keeps no more than allowed
    mavelin::table::NodeTable table;
    (void)mavelin::table::decode_any(member.data, table, b);
    mavelin::pickle::Decoded decoded;
    if (mavelin::pickle::decode(member.data, decoded, nullptr, &b).ok)
        (void)mavelin::pickle::check_node_table(decoded);
    return 0;
}
