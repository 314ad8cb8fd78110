// Test support for the compact table codec: the stored pickle tables in compact form and back.
#pragma once

#include <string>

#include "engine/table/node_table.h"
#include "engine/table/path_text.h"
#include "pickle/pickle_vectors.h"

namespace table_vectors {

using mavelin::table::Digest;
using mavelin::table::NodeTable;

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The compact form of a listed table, or false when it has none (an id beyond 64 bits, a path
// no walk gives, fingerprints that are not `rows` rows of one lowercase hex digest each).
inline bool to_compact(const pickle_vectors::Table& t, NodeTable& out) {
    std::size_t rows = 0;
    bool rows_known = false;
    for (const auto& n : t) {
        if (!n.has_fingerprint) continue;
        if (rows_known && n.rows.size() != rows) return false;
        rows = n.rows.size();
        rows_known = true;
    }
    out = NodeTable(rows);
    std::string raw;
    std::vector<Digest> fp(rows);
    for (const auto& n : t) {
        std::vector<std::uint8_t> id = n.id;
        while (id.size() < 8) id.push_back((id.empty() || id.back() < 0x80) ? 0 : 0xff);
        for (std::size_t k = 8; k < id.size(); ++k) {
            if (id[k] != ((id[7] & 0x80) ? 0xff : 0)) return false;
        }
        std::uint64_t v = 0;
        for (int k = 0; k < 8; ++k) v |= static_cast<std::uint64_t>(id[k]) << (8 * k);
        if (!mavelin::table::path_from_text(n.path, raw)) return false;
        for (std::size_t r = 0; r < n.rows.size(); ++r) {
            if (n.rows[r].size() != 1 || n.rows[r][0].size() != 64) return false;
            for (std::size_t k = 0; k < 32; ++k) {
                const int hi = hex_value(n.rows[r][0][2 * k]),
                          lo = hex_value(n.rows[r][0][2 * k + 1]);
                if (hi < 0 || lo < 0) return false;
                fp[r][k] = static_cast<std::uint8_t>(hi * 16 + lo);
            }
        }
        out.add(static_cast<std::int64_t>(v), raw, n.has_fingerprint ? fp.data() : nullptr);
    }
    return true;
}

// The listed form of a compact table, for the generic encoder of pickle_vectors.h.
inline pickle_vectors::Table to_listed(const NodeTable& t) {
    pickle_vectors::Table out;
    for (std::size_t i = 0; i < t.size(); ++i) {
        pickle_vectors::Node n;
        n.id = pickle_vectors::le_bytes(static_cast<std::uint64_t>(t.id(i)));
        mavelin::table::append_path_text(t.path(i), n.path);
        n.has_fingerprint = t.has_fingerprint(i);
        for (std::size_t r = 0; n.has_fingerprint && r < t.rows(); ++r) {
            char hex[64];
            mavelin::hash::sha256::to_hex(t.fingerprint(i)[r], hex);
            n.rows.push_back({std::string(hex, 64)});
        }
        out.push_back(std::move(n));
    }
    return out;
}

// Tables whose compact form exists.
inline const std::vector<std::string>& compact_names() {
    static const std::vector<std::string> n = {"empty", "one_plain", "one_fp", "n999",
                                               "n1000", "n1001",     "n70000"};
    return n;
}

}  // namespace table_vectors
