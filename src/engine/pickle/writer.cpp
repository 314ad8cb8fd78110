// Protocol-4 pickle opcode writer: framing, identity memo and batching as the reference C pickler
// emits them.
#include "engine/pickle/writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/pickle/opcodes.h"

namespace mavelin::pickle {

namespace {

constexpr std::size_t kFrameMin = 4;  // shorter frames lose their header

void put_le(std::uint8_t* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::size_t mix(Identity id) noexcept {
    std::uint64_t x = static_cast<std::uint64_t>(id);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x);
}

}  // namespace

PickleWriter::PickleWriter() {
    const std::uint8_t header[2] = {op::PROTO, 4};
    write(header, 2);
    framing_ = true;
}

void PickleWriter::open_frame() {
    frame_start_ = out_.size();
    out_.append(kFrameHeader, '\xfe');
}

std::size_t PickleWriter::settled_size() const noexcept {
    return frame_start_ == kNoFrame ? out_.size() : frame_start_;
}

void PickleWriter::drop_settled(std::size_t n) {
    n = std::min(n, settled_size());
    out_.erase(0, n);
    if (frame_start_ != kNoFrame) frame_start_ -= n;
}

void PickleWriter::commit_frame() {
    if (!framing_ || frame_start_ == kNoFrame) return;
    const std::size_t len = out_.size() - frame_start_ - kFrameHeader;
    if (len >= kFrameMin) {
        auto* q = reinterpret_cast<std::uint8_t*>(out_.data() + frame_start_);
        q[0] = op::FRAME;
        put_le(q + 1, len, 8);
    } else {
        out_.erase(frame_start_, kFrameHeader);
    }
    frame_start_ = kNoFrame;
}

// ---------------------------------------------------------------- memo

std::int64_t PickleWriter::memo_find(Identity id) const noexcept {
    if (slots_.empty()) return -1;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(id) & mask;; i = (i + 1) & mask) {
        const Slot& s = slots_[i];
        if (!s.used) {
            hint_id_ = id;
            hint_slot_ = i;
            hint_count_ = table_count_;
            return -1;
        }
        if (s.id == id) return s.index;
    }
}

void PickleWriter::memo_insert(Identity id, std::uint32_t index) {
    if ((table_count_ + 1) * 2 > slots_.size()) {
        std::vector<Slot> old;
        old.swap(slots_);
        hint_count_ = static_cast<std::size_t>(-1);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, 0, false});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (!s.used) continue;
            std::size_t i = mix(s.id) & mask;
            while (slots_[i].used) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t i;
    if (hint_count_ == table_count_ && hint_id_ == id) {
        i = hint_slot_;  // nothing was inserted since the lookup that ended there
    } else {
        i = mix(id) & mask;
        while (slots_[i].used) i = (i + 1) & mask;
    }
    slots_[i] = Slot{id, index, true};
    ++table_count_;
    ++memo_count_;
}

void PickleWriter::memoize(Identity id) {
    if (memo_count_ > 0xffffffffULL) throw std::length_error("pickle memo too large");
    if (id == kUnshared) {
        ++memo_count_;  // seen once only: no later reference needs to find it
    } else {
        memo_insert(id, static_cast<std::uint32_t>(memo_count_));
    }
    write_byte(op::MEMOIZE);
}

void PickleWriter::write_memo_get(std::uint32_t index) {
    std::uint8_t b[5];
    if (index < 256) {
        b[0] = op::BINGET;
        b[1] = static_cast<std::uint8_t>(index);
        write(b, 2);
    } else {
        b[0] = op::LONG_BINGET;
        put_le(b + 1, index, 4);
        write(b, 5);
    }
}

bool PickleWriter::save_ref(Identity id) {
    opcode_boundary();
    const std::int64_t idx = memo_find(id);
    if (idx < 0) return false;
    write_memo_get(static_cast<std::uint32_t>(idx));
    return true;
}

// ---------------------------------------------------------------- atoms

std::size_t PickleWriter::int_bytes(std::int64_t v, std::uint8_t b[10]) {
    if (v >= INT32_MIN && v <= INT32_MAX) {
        const auto u = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
        if (u <= 0xff) {
            b[0] = op::BININT1;
            b[1] = static_cast<std::uint8_t>(u);
            return 2;
        }
        if (u <= 0xffff) {
            b[0] = op::BININT2;
            put_le(b + 1, u, 2);
            return 3;
        }
        b[0] = op::BININT;
        put_le(b + 1, u, 4);
        return 5;
    }
    // Minimal two's-complement length: drop high bytes that only repeat the sign.
    const auto u = static_cast<std::uint64_t>(v);
    int n = 8;
    while (n > 1) {
        const std::uint8_t top = static_cast<std::uint8_t>(u >> (8 * (n - 1)));
        const std::uint8_t next = static_cast<std::uint8_t>(u >> (8 * (n - 2)));
        if ((top == 0x00 && !(next & 0x80)) || (top == 0xff && (next & 0x80))) {
            --n;
        } else {
            break;
        }
    }
    b[0] = op::LONG1;
    b[1] = static_cast<std::uint8_t>(n);
    put_le(b + 2, u, n);
    return 2 + static_cast<std::size_t>(n);
}

