// Pairing the certificate's node table with a fresh one by node path: the findings of a validation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mavelin::compare {

// What is known about one row besides its path and fingerprint.
enum RowFlags : uint8_t {
    kNoFingerprint = 1,   // the record carries no fingerprint at all
    kUnreadable = 2,      // fresh rows: the file could not be read, so it has no fingerprint
    kOddFingerprint = 4,  // the fingerprint is not in the form a scan writes: it equals nothing
    kIdMismatch = 8,      // certificate rows: the record's id disagrees with its key's number
};

// A node table in column form: row i is its node path (raw bytes), its fingerprint as the binary
// row digests one after another (T x 32 bytes), and its flags. Rows keep the table's order.
class NodeTable {
  public:
    void reserve(size_t rows, size_t path_bytes, size_t digest_bytes);
    void add(std::string_view path, std::string_view digests, uint8_t flags);

    size_t size() const { return flags_.size(); }
    std::string_view path(size_t i) const;
    std::string_view digests(size_t i) const;
    uint8_t flags(size_t i) const { return flags_[i]; }
    // True when the row has a fingerprint that can equal another one.
    bool comparable(size_t i) const {
        return (flags_[i] & (kNoFingerprint | kUnreadable | kOddFingerprint)) == 0;
    }

  private:
    std::string paths_;
    std::vector<uint64_t> path_ends_;
    std::string digests_;
    std::vector<uint64_t> digest_ends_;
    std::vector<uint8_t> flags_;
};

enum class Kind : uint8_t {
    kNotAuthentic,  // certificate record whose id disagrees with its key (fresh path)
    kUnreadable,    // the fresh file could not be read (fresh path)
    kUnsigned,      // the certificate's record has no fingerprint (fresh path)
    kModified,      // both fingerprints present and different (fresh path)
    kNew,           // only in the tree (fresh path)
    kMoved,         // only in the certificate, its fingerprint found in exactly one new file
    kMissing,       // only in the certificate (certificate path)
};

constexpr size_t kNoRow = static_cast<size_t>(-1);

struct Finding {
    Kind kind;
    size_t fresh_row;        // kNoRow for kMissing
    size_t certificate_row;  // kNoRow for kNew
};

struct Comparison {
    std::vector<Finding> findings;  // in report order
    size_t failed_files = 0;        // files named by the findings, each counted once
};

// Every certificate row meets the fresh row with the same path (a hash join; when a path occurs
// more than once, occurrences pair in order). Findings come in the fresh table's order: for a
// paired row kNotAuthentic first when flagged, then at most one of kUnreadable, kUnsigned and
// kModified; for an unpaired fresh row kMoved or kNew. Then every unpaired certificate row that
// was not moved, in certificate order, as kMissing. A certificate row is moved when its
// fingerprint equals that of exactly one unpaired fresh row and no other unpaired certificate
// row has that fingerprint. Time and memory are linear in the tables.
Comparison join_by_path(const NodeTable& certificate, const NodeTable& fresh);

}  // namespace mavelin::compare
