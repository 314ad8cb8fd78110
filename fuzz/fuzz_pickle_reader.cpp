// libFuzzer target: the restricted payload decoder and the node-table shape check on any bytes.
#include <cstddef>
#include <cstdint>

#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mavelin::pickle::Decoded decoded;
    if (mavelin::pickle::decode({data, size}, decoded).ok)
        (void)mavelin::pickle::check_node_table(decoded);
    return 0;
}