void PickleWriter::save_int(std::int64_t v) {
    opcode_boundary();
    std::uint8_t b[10];
    write(b, int_bytes(v, b));
}

void PickleWriter::save_int(std::span<const std::uint8_t> le) {
    std::size_t n = le.size();
    while (n > 1) {
        const std::uint8_t top = le[n - 1];
        const std::uint8_t next = le[n - 2];
        if ((top == 0x00 && !(next & 0x80)) || (top == 0xff && (next & 0x80))) {
            --n;
        } else {
            break;
        }
    }
    if (n <= 8) {
        std::uint64_t u = 0;
        for (std::size_t i = 0; i < n; ++i) u |= static_cast<std::uint64_t>(le[i]) << (8 * i);
        if (n > 0 && n < 8 && (le[n - 1] & 0x80)) u |= ~0ULL << (8 * n);  // sign-extend
        save_int(static_cast<std::int64_t>(u));
        return;
    }
    opcode_boundary();
    std::uint8_t b[5];
    if (n < 256) {
        b[0] = op::LONG1;
        b[1] = static_cast<std::uint8_t>(n);
        write(b, 2);
    } else {
        if (n > 0x7fffffffULL) throw std::length_error("int too large to pickle");
        b[0] = op::LONG4;
        put_le(b + 1, n, 4);
        write(b, 5);
    }
    write(le.data(), n);
}

void PickleWriter::save_empty_tuple() {
    opcode_boundary();
    write_byte(op::EMPTY_TUPLE);
}

// ---------------------------------------------------------------- objects

std::size_t PickleWriter::str_header(std::size_t n, std::uint8_t h[9]) {
    if (n <= 0xff) {
        h[0] = op::SHORT_BINUNICODE;
        h[1] = static_cast<std::uint8_t>(n);
        return 2;
    }
    if (n <= 0xffffffffULL) {
        h[0] = op::BINUNICODE;
        put_le(h + 1, n, 4);
        return 5;
    }
    h[0] = op::BINUNICODE8;
    put_le(h + 1, n, 8);
    return 9;
}

void PickleWriter::append_record(const void* p, std::size_t n, std::size_t memoized) {
    if (memo_count_ + memoized > 0x100000000ULL) throw std::length_error("pickle memo too large");
    out_.append(static_cast<const char*>(p), n);
    memo_count_ += memoized;
}

void PickleWriter::put_str(Identity id, std::string_view utf8) {
    const std::size_t n = utf8.size();
    std::uint8_t h[9];
    const std::size_t hlen = str_header(n, h);
    if (n >= kFrameTarget) {
        // Large payloads close the current frame and go out unframed.
        commit_frame();
        framing_ = false;
        write(h, hlen);
        write(utf8.data(), n);
        framing_ = true;
    } else {
        write(h, hlen);
        write(utf8.data(), n);
    }
    memoize(id);
}

void PickleWriter::put_empty_dict(Identity id) {
    write_byte(op::EMPTY_DICT);
    memoize(id);
}

void PickleWriter::put_empty_list(Identity id) {
    write_byte(op::EMPTY_LIST);
    memoize(id);
}

void PickleWriter::put_stack_global(Identity cls) {
    write_byte(op::STACK_GLOBAL);
    memoize(cls);
}

void PickleWriter::put_newobj(Identity obj) {
    write_byte(op::NEWOBJ);
    const std::int64_t idx = memo_find(obj);
    if (idx >= 0) {
        // Reached again while saving its own class or arguments: use the first copy.
        write_byte(op::POP);
        write_memo_get(static_cast<std::uint32_t>(idx));
        return;
    }
    memoize(obj);
}

void PickleWriter::put_build() {
    write_byte(op::BUILD);
}

// ---------------------------------------------------------------- batches

Batch PickleWriter::batch_begin(std::size_t size, bool dict) {
    Batch b{size, 0, dict};
    if (size > 1) write_byte(op::MARK);
    return b;
}

void PickleWriter::batch_item_done(Batch& b) {
    ++b.done;
    if (b.size == 1) {
        write_byte(b.dict ? op::SETITEM : op::APPEND);
        return;
    }
    if (b.done % kBatchSize != 0) return;
    write_byte(b.dict ? op::SETITEMS : op::APPENDS);
    // A dict batch loop always reopens after a full batch, even when nothing follows.
    if (b.dict || b.done < b.size) write_byte(op::MARK);
}

void PickleWriter::batch_end(Batch& b) {
    if (b.size <= 1) return;
    if (b.dict || b.done % kBatchSize != 0) write_byte(b.dict ? op::SETITEMS : op::APPENDS);
}

void PickleWriter::finish() {
    write_byte(op::STOP);
    commit_frame();
}

}  // namespace mavelin::pickle
