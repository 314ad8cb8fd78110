// Shape check of a decoded certificate payload: the node table and its FileNode states, nothing
// else.
#include "engine/pickle/node_table.h"

#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/cancellation.h"
#include "engine/certificate_format.h"
#include "engine/text/utf8.h"

namespace mavelin::pickle {

namespace {

Status bad(const char* reason) {
    return Status{false, reason, 0};
}

class Checker {
  public:
    Checker(const Decoded& d, const std::atomic<bool>* cancel)
        : d_(d), seen_(d.values.size(), 0), cancelled_(cancel) {}

    Status run() {
        const ValueId root = d_.root;
        if (root >= d_.values.size() || d_.at(root).kind != Kind::Dict)
            return bad("payload is not a dict");
        const auto& items = d_.items(root);
        std::unordered_set<std::string_view> keys;
        for (std::size_t i = 0; i < items.size(); i += 2) {
            if (cancelled_()) return bad("interrupted");
            if (d_.at(items[i]).kind != Kind::Str) return bad("node key is not a str");
            // A key is text the validation names and logs: a lone surrogate (which pickle
            // carries) has no UTF-8 form.
            if (!text::is_valid_utf8(d_.str(items[i])))
                return bad("node key holds a lone surrogate");
            if (!keys.insert(d_.str(items[i])).second) return bad("duplicate node key");
            Status s = node(items[i + 1]);
            if (!s.ok) return s;
        }
        return {};
    }

  private:
    // A value may be met in several roles (a list as fingerprint and as row): each role is
    // checked once.
    enum Role : unsigned char { kNode = 1, kFingerprint = 2, kRow = 4 };
    bool first_visit(ValueId v, Role role) {
        if (seen_[v] & role) return false;
        seen_[v] |= role;
        return true;
    }

    Status node(ValueId v) {
        const Value& obj = d_.at(v);
        if (obj.kind != Kind::Object) return bad("node is not a FileNode");
        if (!first_visit(v, kNode)) return {};
        if (!obj.built) return bad("node without state");
        bool has_id = false, has_path = false, has_fp = false;
        // Only three distinct keys are allowed, so a longer state fails within four steps.
        for (std::size_t i = 0; i < d_.state_size(v); ++i) {
            const ValueId k = d_.state_key(v, i), val = d_.state_value(v, i);
            if (d_.at(k).kind != Kind::Str) return bad("node attribute name is not a str");
            const std::string_view name = d_.str(k);
            const Kind kind = d_.at(val).kind;
            if (name == certificate_format::kAttrId) {
                if (has_id) return bad("duplicate node attribute");
                if (kind != Kind::Int && kind != Kind::BigInt) return bad("node id is not an int");
                has_id = true;
            } else if (name == certificate_format::kAttrPath) {
                if (has_path) return bad("duplicate node attribute");
                if (kind != Kind::Str) return bad("node path is not a str");
                has_path = true;
            } else if (name == certificate_format::kAttrFingerprint) {
                if (has_fp) return bad("duplicate node attribute");
                Status s = fingerprint(val);
                if (!s.ok) return s;
                has_fp = true;
            } else {
                return bad("unknown node attribute");
            }
        }
        if (!has_id || !has_path) return bad("node without id or path");
        return {};
    }

    Status fingerprint(ValueId v) {
        if (d_.at(v).kind != Kind::List) return bad("fingerprint is not a list");
        if (!first_visit(v, kFingerprint)) return {};
        for (ValueId row : d_.items(v)) {
            if (cancelled_()) return bad("interrupted");
            if (d_.at(row).kind != Kind::List) return bad("fingerprint row is not a list");
            if (!first_visit(row, kRow)) continue;
            for (ValueId digest : d_.items(row)) {
                if (d_.at(digest).kind != Kind::Str) return bad("fingerprint digest is not a str");
            }
        }
        return {};
    }

    const Decoded& d_;
    std::vector<unsigned char> seen_;
    cancellation::Poll cancelled_;  // looked at per node and per fingerprint row
};

}  // namespace

Status check_node_table(const Decoded& d, const std::atomic<bool>* cancel) {
    try {
        return Checker(d, cancel).run();
    } catch (const std::bad_alloc&) {
        return bad("out of memory");
    } catch (...) {
        return bad("internal error");
    }
}

}  // namespace mavelin::pickle
