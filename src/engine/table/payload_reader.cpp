// Certificate payload decoded straight into the compact node table, or found not to fit it.
#include "engine/table/payload_reader.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cancellation.h"
#include "engine/certificate_format.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/opcodes.h"
#include "engine/table/path_text.h"
#include "engine/table/payload_writer.h"

namespace mavelin::table {

namespace pk = mavelin::pickle;
namespace op = mavelin::pickle::op;

namespace {

constexpr std::size_t kReadSize = std::size_t{256} << 10;

std::atomic<std::size_t> g_path_limit{0};  // 0: NodeTable::kMaxPath

// What adding a node of `path_bytes` and `rows` digests to `t` may take at most, beyond the
// table's present memory: the path, its per-node entries, and a new block of digests.
std::uint64_t node_cost(const NodeTable& t, std::size_t path_bytes, std::size_t rows) {
    std::uint64_t n = path_bytes + 32;
    if (rows > 0 && t.size() % NodeTable::kDigestBlockNodes == 0)
        n += std::uint64_t{NodeTable::kDigestBlockNodes} * rows * sizeof(Digest);
    return n;
}

// A scan's digest text: 64 lowercase hex digits.
bool parse_digest(std::string_view s, Digest& d) {
    return s.size() == 64 && hash::sha256::from_hex(s.data(), d);
}

std::uint64_t get_le(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

// The text parts of one node as the stream gives them, kept in reused buffers.
struct NodeParts {
    std::vector<std::string> strs;
    std::size_t str_count = 0;
    std::int64_t ints[2] = {0, 0};
    std::size_t int_count = 0;
    std::size_t lists = 0;

    void clear() { str_count = int_count = lists = 0; }
    std::string& next_str() {
        if (str_count == strs.size()) strs.emplace_back();
        return strs[str_count++];
    }
};

class StreamDecoder {
  public:
    StreamDecoder(const PayloadSource& source, NodeTable& out, memory_budget::Budget* budget)
        : source_(source), out_(out), budget_(budget) {}
    ~StreamDecoder() {
        if (budget_) budget_->hold(&held_, 0);  // its buffers go; the table is the caller's
    }
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    DecodeResult run() {
        const DecodeResult r = parse();
        if (read_failed_) return DecodeResult::kReadFailed;
        return r;
    }

  private:
    // --- input window: buf_[cmp_, filled_) is kept; pos_ is the parse position ---
    bool fill(std::size_t want_end) {
        while (filled_ < want_end) {
            if (eof_) return false;
            if (cmp_ > 0 && (filled_ == buf_.size() || cmp_ >= buf_.size() / 2)) {
                std::memmove(buf_.data(), buf_.data() + cmp_, filled_ - cmp_);
                filled_ -= cmp_;
                pos_ -= cmp_;
                dropped_ += cmp_;
                want_end -= cmp_;
                cmp_ = 0;
            }
            if (buf_.size() - filled_ < kReadSize / 4) {
                const std::size_t grown = std::max(buf_.size() * 2, filled_ + kReadSize);
                if (!within(grown)) {  // the old buffer lives until the new one is filled
                    eof_ = true;
                    return false;
                }
                buf_.resize(grown);
            }
            const std::ptrdiff_t n = source_(buf_.data() + filled_, buf_.size() - filled_);
            if (n < 0) {
                read_failed_ = true;
                eof_ = true;
                return false;
            }
            if (n == 0) eof_ = true;
            filled_ += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool need(std::size_t n) { return filled_ - pos_ >= n || fill(pos_ + n); }
    const std::uint8_t* take(std::size_t n) {
        const std::uint8_t* p = buf_.data() + pos_;
        pos_ += n;
        return p;
    }

    // The next opcode, frames skipped (their lengths are checked by the comparison). -1: input
    // ended.
    int next_op() {
        for (;;) {
            if (!need(1)) return -1;
            const std::uint8_t c = *take(1);
            if (c != op::FRAME) return c;
            if (!need(8)) return -1;
            take(8);
        }
    }

    // Memory held besides the table's, counted with it against the budget: the input window,
    // the node's parts and the encoder's output. False once that and `more` do not fit.
    bool within(std::uint64_t more) {
        if (budget_ == nullptr) return true;
        const std::uint64_t now =
            buf_.capacity() + parts_bytes_ + raw_.capacity() + fp_.capacity() * sizeof(Digest) +
            (encoder_ ? encoder_->writer().data().capacity() : 0) + table_bytes_;
        return budget_->hold(&held_, now) && budget_->fits(more);
    }

    bool read_str(std::uint8_t opc, std::string& s) {
        const int width = opc == op::SHORT_BINUNICODE ? 1 : opc == op::BINUNICODE ? 4 : 8;
        if (!need(static_cast<std::size_t>(width))) return false;
        const std::uint64_t n = get_le(take(static_cast<std::size_t>(width)), width);
        if (n > (std::uint64_t{1} << 40) || !need(static_cast<std::size_t>(n))) return false;
        const std::size_t had = s.capacity();
        if (n > had && !within(n)) return false;
        s.assign(reinterpret_cast<const char*>(take(static_cast<std::size_t>(n))),
                 static_cast<std::size_t>(n));
        parts_bytes_ += s.capacity() - had;
        return true;
    }

    bool read_int(std::uint8_t opc, std::int64_t& v) {
        switch (opc) {
            case op::BININT1:
                if (!need(1)) return false;
                v = *take(1);
                return true;
            case op::BININT2:
                if (!need(2)) return false;
                v = static_cast<std::int64_t>(get_le(take(2), 2));
                return true;
            case op::BININT:
                if (!need(4)) return false;
                v = static_cast<std::int32_t>(get_le(take(4), 4));
                return true;
            default: {  // LONG1
                if (!need(1)) return false;
                const std::size_t n = *take(1);
                if (n == 0 || n > 8 || !need(n)) return false;
                std::uint64_t u = get_le(take(n), static_cast<int>(n));
                if (n < 8 && (u >> (8 * n - 1)) & 1) u |= ~std::uint64_t{0} << (8 * n);
                v = static_cast<std::int64_t>(u);
                return true;
            }
        }
    }

    // Skips the argument of an opcode the comparison checks; false for opcodes the form never
    // uses or an input that ends.
    bool skip_argument(std::uint8_t opc) {
        switch (opc) {
            case op::BINGET:
                return need(1) && take(1);
            case op::LONG_BINGET:
                return need(4) && take(4);
            case op::MEMOIZE:
            case op::MARK:
            case op::SETITEM:
            case op::SETITEMS:
            case op::APPEND:
            case op::APPENDS:
            case op::EMPTY_TUPLE:
            case op::NEWOBJ:
            case op::STACK_GLOBAL:
            case op::EMPTY_DICT:
                return true;
            default:
                return false;
        }
    }

    // Reads tokens up to the node's BUILD. 1: a node; 0: STOP; -1: not the form.
    int read_node() {
        parts_.clear();
        node_start_ = dropped_ + pos_;
        for (;;) {
            const int c = next_op();
            if (c < 0) return -1;
            const auto opc = static_cast<std::uint8_t>(c);
            switch (opc) {
                case op::BUILD:
                    return 1;
                case op::STOP:
                    return parts_.str_count == 0 && parts_.int_count == 0 && parts_.lists == 0 ? 0
                                                                                               : -1;
                case op::SHORT_BINUNICODE:
                case op::BINUNICODE:
                case op::BINUNICODE8: {
                    // A node's texts: key, module, class, three attribute names and the path,
                    // then one digest per row (each after the row's list).
                    if (parts_.str_count >= 7 + parts_.lists) return -1;
                    const std::size_t slots = parts_.strs.capacity();
                    std::string& s = parts_.next_str();
                    parts_bytes_ += (parts_.strs.capacity() - slots) * sizeof(std::string);
                    if (!read_str(opc, s) || (parts_.strs.capacity() != slots && !within(0)))
                        return -1;
                    break;
                }
                case op::BININT1:
                case op::BININT2:
                case op::BININT:
                case op::LONG1:
                    if (parts_.int_count == 2) return -1;
                    if (!read_int(opc, parts_.ints[parts_.int_count++])) return -1;
                    break;
                case op::EMPTY_LIST:
                    ++parts_.lists;
                    break;
                default:
                    if (!skip_argument(opc)) return -1;
            }
        }
    }

    // Interprets the parts of one node as the encoder writes them; false when they are not.
    bool add_node() {
        std::size_t s = 0;
        const auto next = [&]() -> const std::string* {
            return s < parts_.str_count ? &parts_.strs[s++] : nullptr;
        };
        if (!next()) return false;  // the key (the comparison checks its number)
        if (!seen_class_) {
            if (!next() || !next()) return false;  // module and class name
            seen_class_ = true;
        }
        if (!seen_id_name_) {
            if (!next()) return false;
            seen_id_name_ = true;
        }
        if (!seen_path_name_) {
            if (!next()) return false;
            seen_path_name_ = true;
        }
        const std::string* text = next();
        if (!text || parts_.int_count != 1 || !within(text->size()) ||
            !path_from_text(*text, raw_) || raw_.size() > path_limit())
            return false;
        const bool has_fp = parts_.lists > 0;
        if (has_fp && !seen_fp_name_) {
            if (!next()) return false;
            seen_fp_name_ = true;
        }
        const std::size_t rows = has_fp ? parts_.lists - 1 : 0;
        if (parts_.str_count - s != rows) return false;  // one digest per row
        if (has_fp) {
            if (!rows_known_) {
                if (!out_.set_rows(rows)) return false;
                rows_known_ = true;
            }
            if (rows != out_.rows()) return false;
            fp_.resize(rows);
            for (std::size_t r = 0; r < rows; ++r) {
                if (!parse_digest(*next(), fp_[r])) return false;
            }
        }
        // The table's growth, and the encoder's output of about the node's input.
        if (!within(node_cost(out_, raw_.size(), has_fp ? rows : 0) +
                    2 * (dropped_ + pos_ - node_start_)))
            return false;
        out_.add(parts_.ints[0], raw_, has_fp ? fp_.data() : nullptr);
        encoder_->node(parts_.ints[0], raw_, has_fp ? fp_.data() : nullptr, rows);
        if (budget_) table_bytes_ = out_.memory_bytes();
        return within(0);
    }

    // The settled part of the encoding must equal the input from cmp_ on.
    bool compare_settled() {
        pk::PickleWriter& w = encoder_->writer();
        const std::size_t n = w.settled_size();
        if (n == 0) return true;
        if (filled_ - cmp_ < n && !fill(cmp_ + n)) return false;
        if (std::memcmp(buf_.data() + cmp_, w.data().data(), n) != 0) return false;
        cmp_ += n;
        w.drop_settled(n);
        return true;
    }

    DecodeResult parse() {
        constexpr DecodeResult kNo = DecodeResult::kNotCompact;
        out_ = NodeTable(0);
        if (!need(2) || take(1)[0] != op::PROTO || take(1)[0] != 4) return kNo;
        // The node count matters to the bytes only as 0, 1 or more: look past the dict.
        std::size_t count_class = 0;
        {
            const std::size_t at = pos_;
            if (next_op() != op::EMPTY_DICT || next_op() != op::MEMOIZE) return kNo;
            const int c = next_op();
            count_class = c == op::MARK ? 2 : c == op::STOP ? 0 : 1;
            pos_ = at;
        }
        encoder_.emplace(count_class);
        for (;;) {
            const int r = read_node();
            if (r < 0) return kNo;
            if (r == 0) break;
            if (!add_node() || !compare_settled()) return kNo;
        }
        encoder_->finish();
        if (!compare_settled()) return kNo;
        // Nothing may follow the stream.
        if (filled_ != cmp_ || fill(cmp_ + 1)) return kNo;
        out_.shrink_to_fit();
        return DecodeResult::kOk;
    }

    const PayloadSource& source_;
    NodeTable& out_;
    std::vector<std::uint8_t> buf_;
    std::size_t filled_ = 0, pos_ = 0, cmp_ = 0;
    bool eof_ = false, read_failed_ = false;
    std::optional<PayloadEncoder> encoder_;
    NodeParts parts_;
    std::string raw_;
    std::vector<Digest> fp_;
    bool seen_class_ = false, seen_id_name_ = false, seen_path_name_ = false, seen_fp_name_ = false,
         rows_known_ = false;
    memory_budget::Budget* budget_;
    std::uint64_t held_ = 0, parts_bytes_ = 0, table_bytes_ = 0;
    std::uint64_t node_start_ = 0, dropped_ = 0;  // input positions, from its start
};

}  // namespace

DecodeResult decode_payload(const PayloadSource& source, NodeTable& out,
                            memory_budget::Budget* budget) {
    return StreamDecoder(source, out, budget).run();
}

DecodeResult decode_payload(std::span<const std::uint8_t> payload, NodeTable& out,
                            const std::atomic<bool>* cancel, memory_budget::Budget* budget) {
    std::size_t at = 0;
    const PayloadSource source = [&](std::uint8_t* buffer, std::size_t capacity) {
        if (cancellation::requested(cancel)) return std::ptrdiff_t{-1};
        const std::size_t n = std::min({capacity, kReadSize, payload.size() - at});
        if (n != 0) std::memcpy(buffer, payload.data() + at, n);
        at += n;
        return static_cast<std::ptrdiff_t>(n);
    };
    return decode_payload(source, out, budget);
}

std::size_t path_limit() noexcept {
    const std::size_t set = g_path_limit.load(std::memory_order_relaxed);
    return set != 0 ? set : NodeTable::kMaxPath;
}

void set_path_limit(std::size_t bytes) noexcept {
    g_path_limit.store(bytes, std::memory_order_relaxed);
}

DecodeResult from_decoded(const pk::Decoded& d, NodeTable& out, const std::atomic<bool>* cancel,
                          memory_budget::Budget* budget) {
    constexpr DecodeResult kNo = DecodeResult::kNotCompact;
    out = NodeTable(0);
    memory_budget::Budget unlimited(UINT64_MAX);
    memory_budget::Budget& b = budget ? *budget : unlimited;
    memory_budget::Stage stage(b);  // the table is the caller's once made
    std::uint64_t held = 0;
    // Every key, record, path, fingerprint, row and digest must be an object of its own, as
    // in a scan's table: the compact form keeps no sharing.
    if (!b.charge(d.values.size())) return kNo;
    std::vector<std::uint8_t> used(d.values.size(), 0);
    const auto first_use = [&used](pk::ValueId v) { return used[v]++ == 0; };
    const auto& items = d.items(d.root);
    bool rows_known = false;
    std::string raw;
    std::vector<Digest> fp;
    constexpr std::size_t kPrefix = sizeof certificate_format::kNodeKeyPrefix - 1;
    char key[32];
    std::memcpy(key, certificate_format::kNodeKeyPrefix, kPrefix);
    cancellation::Poll cancelled(cancel);  // looked at per node
    for (std::size_t i = 0; i < items.size(); i += 2) {
        if (cancelled()) return DecodeResult::kReadFailed;
        const auto key_end = std::to_chars(key + kPrefix, key + sizeof key, i / 2 + 1).ptr;
        if (d.str(items[i]) != std::string_view(key, static_cast<std::size_t>(key_end - key)))
            return kNo;
        const pk::ValueId node = items[i + 1];
        if (!first_use(items[i]) || !first_use(node)) return kNo;
        // The attributes in the order a record creates them: id, file_path, then the fingerprint.
        const std::size_t attrs = d.state_size(node);
        if (attrs < 2 || d.str(d.state_key(node, 0)) != certificate_format::kAttrId ||
            d.str(d.state_key(node, 1)) != certificate_format::kAttrPath)
            return kNo;
        const pk::ValueId id = d.state_value(node, 0), path = d.state_value(node, 1);
        if (d.at(id).kind != pk::Kind::Int || !first_use(path) || !b.fits(d.str(path).size()) ||
            !path_from_text(d.str(path), raw) || raw.size() > path_limit())
            return kNo;
        if (attrs == 3) {
            const pk::ValueId list = d.state_value(node, 2);
            const auto& rows = d.items(list);
            if (!first_use(list)) return kNo;
            if (!rows_known) {
                if (!out.set_rows(rows.size())) return kNo;
                rows_known = true;
            }
            if (rows.size() != out.rows()) return kNo;
            fp.resize(rows.size());
            for (std::size_t r = 0; r < rows.size(); ++r) {
                const auto& row = d.items(rows[r]);
                if (!first_use(rows[r]) || row.size() != 1 || !first_use(row[0]) ||
                    !parse_digest(d.str(row[0]), fp[r]))
                    return kNo;
            }
        }
        // The table's growth, counted with what it holds so far.
        if (!b.hold(&held, raw.capacity() + fp.capacity() * sizeof(Digest) + out.memory_bytes()) ||
            !b.fits(node_cost(out, raw.size(), attrs == 3 ? out.rows() : 0)))
            return kNo;
        out.add(d.int_value(id), raw, attrs == 3 ? fp.data() : nullptr);
    }
    out.shrink_to_fit();
    return DecodeResult::kOk;
}

DecodeResult decode_any(std::span<const std::uint8_t> payload, NodeTable& out,
                        memory_budget::Budget& budget, const std::atomic<bool>* cancel) {
    {
        memory_budget::Stage stage(budget);
        const DecodeResult r = decode_payload(payload, out, cancel, &budget);
        if (r != DecodeResult::kNotCompact) return r;
    }
    out = NodeTable();
    memory_budget::Stage stage(budget);
    pk::Decoded d;
    if (!pk::decode(payload, d, cancel, &budget).ok || !pk::check_node_table(d, cancel).ok)
        return DecodeResult::kNotCompact;
    return from_decoded(d, out, cancel, &budget);
}

}  // namespace mavelin::table
