// Test support for the payload codec: the stored pickle vectors, their table files and the table
// walks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/hash/sha256/sha256.h"
#include "engine/pickle/node_table.h"
#include "engine/pickle/reader.h"
#include "engine/pickle/writer.h"

namespace pickle_vectors {

namespace pk = mavelin::pickle;
namespace format = mavelin::certificate_format;

struct Node {
    std::vector<std::uint8_t> id;  // little-endian two's complement
    std::string path;              // UTF-8, surrogates in their 3-byte form
    bool has_fingerprint = false;
    std::vector<std::vector<std::string>> rows;
};
using Table = std::vector<Node>;

// Every table of make_pickle_vectors.py.
inline const std::vector<std::string>& names() {
    static const std::vector<std::string> n = {"empty",       "one_plain", "one_fp", "two",
                                               "n999",        "n1000",     "n1001",  "special",
                                               "big_strings", "n70000"};
    return n;
}

inline std::string data_path(const std::string& file) {
    return std::string(MAVELIN_TEST_DATA) + "/" + file;
}

inline bool read_file(const std::string& file, std::string& out) {
    std::ifstream f(data_path(file), std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

inline std::vector<std::uint8_t> from_hex(const std::string& h) {
    std::vector<std::uint8_t> v;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        v.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return v;
}

inline std::string decode_str(const std::string& tok) {
    if (tok[0] == 'x') {
        auto b = from_hex(tok.substr(1));
        return std::string(b.begin(), b.end());
    }
    const auto star = tok.find('*');  // r<count>*<hex unit>
    const auto unit = from_hex(tok.substr(star + 1));
    std::string s;
    for (long i = std::stol(tok.substr(1, star - 1)); i > 0; --i)
        s.append(unit.begin(), unit.end());
    return s;
}

inline std::vector<std::uint8_t> le_bytes(std::uint64_t v) {
    std::vector<std::uint8_t> b;
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

inline std::string digest_text(std::uint64_t n, std::uint64_t j) {
    std::string s;
    char buf[17];
    for (std::uint64_t k = 0; k < 4; ++k) {
        std::snprintf(buf, sizeof buf, "%016llx",
                      static_cast<unsigned long long>(n * 0x9E3779B97F4A7C15ULL +
                                                      j * 0xBF58476D1CE4E5B9ULL + k));
        s += buf;
    }
    return s;
}

inline Table load_table(const std::string& name) {
    std::string text;
    EXPECT_TRUE(read_file(name + ".table", text)) << name;
    std::istringstream in(text);
    Table t;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string kind;
        ls >> kind;
        if (kind == "formula") {
            std::uint64_t count, every, rows;
            ls >> count >> every >> rows;
            for (std::uint64_t n = 1; n <= count; ++n) {
                Node node;
                node.id = le_bytes(n);
                node.path = "dir" + std::to_string(n % 13) + "/sub" + std::to_string(n % 7) +
                            "/file_" + std::to_string(n) + ".txt";
                if (every != 0 && n % every == 0) {
                    node.has_fingerprint = true;
                    for (std::uint64_t j = 0; j < rows; ++j)
                        node.rows.push_back({digest_text(n, j)});
                }
                t.push_back(std::move(node));
            }
        } else if (kind == "node") {
            std::string id, path, nrows;
            ls >> id >> path >> nrows;
            Node node;
            node.id = from_hex(id);
            node.path = decode_str(path);
            if (nrows != "-") {
                node.has_fingerprint = true;
                for (long r = std::stol(nrows); r > 0; --r) {
                    std::string row;
                    ls >> row;
                    std::vector<std::string> strs;
                    if (row != "~") {
                        std::istringstream rs(row);
                        std::string s;
                        while (std::getline(rs, s, ',')) strs.push_back(decode_str(s));
                    }
                    node.rows.push_back(std::move(strs));
                }
            }
            t.push_back(std::move(node));
        }
    }
    return t;
}

inline std::string sha_hex(const std::string& s) {
    const auto d = mavelin::hash::sha256::hash(s.data(), s.size());
    char hex[64];
    mavelin::hash::sha256::to_hex(d, hex);
    return std::string(hex, 64);
}

// The host's stream of a table at protocol 2 or 4: the stored bytes, or digest and length.
struct Expected {
    bool stored = false;
    std::string bytes;
    std::string sha;
    std::size_t length = 0;
};

inline bool load_expected(const std::string& name, int proto, Expected& e) {
    const std::string base = name + ".p" + std::to_string(proto);
    if (read_file(base + ".pkl", e.bytes)) {
        e.stored = true;
        e.sha = sha_hex(e.bytes);
        e.length = e.bytes.size();
        return true;
    }
    std::string text;
    if (!read_file(base + ".sha256", text)) return false;
    std::istringstream in(text);
    in >> e.sha >> e.length;
    return true;
}

// Fixed identities of the objects every record shares, as the host has them: the class, its
// module and name strings and the interned attribute names.
enum : pk::Identity {
    kClass = 1,
    kModule,
    kQualname,
    kAttrId,
    kAttrPath,
    kAttrFp,
    kFirstFresh = 100
};

inline void save_str(pk::PickleWriter& w, pk::Identity id, std::string_view s) {
    if (!w.save_ref(id)) w.put_str(id, s);
}

inline void save_class(pk::PickleWriter& w) {
    if (w.save_ref(kClass)) return;
    save_str(w, kModule, format::kNodeModule);
    save_str(w, kQualname, format::kNodeClass);
    w.put_stack_global(kClass);
}

// Encodes a table the way the binding walks live objects: each str, list and dict other than
// the shared names is its own object.
// With `drain`, the settled part of the stream is taken out after every node, as a writer
// that streams to a file does; the result must not change.
inline std::string encode_table(const Table& t, bool drain = false) {
    std::string drained;
    pk::PickleWriter w;
    pk::Identity next = kFirstFresh;
    const pk::Identity table_id = next++;
    if (!w.save_ref(table_id)) w.put_empty_dict(table_id);
    pk::Batch nodes = w.batch_begin(t.size(), true);
    for (std::size_t i = 0; i < t.size(); ++i) {
        const Node& n = t[i];
        save_str(w, next++, "node_id_" + std::to_string(i + 1));
        const pk::Identity obj = next++;
        EXPECT_FALSE(w.save_ref(obj));
        save_class(w);
        w.save_empty_tuple();
        w.put_newobj(obj);
        const pk::Identity state = next++;
        EXPECT_FALSE(w.save_ref(state));
        w.put_empty_dict(state);
        pk::Batch attrs = w.batch_begin(n.has_fingerprint ? 3 : 2, true);
        save_str(w, kAttrId, format::kAttrId);
        w.save_int(n.id);
        w.batch_item_done(attrs);
        save_str(w, kAttrPath, format::kAttrPath);
        save_str(w, next++, n.path);
        w.batch_item_done(attrs);
        if (n.has_fingerprint) {
            save_str(w, kAttrFp, format::kAttrFingerprint);
            const pk::Identity fp = next++;
            EXPECT_FALSE(w.save_ref(fp));
            w.put_empty_list(fp);
            pk::Batch rows = w.batch_begin(n.rows.size(), false);
            for (const auto& row : n.rows) {
                const pk::Identity r = next++;
                EXPECT_FALSE(w.save_ref(r));
                w.put_empty_list(r);
                pk::Batch strs = w.batch_begin(row.size(), false);
                for (const auto& s : row) {
                    save_str(w, next++, s);
                    w.batch_item_done(strs);
                }
                if (!row.empty()) w.batch_end(strs);
                w.batch_item_done(rows);
            }
            if (!n.rows.empty()) w.batch_end(rows);
            w.batch_item_done(attrs);
        }
        w.batch_end(attrs);
        w.put_build();
        w.batch_item_done(nodes);
        if (drain) {
            drained.append(w.data(), 0, w.settled_size());
            w.drop_settled(w.settled_size());
        }
    }
    if (!t.empty()) w.batch_end(nodes);
    w.finish();
    return drained + w.take();
}

// Index of the first differing byte, or -1.
inline long first_difference(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<long>(i);
    }
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

inline std::span<const std::uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace pickle_vectors
