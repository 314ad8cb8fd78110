// The files a run itself reads or writes (the certificate in use, the certificate it writes, its
// report): checked before any work, and left out of the tree they may lie in.
#pragma once

#include "engine/fs/tree_walk.h"
#include "python/capi/handle.h"

namespace mavelin::run_files {

// Checks that a file the run writes by replacing it (the report, a certificate at -o) can go to
// `target`, before any work: its folder exists and may be written (nothing is created to find
// out), and what is there now, if anything, is a regular file that may be written. `what` names
// the file in refusals ("report", "certificate"). 0, or -1 with an OSError set that names
// `target` (FileNotFoundError for a missing folder, PermissionError, EROFS, EISDIR; ELOOP for a
// symbolic link and EINVAL for a device, named pipe or socket, which are refused).
int check_target(PyObject* target, const char* what);

// Whether the folder in which signing makes or replaces the certificate of the tree at `top`
// (its Certificates folder, or the top when that does not exist yet) may be written. 1 when it
// may, 0 when it may not (`err`: the errno; `folder`: its path), -1 with an exception set.
int certificate_folder_writable(PyObject* top, int& err, py::Ref& folder);

// Whether writing to `target` (replacing that name) would replace the certificate at
// `certificate` (the entry named, or the file it leads to). 1, 0, or -1 with an exception set.
int replaces(PyObject* target, PyObject* certificate);

// Refuses a report that would replace the certificate: the one at `certificate` when not null,
// else either place where the light search looks for it in the tree at `top`. 0, or -1 with an
// exception set (OSError EINVAL naming `report` for a refusal).
int check_report_place(PyObject* report, PyObject* top, PyObject* certificate);

// Adds to `skipped` the entries of the tree at `top` that `path` names, when it lies in that
// tree: the entry of that name and, with `follow`, the file a symbolic link there leads to. Paths
// are compared with every symbolic link resolved, so a file reached through a link to one of the
// tree's folders counts. -1 with an exception set (memory).
int add_skipped(PyObject* top, PyObject* path, bool follow, fs::SkippedFiles& skipped);

}  // namespace mavelin::run_files
