// The certificate payload of a compact node table: the host pickler's protocol-4 bytes of the
// table of FileNode records, written in pieces.
#include "engine/table/payload_writer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "engine/certificate_format.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/opcodes.h"
#include "engine/pickle/reader.h"
#include "engine/table/path_text.h"

namespace mavelin::table {

namespace pk = mavelin::pickle;

namespace {

// Identities of the objects every record shares (anything but kUnshared).
enum : pk::Identity { kClass = 1, kModule, kQualname, kAttrId, kAttrPath, kAttrFingerprint };

constexpr std::size_t kPiece = std::size_t{1} << 20;

bool flush(pk::PickleWriter& w, const PayloadSink& sink, bool all) {
    const std::size_t n = w.settled_size();
    if (n == 0 || (!all && n < kPiece)) return true;
    if (!sink(std::string_view(w.data().data(), n))) return false;
    w.drop_settled(n);
    return true;
}

}  // namespace

PayloadEncoder::PayloadEncoder(std::size_t nodes) {
    w_.opcode_boundary();
    w_.put_empty_dict(pk::kUnshared);
    nodes_ = w_.batch_begin(nodes, true);
}

void PayloadEncoder::save_shared_str(pk::Identity id, std::string_view s) {
    if (!w_.save_ref(id)) w_.put_str(id, s);
}

void PayloadEncoder::put_fresh_str(std::string_view s) {
    w_.opcode_boundary();
    w_.put_str(pk::kUnshared, s);
}

void PayloadEncoder::put_fresh_list() {
    w_.opcode_boundary();
    w_.put_empty_list(pk::kUnshared);
}

bool PayloadEncoder::fast_node(std::int64_t id, std::string_view key, const Digest* fingerprint,
                               std::size_t rows) {
    namespace op = pk::op;
    auto known = [this](std::int64_t& index, pk::Identity id) {
        if (index < 0) index = w_.memo_index(id);
        return index;
    };
    const std::int64_t cls = known(cls_, kClass), attr_id = known(attr_id_, kAttrId),
                       attr_path = known(attr_path_, kAttrPath),
                       attr_fp = fingerprint ? known(attr_fp_, kAttrFingerprint) : 0;
    // Shared objects reached by a one-byte memo index; few enough rows for one list batch.
    if (std::max({cls, attr_id, attr_path, attr_fp}) > 0xff ||
        std::min({cls, attr_id, attr_path, attr_fp}) < 0 || rows >= pk::kBatchSize ||
        text_.size() >= pk::kFrameTarget)
        return false;
    const std::size_t bound = key.size() + text_.size() + rows * 72 + 64;
    if (!w_.frame_has_room(bound)) return false;
    record_.resize(bound);
    auto* start = reinterpret_cast<std::uint8_t*>(record_.data());
    std::uint8_t* p = start;
    auto put = [&p](std::uint8_t b) { *p++ = b; };
    auto put_str = [&](std::string_view s) {
        p += pk::PickleWriter::str_header(s.size(), p);
        std::memcpy(p, s.data(), s.size());
        p += s.size();
        put(op::MEMOIZE);
    };
    auto get = [&](std::int64_t index) {
        put(op::BINGET);
        put(static_cast<std::uint8_t>(index));
    };
    // As node() writes them through the writer one by one.
    put_str(key);
    get(cls);
    put(op::EMPTY_TUPLE);
    put(op::NEWOBJ);
    put(op::MEMOIZE);
    put(op::EMPTY_DICT);
    put(op::MEMOIZE);
    put(op::MARK);
    get(attr_id);
    p += pk::PickleWriter::int_bytes(id, p);
    get(attr_path);
    put_str(text_);
    std::size_t memoized = 4;
    if (fingerprint) {
        get(attr_fp);
        put(op::EMPTY_LIST);
        put(op::MEMOIZE);
        if (rows > 1) put(op::MARK);
        for (std::size_t r = 0; r < rows; ++r) {
            put(op::EMPTY_LIST);
            put(op::MEMOIZE);
            put(op::SHORT_BINUNICODE);
            put(64);
            hash::sha256::to_hex(fingerprint[r], reinterpret_cast<char*>(p));
            p += 64;
            put(op::MEMOIZE);
            put(op::APPEND);
        }
        if (rows > 1) put(op::APPENDS);
        if (rows == 1) put(op::APPEND);
        memoized += 1 + 2 * rows;
    }
    put(op::SETITEMS);
    put(op::BUILD);
    w_.append_record(start, static_cast<std::size_t>(p - start), memoized);
    return true;
}

void PayloadEncoder::node(std::int64_t id, std::string_view raw_path, const Digest* fingerprint,
                          std::size_t rows) {
    char digits[24];
    const auto key_end = std::to_chars(digits, digits + sizeof digits, nodes_.done + 1).ptr;
    key_.assign(certificate_format::kNodeKeyPrefix).append(digits, key_end);
    text_.clear();
    append_path_text(raw_path, text_);
    if (fast_node(id, key_, fingerprint, rows)) {
        w_.batch_item_done(nodes_);
        return;
    }
    put_fresh_str(key_);

    // The record: class, empty argument tuple, NEWOBJ, then its state dict and BUILD.
    w_.opcode_boundary();
    if (!w_.save_ref(kClass)) {
        save_shared_str(kModule, certificate_format::kNodeModule);
        save_shared_str(kQualname, certificate_format::kNodeClass);
        w_.put_stack_global(kClass);
    }
    w_.save_empty_tuple();
    w_.put_newobj(pk::kUnshared);
    w_.opcode_boundary();
    w_.put_empty_dict(pk::kUnshared);
    pk::Batch attrs = w_.batch_begin(fingerprint ? 3 : 2, true);
    save_shared_str(kAttrId, certificate_format::kAttrId);
    w_.save_int(id);
    w_.batch_item_done(attrs);
    save_shared_str(kAttrPath, certificate_format::kAttrPath);
    put_fresh_str(text_);
    w_.batch_item_done(attrs);
    if (fingerprint) {
        save_shared_str(kAttrFingerprint, certificate_format::kAttrFingerprint);
        put_fresh_list();
        pk::Batch list = w_.batch_begin(rows, false);
        char hex[64];
        for (std::size_t r = 0; r < rows; ++r) {
            put_fresh_list();
            pk::Batch row = w_.batch_begin(1, false);
            hash::sha256::to_hex(fingerprint[r], hex);
            put_fresh_str(std::string_view(hex, sizeof hex));
            w_.batch_item_done(row);
            w_.batch_item_done(list);
        }
        if (rows != 0) w_.batch_end(list);
        w_.batch_item_done(attrs);
    }
    w_.batch_end(attrs);
    w_.put_build();
    w_.batch_item_done(nodes_);
}

void PayloadEncoder::finish() {
    if (nodes_.size != 0) w_.batch_end(nodes_);
    w_.finish();
}

bool write_payload(const NodeTable& table, const PayloadSink& sink) {
    PayloadEncoder e(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        e.node(table.id(i), table.path(i), table.fingerprint(i), table.rows());
        if (!flush(e.writer(), sink, false)) return false;
    }
    e.finish();
    return flush(e.writer(), sink, true);
}

std::uint64_t payload_size(const NodeTable& table) {
    std::uint64_t n = 0;
    write_payload(table, [&n](std::string_view piece) {
        n += piece.size();
        return true;
    });
    return n;
}

}  // namespace mavelin::table
