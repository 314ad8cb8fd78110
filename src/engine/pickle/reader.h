// Restricted pickle decoder for the certificate payload: a node table of FileNode records,
// protocols 2 to 5.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/memory_budget.h"

namespace mavelin::pickle {

using ValueId = std::uint32_t;

enum class Kind : std::uint8_t {
    Int,         // fits in 64 bits: `small`
    BigInt,      // input bytes [offset, offset+length): little-endian two's complement, minimal
    Str,         // input bytes [offset, offset+length): UTF-8, lone surrogates allowed
    List,        // container: items
    Dict,        // container: key, value, key, value ... in insertion order
    Object,      // a FileNode; state: the first `state_pairs` pairs of dict `state`
    Class,       // the FileNode class
    EmptyTuple,  // only as the NEWOBJ argument tuple
};

struct Value {
    Kind kind;
    bool built = false;     // Object: BUILD seen
    std::uint32_t ref = 0;  // List/Dict: container index; Object: state dict; BigInt/Str: length
    std::uint64_t a = 0;    // Int: the value's bits; BigInt/Str: offset; Object: state pairs
};

// What the decoder's tables may take, in bytes, for an input of `n` bytes (beyond that the
// payload is refused): a node table as the host writes it needs well under this, whatever its
// paths and rows, while a stream of opcodes chosen to make objects cheaply cannot make the
// decoder grow past it.
inline constexpr std::size_t table_budget(std::size_t n) {
    return 10 * n + (std::size_t{1} << 20);
}

// Decoded stream: a graph of values in creation order. A memo reference yields the same
// ValueId again, so shared objects stay shared. Str and BigInt bytes point into the input,
// which must outlive this object.
struct Decoded {
    std::span<const std::uint8_t> input;
    std::vector<Value> values;
    std::vector<std::vector<ValueId>> containers;
    ValueId root = 0;
    int protocol = 0;
    std::size_t table_bytes = 0;  // what the decoder's tables took (at most table_budget)

    const Value& at(ValueId id) const { return values[id]; }
    std::int64_t int_value(ValueId id) const { return static_cast<std::int64_t>(values[id].a); }
    std::span<const std::uint8_t> bytes(ValueId id) const {
        return input.subspan(values[id].a, values[id].ref);
    }
    std::string_view str(ValueId id) const {
        auto s = bytes(id);
        return {reinterpret_cast<const char*>(s.data()), s.size()};
    }
    const std::vector<ValueId>& items(ValueId id) const { return containers[values[id].ref]; }
    std::size_t dict_size(ValueId id) const { return items(id).size() / 2; }
    // Object state: pair i is (state_key(id, i), state_value(id, i)), i < state_size(id).
    std::size_t state_size(ValueId id) const { return values[id].a; }
    ValueId state_key(ValueId id, std::size_t i) const { return items(values[id].ref)[2 * i]; }
    ValueId state_value(ValueId id, std::size_t i) const {
        return items(values[id].ref)[2 * i + 1];
    }
};

struct Status {
    bool ok = true;
    std::string reason;      // short, for the error message
    std::size_t offset = 0;  // input position of the offending opcode
};

// Decodes one pickle that uses only the opcodes the host writes for a node table. Never
// throws; every declared length is checked against the input before use and the decoder's
// tables stay within table_budget(input size).
// Once `cancel` (optional) is set, decoding stops within a few thousand opcodes and fails with
// the reason "interrupted". With a `budget` (optional), the tables are counted against it as
// well (and stay counted: the caller's stage gives them back).
Status decode(std::span<const std::uint8_t> input, Decoded& out,
              const std::atomic<bool>* cancel = nullptr, memory_budget::Budget* budget = nullptr);

}  // namespace mavelin::pickle
