// Restricted pickle decoder for the certificate payload: a stack machine over the node-table
// opcodes only.
#include "engine/pickle/reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/cancellation.h"
#include "engine/certificate_format.h"
#include "engine/pickle/opcodes.h"
#include "engine/text/utf8.h"

namespace mavelin::pickle {

namespace {

constexpr std::uint64_t kMaxIds = 0xffffffffULL;

std::uint64_t get_le(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

bool is_data(Kind k) {
    return k != Kind::Class && k != Kind::EmptyTuple;
}
bool is_key(Kind k) {
    return k == Kind::Str || k == Kind::Int || k == Kind::BigInt;
}

class Decoder {
  public:
    Decoder(std::span<const std::uint8_t> in, Decoded& d, const std::atomic<bool>* cancel,
            memory_budget::Budget* shared)
        : in_(in), d_(d), budget_(table_budget(in.size())), cancel_(cancel), shared_(shared) {}
    Status run();

  private:
    Status fail(const char* reason) { return Status{false, reason, start_}; }
    // Counts `bytes` more of table memory; false once the budget is spent.
    bool charge(std::size_t bytes) {
        d_.table_bytes += bytes;
        return d_.table_bytes <= budget_ && (shared_ == nullptr || shared_->charge(bytes));
    }
    bool take(std::size_t n, const std::uint8_t*& p) {
        if (n > limit_ - pos_) return false;
        p = in_.data() + pos_;
        pos_ += n;
        return true;
    }
    // A text argument ending in '\n' (the newline is consumed, not returned).
    bool line(std::string_view& s) {
        const void* nl = std::memchr(in_.data() + pos_, '\n', limit_ - pos_);
        if (nl == nullptr) return false;
        const std::size_t n = static_cast<const std::uint8_t*>(nl) - (in_.data() + pos_);
        s = {reinterpret_cast<const char*>(in_.data() + pos_), n};
        pos_ += n + 1;
        return true;
    }
    std::size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
    bool has(std::size_t n) const { return stack_.size() - floor() >= n; }
    ValueId pop() {
        ValueId v = stack_.back();
        stack_.pop_back();
        return v;
    }
    const Value& val(ValueId v) const { return d_.values[v]; }
    bool push_new(const Value& v) {
        if (d_.values.size() >= kMaxIds || !charge(sizeof(Value) + sizeof(ValueId))) return false;
        d_.values.push_back(v);
        stack_.push_back(static_cast<ValueId>(d_.values.size() - 1));
        return true;
    }
    bool push_container(Kind k) {
        if (d_.containers.size() >= kMaxIds || !charge(sizeof(std::vector<ValueId>))) return false;
        d_.containers.emplace_back();
        return push_new(Value{k, false, static_cast<std::uint32_t>(d_.containers.size() - 1)});
    }
    bool push_int(const std::uint8_t* p, std::size_t n);
    Status memo_put(std::uint64_t idx);
    Status memo_get(std::uint64_t idx);
    Status set_items(std::size_t from);
    Status append_items(std::size_t from);
    Status step(std::uint8_t opc);

    std::span<const std::uint8_t> in_;
    Decoded& d_;
    const std::size_t budget_;
    const std::atomic<bool>* cancel_;
    memory_budget::Budget* shared_;
    std::size_t pos_ = 0, start_ = 0, limit_ = 0, frame_end_ = 0;
    std::vector<ValueId> stack_;
    std::vector<std::uint32_t> marks_;  // the stack holds fewer than kMaxIds + memo entries
    std::vector<ValueId> memo_;
    bool stopped_ = false;
};

bool Decoder::push_int(const std::uint8_t* p, std::size_t n) {
    while (n > 1 &&
           ((p[n - 1] == 0x00 && !(p[n - 2] & 0x80)) || (p[n - 1] == 0xff && (p[n - 2] & 0x80))))
        --n;
    if (n > 8)
        return push_new(Value{Kind::BigInt, false, static_cast<std::uint32_t>(n),
                              static_cast<std::uint64_t>(p - in_.data())});
    std::uint64_t u = get_le(p, static_cast<int>(n));
    if (n > 0 && n < 8 && (p[n - 1] & 0x80)) u |= ~0ULL << (8 * n);
    return push_new(Value{Kind::Int, false, 0, u});
}

Status Decoder::memo_put(std::uint64_t idx) {
    if (!has(1)) return fail("memo store with an empty stack");
    if (idx > memo_.size()) return fail("memo index out of sequence");
    if (idx == memo_.size()) {
        if (memo_.size() >= kMaxIds || !charge(sizeof(ValueId))) return fail("memo too large");
        memo_.push_back(stack_.back());
    } else {
        memo_[idx] = stack_.back();
    }
    return {};
}

Status Decoder::memo_get(std::uint64_t idx) {
    if (idx >= memo_.size()) return fail("memo reference to an unknown entry");
    if (!charge(sizeof(ValueId))) return fail("too many objects");
    stack_.push_back(memo_[idx]);
    return {};
}

Status Decoder::set_items(std::size_t from) {
    if (from == 0 || from - 1 < floor()) return fail("SETITEM without a dict");
    const Value& target = val(stack_[from - 1]);
    if (target.kind != Kind::Dict) return fail("SETITEM on a non-dict");
    if ((stack_.size() - from) % 2 != 0) return fail("odd number of items for SETITEMS");
    auto& items = d_.containers[target.ref];
    if (!charge((stack_.size() - from) * sizeof(ValueId))) return fail("too many objects");
    for (std::size_t i = from; i < stack_.size(); i += 2) {
        if (!is_key(val(stack_[i]).kind)) return fail("dict key of an unsupported type");
        if (!is_data(val(stack_[i + 1]).kind)) return fail("dict value of an unsupported type");
        items.push_back(stack_[i]);
        items.push_back(stack_[i + 1]);
    }
    stack_.resize(from);
    return {};
}

Status Decoder::append_items(std::size_t from) {
    if (from == 0 || from - 1 < floor()) return fail("APPEND without a list");
    const Value& target = val(stack_[from - 1]);
    if (target.kind != Kind::List) return fail("APPEND on a non-list");
    auto& items = d_.containers[target.ref];
    if (!charge((stack_.size() - from) * sizeof(ValueId))) return fail("too many objects");
    for (std::size_t i = from; i < stack_.size(); ++i) {
        if (!is_data(val(stack_[i]).kind)) return fail("list item of an unsupported type");
        items.push_back(stack_[i]);
    }
    stack_.resize(from);
    return {};
}

Status Decoder::step(std::uint8_t opc) {
    const std::uint8_t* p = nullptr;
    const char* const kTrunc = "truncated";
    const char* const kMem = "too many objects";
    switch (opc) {
        case op::FRAME: {
            if (pos_ - 1 < frame_end_) return fail("FRAME inside a frame");
            if (!take(8, p)) return fail(kTrunc);
            const std::uint64_t n = get_le(p, 8);
            if (n > in_.size() - pos_) return fail("frame longer than the input");
            frame_end_ = pos_ + n;
            return {};
        }
        case op::STOP:
            if (!marks_.empty()) return fail("unclosed MARK at STOP");
            if (stack_.size() != 1) return fail("STOP without exactly one object");
            if (pos_ != in_.size()) return fail("trailing bytes after STOP");
            d_.root = stack_[0];
            stopped_ = true;
            return {};
        case op::MARK:
            if (!charge(sizeof(std::uint32_t)) || stack_.size() > 0xffffffffULL)
                return fail("too many objects");
            marks_.push_back(static_cast<std::uint32_t>(stack_.size()));
            return {};
        case op::EMPTY_DICT:
            return push_container(Kind::Dict) ? Status{} : fail(kMem);
        case op::EMPTY_LIST:
            return push_container(Kind::List) ? Status{} : fail(kMem);
        case op::EMPTY_TUPLE:
            return push_new(Value{Kind::EmptyTuple}) ? Status{} : fail(kMem);
        case op::SHORT_BINUNICODE:
        case op::BINUNICODE:
        case op::BINUNICODE8: {
            const int w = opc == op::SHORT_BINUNICODE ? 1 : opc == op::BINUNICODE ? 4 : 8;
            if (!take(static_cast<std::size_t>(w), p)) return fail(kTrunc);
            const std::uint64_t n = get_le(p, w);
            if (n > limit_ - pos_) return fail("string longer than the input");
            const std::size_t off = pos_;
            pos_ += n;
            const std::string_view text(reinterpret_cast<const char*>(in_.data() + off), n);
            if (!text::is_valid_utf8(text, text::Surrogates::kAllow))
                return fail("string is not valid UTF-8");
            if (n > 0xffffffffULL) return fail("string too long");
            return push_new(Value{Kind::Str, false, static_cast<std::uint32_t>(n), off})
                       ? Status{}
                       : fail(kMem);
        }
        case op::BININT1:
        case op::BININT2:
        case op::BININT: {
            const int w = opc == op::BININT1 ? 1 : opc == op::BININT2 ? 2 : 4;
            if (!take(static_cast<std::size_t>(w), p)) return fail(kTrunc);
            std::int64_t v = static_cast<std::int64_t>(get_le(p, w));
            if (w == 4) v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
            return push_new(Value{Kind::Int, false, 0, static_cast<std::uint64_t>(v)}) ? Status{}
                                                                                       : fail(kMem);
        }
        case op::LONG1:
        case op::LONG4: {
            const int w = opc == op::LONG1 ? 1 : 4;
            if (!take(static_cast<std::size_t>(w), p)) return fail(kTrunc);
            std::uint64_t n = get_le(p, w);
            if (w == 4 && (n & 0x80000000ULL)) return fail("negative byte count for LONG4");
            if (!take(n, p)) return fail(kTrunc);
            return push_int(p, n) ? Status{} : fail(kMem);
        }
        case op::MEMOIZE:
            return memo_put(memo_.size());
        case op::BINPUT:
        case op::LONG_BINPUT:
        case op::BINGET:
        case op::LONG_BINGET: {
            const int w = (opc == op::BINPUT || opc == op::BINGET) ? 1 : 4;
            if (!take(static_cast<std::size_t>(w), p)) return fail(kTrunc);
            const std::uint64_t idx = get_le(p, w);
            return (opc == op::BINPUT || opc == op::LONG_BINPUT) ? memo_put(idx) : memo_get(idx);
        }
        case op::PUT:
        case op::GET: {
            std::string_view s;
            if (!line(s)) return fail(kTrunc);
            if (s.empty() || s.size() > 10) return fail("bad memo index");
            std::uint64_t idx = 0;
            for (char c : s) {
                if (c < '0' || c > '9') return fail("bad memo index");
                idx = idx * 10 + static_cast<std::uint64_t>(c - '0');
            }
            return opc == op::PUT ? memo_put(idx) : memo_get(idx);
        }
        case op::APPEND:
            if (!has(2)) return fail("APPEND with too few objects");
            return append_items(stack_.size() - 1);
        case op::APPENDS: {
            if (marks_.empty()) return fail("APPENDS without MARK");
            const std::size_t m = marks_.back();
            marks_.pop_back();
            return append_items(m);
        }
        case op::SETITEM:
            if (!has(3)) return fail("SETITEM with too few objects");
            return set_items(stack_.size() - 2);
        case op::SETITEMS: {
            if (marks_.empty()) return fail("SETITEMS without MARK");
            const std::size_t m = marks_.back();
            marks_.pop_back();
            return set_items(m);
        }
        case op::GLOBAL:
        case op::STACK_GLOBAL: {
            std::string_view module, name;
            if (opc == op::GLOBAL) {
                if (!line(module) || !line(name)) return fail(kTrunc);
            } else {
                if (!has(2)) return fail("STACK_GLOBAL with too few objects");
                const ValueId n = pop(), m = pop();
                if (val(n).kind != Kind::Str || val(m).kind != Kind::Str)
                    return fail("STACK_GLOBAL requires str");
                module = d_.str(m);
                name = d_.str(n);
            }
            if (module != certificate_format::kNodeModule || name != certificate_format::kNodeClass)
                return fail("reference to a foreign global");
            return push_new(Value{Kind::Class}) ? Status{} : fail(kMem);
        }
        case op::NEWOBJ: {
            if (!has(2)) return fail("NEWOBJ with too few objects");
            const ValueId args = pop(), cls = pop();
            if (val(cls).kind != Kind::Class)
                return fail("NEWOBJ of something other than the node class");
            if (val(args).kind != Kind::EmptyTuple) return fail("NEWOBJ with arguments");
            return push_new(Value{Kind::Object}) ? Status{} : fail(kMem);
        }
        case op::BUILD: {
            if (!has(2)) return fail("BUILD with too few objects");
            const ValueId state = pop();
            Value& obj = d_.values[stack_.back()];
            if (obj.kind != Kind::Object) return fail("BUILD on a non-object");
            if (obj.built) return fail("BUILD applied twice");
            if (val(state).kind != Kind::Dict) return fail("BUILD state is not a dict");
            obj.built = true;
            obj.ref = state;
            obj.a = d_.dict_size(state);
            return {};
        }
        default:
            return fail("unsupported opcode");
    }
}

Status Decoder::run() {
    d_.input = in_;
    if (in_.size() < 2 || in_[0] != op::PROTO) return fail("missing PROTO header");
    if (in_[1] < 2 || in_[1] > 5) return fail("unsupported protocol");
    d_.protocol = in_[1];
    // Room for as many values, marks and memo entries as the input could make at most (up to
    // 16M): address space only, touched as they come, and no copy of the whole table each time
    // it would have grown (which would briefly take more than the budget counts).
    const std::size_t most = std::min<std::size_t>(in_.size(), std::size_t{1} << 24);
    d_.values.reserve(most);
    d_.containers.reserve(most);
    stack_.reserve(most);
    marks_.reserve(most);
    memo_.reserve(most);
    pos_ = 2;
    cancellation::Poll cancelled(cancel_);  // looked at per opcode
    while (!stopped_) {
        start_ = pos_;
        if (cancelled()) return fail("interrupted");
        if (pos_ >= in_.size()) return fail("truncated before STOP");
        limit_ = pos_ < frame_end_ ? frame_end_ : in_.size();
        const std::uint8_t opc = in_[pos_++];
        Status s = step(opc);
        if (!s.ok) return s;
    }
    return {};
}

}  // namespace

Status decode(std::span<const std::uint8_t> input, Decoded& out, const std::atomic<bool>* cancel,
              memory_budget::Budget* budget) {
    out = Decoded{};
    try {
        return Decoder(input, out, cancel, budget).run();
    } catch (const std::bad_alloc&) {
        return Status{false, "out of memory", 0};
    } catch (...) {
        return Status{false, "internal error", 0};
    }
}

}  // namespace mavelin::pickle
