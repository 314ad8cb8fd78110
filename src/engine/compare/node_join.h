// Pairing the certificate's node table with a fresh one by node path: the findings of a validation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/table/node_table.h"

namespace mavelin::compare {

enum class Kind : uint8_t {
    kNotAuthentic,  // certificate record whose id disagrees with its key (fresh path)
    kUnreadable,    // the fresh file could not be read (fresh path)
    kUnsigned,      // the certificate's record has no fingerprint (fresh path)
    kModified,      // both fingerprints present and different (fresh path)
    kNew,           // only in the tree (fresh path)
    kMoved,         // only in the certificate, its fingerprint found in exactly one new file
    kMissing,       // only in the certificate (certificate path)
    kOutOfOrder,    // by position: a pair whose paths differ, or an unpaired node whose path the
                    // other table holds elsewhere (the path of the row it names)
};

constexpr size_t kNoRow = static_cast<size_t>(-1);

struct Finding {
    Kind kind;
    size_t fresh_row;           // kNoRow for kMissing
    size_t certificate_row;     // kNoRow for kNew
    bool paths_differ = false;  // a pair by position whose paths differ: the certificate's
                                // path goes with the finding
};

struct Comparison {
    std::vector<Finding> findings;  // in report order
    size_t failed_files = 0;        // files named by the findings, each counted once
    size_t not_checked = 0;  // certificate nodes below a folder the fresh walk could not read
};

// The folders a fresh walk could not read (paths below the top, folder names joined with '/';
// "" is the top itself): whatever the certificate holds below them went unchecked.
class FolderSet {
  public:
    void add(std::string folder);
    bool empty() const noexcept { return folders_.empty(); }
    // Whether the node path `path` lies below one of the folders.
    bool covers(std::string_view path) const;

  private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> folders_;
};

// Every certificate node meets the fresh node with the same path (a hash join; when a path
// occurs more than once, occurrences pair in order). A fresh node without fingerprint is a file
// that could not be read; a certificate node without one was not signed; a certificate node
// marked kIdMismatch is not authentic; fingerprints are equal when their digest_bytes() are.
//
// Findings come in the fresh table's order: for a paired node kNotAuthentic first when marked,
// then at most one of kUnreadable, kUnsigned and kModified; for an unpaired fresh node kMoved or
// kNew. Then every unpaired certificate node that was not moved, in certificate order, as
// kMissing. A certificate node is moved when its fingerprint equals that of exactly one unpaired
// fresh node and no other unpaired certificate node has that fingerprint; the fingerprint of an
// empty file, which every empty file shares, never makes a move. An unpaired certificate node
// below a folder of `unread` (optional) is neither missing nor moved: it is counted in
// not_checked.
//
// Time is linear in the tables (nodes at the same position with the same path, up to the first
// that differ, are paired without hashing). Memory besides the findings: about 17 bytes per
// certificate node while pairing, and a hash entry per unpaired node with a fingerprint for the
// moves.
// Once `cancel` (optional) is set, returns within a few thousand nodes with the comparison
// unfinished, for the caller to drop. Throws std::bad_alloc.
Comparison join_by_path(const table::NodeTable& certificate, const table::NodeTable& fresh,
                        const std::atomic<bool>* cancel = nullptr,
                        const FolderSet* unread = nullptr);

}  // namespace mavelin::compare
