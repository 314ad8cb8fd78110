// The route rule, and the walk and fingerprints of a procedure's tree into a compact node table
// (hashed on this machine or on a cluster).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/fs/tree_walk.h"
#include "engine/metadata/file_stats.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "engine/table/streaming_scan.h"

namespace mavelin::passes {

enum class Procedure { kSign, kValidate };

// The route rule, the one place that decides it for both procedures. A procedure runs on the
// compact node table (TreePass, the table's payload writer and reader, the join by path) when
// every class whose steps it would otherwise call is the package's own: FileManager of
// mavelin.core.file_managing for signing; that and CertificateValidator of
// mavelin.core.validation for validation (whose fingerprint step builds a FileManager). When a
// caller put another class there (a subclass included), the procedure runs the steps through
// that class's methods, so an overridden step is called; the cost of records is then the
// caller's choice. 1: the table; 0: the classes' steps; -1 with an exception set.
int route_to_table(Procedure procedure);

// Signing and validation both walk the tree, report what the walk found, and fingerprint the
// files. Unless the progress line is drawn (it needs the number of files first), the hashing
// starts with the first files the walk finds; the results are the same either way. Both steps
// run off the interpreter's thread, and Ctrl-C ends them.
class TreePass {
  public:
    explicit TreePass(std::string top) : top_(std::move(top)) {}
    // Stops and waits for a walk start() began and walk() did not wait for.
    ~TreePass();
    TreePass(const TreePass&) = delete;
    TreePass& operator=(const TreePass&) = delete;

    // Before start() or walk(): the walk keeps every node's stat record (stats()). With
    // `whole_walk_first`, the hashing waits for the walk's end (a caller that takes fingerprints
    // over from an earlier table before hashing the rest).
    void keep_stats(bool whole_walk_first);

    // Starts the walk, and the hashing alongside it, without waiting: what the caller does
    // meanwhile overlaps them. Does nothing when the progress line is drawn (walk() then walks).
    // After keep_stats(true), starts the walk alone (on a thread of its own; no Python object is
    // touched there, so the caller may go on with the interpreter lock held).
    // -1 with KeyboardInterrupt or MemoryError set.
    int start();
    // The walk (started here unless start() did), waited for. -1 with KeyboardInterrupt or
    // MemoryError set.
    int walk();
    // After walk(): the nodes in walk order, numbered 1, 2, 3 ...; the folders that could not
    // be read; the folders whose files were left out for their name.
    table::NodeTable& nodes() { return streaming_ ? streaming_->table() : nodes_; }
    std::vector<fs::WalkError>& walk_errors() {
        return streaming_ ? streaming_->walk_errors() : walk_errors_;
    }
    std::vector<fs::LeftOutFolder>& left_out() {
        return streaming_ ? streaming_->left_out() : left_out_;
    }
    // After walk(): the symbolic links whose target was missing, which are no nodes.
    std::vector<std::string>& dangling_links() {
        return streaming_ ? streaming_->dangling_links() : dangling_links_;
    }

    // After walk(), with keep_stats(): the nodes' stat records, in table order.
    metadata::FileStats& stats() { return streaming_ ? streaming_->stats() : stats_; }

    // After walk(): every node's fingerprint into nodes(); the files that could not be read in
    // `failures` (node order), the bytes fingerprinted in `bytes`. -1 with KeyboardInterrupt or
    // MemoryError set. With `only` (after keep_stats(true)), just those nodes (ascending); the
    // others keep the fingerprints the caller gave them.
    // On a cluster (PassSettings), the fingerprints come from there, into the same table.
    int fill(std::vector<table::FillFailure>& failures, std::uint64_t& bytes,
             const std::vector<std::size_t>* only = nullptr);

  private:
    int fill_on_cluster(const fingerprint::Params& params,
                        std::vector<table::FillFailure>& failures, std::uint64_t& bytes,
                        const std::vector<std::size_t>* only);

    // Waits for the walk start() began alone (Ctrl-C stops it). -1 with KeyboardInterrupt or
    // MemoryError set.
    int join_walk();

    std::string top_;
    std::optional<table::StreamingScan> streaming_;  // hashing alongside the walk
    table::NodeTable nodes_;                         // otherwise, the walk's table
    std::vector<fs::WalkError> walk_errors_;
    std::vector<fs::LeftOutFolder> left_out_;
    std::vector<std::string> dangling_links_;
    metadata::FileStats stats_;
    bool keep_stats_ = false;
    bool whole_walk_first_ = false;
    // The walk start() began alone, into nodes_, walk_errors_, left_out_, dangling_links_ and
    // stats_, which nothing else touches until join_walk().
    std::thread walker_;
    std::atomic<bool> walk_cancel_{false};
    bool walk_failed_ = false;  // it ran out of memory
    // The walk spread over a cluster (walk_on_cluster) fingerprinted every file but the large
    // ones, which fill() hands to range tasks.
    bool spliced_ = false;
    std::vector<table::FillFailure> spliced_failures_;
    std::vector<std::size_t> large_;
    std::uint64_t spliced_bytes_ = 0;
};

}  // namespace mavelin::passes
