// Comparing the certificate's node table with the fresh one: by path or by position.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "engine/compare/node_join.h"
#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::node_comparison {

// Logs every finding as one WARNING line on `logger` and records it in validator._findings as a
// (kind, path, other path or None) tuple, the kinds being those of the JSON report.
class Findings {
  public:
    // `unreadable_files` ((path, OSError) pairs) and `unreadable_folders` (the same for folders)
    // are what the fresh pass could not read; borrowed, null when there is nothing to say.
    Findings(PyObject* validator, PyObject* logger, PyObject* unreadable_files,
             PyObject* unreadable_folders)
        : validator_(validator),
          logger_(logger),
          unreadable_files_(unreadable_files),
          unreadable_folders_(unreadable_folders) {}
    // Starts an empty validator._findings list, sets validator._unchecked_files to 0 and takes
    // the reasons of unreadable files.
    int start();
    // prefix + path + suffix.
    int report(const char* kind, PyObject* path, PyObject* other, const char* prefix,
               const char* suffix);
    // "File P was moved to Q."
    int moved(PyObject* from, PyObject* to);
    // "File P can't be read: <reason>" for a fresh record without a fingerprint.
    int unreadable(PyObject* path, PyObject* other);
    // "Folder P can't be read: <reason>" for every folder the fresh scan could not read
    // (`unreadable_folders`), recorded as "unreadable" with the folder's path; returns
    // their number, each a failure since whatever it holds went unchecked, or -1 with an
    // exception set. The certified files below them are then not checked (unread(),
    // not_checked()) rather than missing.
    long long unreadable_folders();
    const compare::FolderSet& unread() const noexcept { return unread_; }
    // Whether the node path `path` lies below a folder that could not be read; -1 with an
    // exception set.
    int below_unread(PyObject* path) const;
    // Adds `n` to validator._unchecked_files, the certified files below folders that could not
    // be read.
    int not_checked(size_t n);
    // Logs and records every finding of a join, in its order; `fresh_path` and
    // `certificate_path` give the path object of a node of either table (null with an
    // exception set on failure). Returns the number of files that failed, or -1.
    using PathOf = std::function<py::Ref(size_t)>;
    long long join(const compare::Comparison& result, const PathOf& fresh_path,
                   const PathOf& certificate_path);

    // The findings recorded (validator._findings) and the files not checked.
    PyObject* list() const noexcept { return list_.get(); }
    size_t unchecked() const noexcept { return not_checked_; }

  private:
    int record(const char* kind, PyObject* path, PyObject* other);

    PyObject* validator_;
    PyObject* logger_;
    PyObject* unreadable_files_;
    PyObject* unreadable_folders_;
    py::Ref list_;
    py::Ref reasons_;  // {file_path: exception} of the files the fresh pass could not read
    compare::FolderSet unread_;
    size_t not_checked_ = 0;
};

// The join key of a node path: its bytes as the host encodes file names (what a walk gives).
// Anything that is not text gets a key no text can have, so it only meets an equal value of its
// own kind.
int path_key(PyObject* path, std::string& out);

// One of the engine's pairings of two compact tables (compare::join_by_path, join_by_position).
using EngineJoin = compare::Comparison (*)(const table::NodeTable&, const table::NodeTable&,
                                           const std::atomic<bool>*, const compare::FolderSet*);
// The pairing `how` of two compact tables (whose paths are the raw bytes of the walk), away from
// the interpreter lock (Ctrl-C cuts it short), its findings logged and recorded: the number of
// files that failed, or -1 with an exception set.
long long on_tables(EngineJoin how, const table::NodeTable& certificate,
                    const table::NodeTable& fresh, Findings& findings);

// The fingerprint of a record, or null (no exception) when it has none.
py::Ref fingerprint_of(PyObject* node);

// Compare the certificate's node table with the fresh one. Each returns the number of files that
// failed, or -1 with an exception set.
long long by_path(PyObject* certificate_table, PyObject* fresh_table, Findings& findings);
long long by_position(PyObject* certificate_table, PyObject* fresh_table, Findings& findings);

}  // namespace mavelin::node_comparison
