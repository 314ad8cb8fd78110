// Protocol-4 pickle opcode writer: framing, identity memo and batching as the reference C pickler
// emits them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mavelin::pickle {

// Opaque identity of a memoizable object (the binding passes object addresses).
using Identity = std::uintptr_t;
// The identity of an object the caller knows to be reachable only once in the stream: it is
// memoized (its memo index is used up, as the reference pickler does) but never looked up.
inline constexpr Identity kUnshared = 0;

// Items per MARK ... SETITEMS / APPENDS batch.
inline constexpr std::size_t kBatchSize = 1000;
// A frame is closed at the next object once it holds this many bytes; byte strings this
// long are written outside any frame.
inline constexpr std::size_t kFrameTarget = 64 * 1024;

// Progress through the items of one dict or list, for the batch opcodes.
struct Batch {
    std::size_t size = 0;  // number of items (dict: key/value pairs)
    std::size_t done = 0;
    bool dict = false;
};

// Writes one pickle stream, protocol 4, into a growing buffer. Construction writes PROTO.
// The caller walks its objects in the reference pickler's order and calls one save_* per
// save() of that pickler; each begins at an opcode boundary, where a full frame is closed.
// Memoizable objects go through save_ref() first; when it returns false the caller writes
// the object with the matching put_* call (which memoizes it under the same identity).
// Throws std::bad_alloc, or std::length_error past the memo's 2**32 entries or for an int of 2 GiB.
class PickleWriter {
  public:
    PickleWriter();

    // --- atoms (never memoized) ---
    void save_int(std::int64_t v);
    // Integer given as little-endian two's-complement bytes of any length (empty means 0).
    void save_int(std::span<const std::uint8_t> le_twos_complement);
    void save_empty_tuple();

    // --- memoizable objects ---
    // Opcode boundary, then a memo reference if `id` is already memoized (returns true).
    bool save_ref(Identity id);
    // Opcode boundary alone: begins an object saved as kUnshared (no look-up needed).
    void opcode_boundary() {
        if (framing_ && frame_start_ != kNoFrame && out_.size() - frame_start_ >= kFrameFull)
            commit_frame();
    }
    // Text, already encoded as UTF-8 (lone surrogates in their 3-byte form).
    void put_str(Identity id, std::string_view utf8);
    void put_empty_dict(Identity id);
    void put_empty_list(Identity id);
    // After the module name and the qualified name were saved: STACK_GLOBAL, memoized as `cls`.
    void put_stack_global(Identity cls);
    // After the class and its (empty) argument tuple were saved: NEWOBJ, memoized as `obj`.
    void put_newobj(Identity obj);
    // After the state was saved.
    void put_build();

    // --- batching of dict items and list items ---
    // Starts the items of a non-empty dict or list. Call batch_item_done() after each item
    // (after the key and the value for a dict) and batch_end() after the last.
    Batch batch_begin(std::size_t size, bool dict);
    void batch_item_done(Batch& b);
    void batch_end(Batch& b);

    // STOP and the final frame. The stream is complete afterwards.
    void finish();

    // --- whole records at once, for a caller that writes many records of one shape ---
    // The encodings save_int() and put_str() write: the int's opcode and bytes, or a string's
    // opcode and length (what precedes its UTF-8); they return the byte count.
    static std::size_t int_bytes(std::int64_t v, std::uint8_t out[10]);
    static std::size_t str_header(std::size_t utf8_len, std::uint8_t out[9]);
    // Memo index of an identity memoized so far, or -1.
    std::int64_t memo_index(Identity id) const noexcept { return memo_find(id); }
    // True when `n` more bytes fit the open frame with no opcode boundary among them closing it:
    // bytes written with append_record() then frame exactly as the same opcodes written one by
    // one would.
    bool frame_has_room(std::size_t n) const noexcept {
        return framing_ && frame_start_ != kNoFrame && out_.size() - frame_start_ + n < kFrameFull;
    }
    // Appends opcodes the caller encoded itself (after frame_has_room() for their length), which
    // memoize `memoized` objects (all of them kUnshared).
    void append_record(const void* p, std::size_t n, std::size_t memoized);

    const std::string& data() const noexcept { return out_; }
    // Bytes at the start of data() that are final (everything before an open frame); they
    // may be written out and dropped with drop_settled() while writing goes on.
    std::size_t settled_size() const noexcept;
    void drop_settled(std::size_t n);
    std::string take() noexcept { return std::move(out_); }
    std::size_t memo_size() const noexcept { return memo_count_; }

  private:
    // Appends to the open frame, opening one first when framing and none is open.
    void write(const void* p, std::size_t n) {
        if (framing_ && frame_start_ == kNoFrame) open_frame();
        out_.append(static_cast<const char*>(p), n);
    }
    void write_byte(std::uint8_t b) {
        if (framing_ && frame_start_ == kNoFrame) open_frame();
        out_.push_back(static_cast<char>(b));
    }
    void open_frame();
    void commit_frame();
    void memoize(Identity id);
    void write_memo_get(std::uint32_t index);
    // Index of `id` in the memo, or -1.
    std::int64_t memo_find(Identity id) const noexcept;
    void memo_insert(Identity id, std::uint32_t index);

    static constexpr std::size_t kNoFrame = static_cast<std::size_t>(-1);
    static constexpr std::size_t kFrameHeader = 9;  // FRAME + 8-byte length
    // Bytes from a frame's start (its header included) at which it is closed.
    static constexpr std::size_t kFrameFull = kFrameHeader + kFrameTarget;

    std::string out_;
    bool framing_ = false;
    std::size_t frame_start_ = kNoFrame;

    // Open-addressing table Identity -> memo index.
    struct Slot {
        Identity id;
        std::uint32_t index;
        bool used;
    };
    std::vector<Slot> slots_;
    std::size_t memo_count_ = 0;   // memo indices used up
    std::size_t table_count_ = 0;  // identities in slots_ (unshared objects are not)
    // Where the last failed lookup ended: the usual next step memoizes that very identity.
    mutable Identity hint_id_ = 0;
    mutable std::size_t hint_slot_ = 0, hint_count_ = static_cast<std::size_t>(-1);
};

}  // namespace mavelin::pickle
