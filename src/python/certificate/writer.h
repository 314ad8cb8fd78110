// Writing a certificate: streamed into the archive from a FileManager or a compact node table, or
// through the payload file of the step-by-step methods. Nothing is written through a name the
// signed tree controls.
#pragma once

#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// The whole certificate of the signing procedure: the payload streamed straight into a new
// archive that replaces Certificates/Certificate.korvex (or `output`, when not null: a path the
// caller chose, its folder taken as named) once complete and synced. Sets
// manager._cert_folder_path and _pickle_file_path as the two steps below do. 0, or -1 with an
// exception set (the old certificate then stays as it was). `node_class` is the FileNode class.
int write(PyObject* manager, PyObject* node_class, PyObject* output = nullptr);
// The certificate of the compact node table `nodes` of the tree at `top`, written as write()
// writes a manager's (same payload bytes for the same table); `folder` receives the certificate
// folder's path (what write() records as manager._cert_folder_path). 0, or -1 with an exception
// set (the old certificate then stays as it was).
int write_table(PyObject* top, const table::NodeTable& nodes, PyObject* output, py::Ref& folder);
// manager._save_certificate() (`node_class`: the FileNode class); 0, or -1 with an exception set.
int save(PyObject* manager, PyObject* node_class);
// manager._archive_certificate(); 0, or -1 with an exception set.
int archive(PyObject* manager);

}  // namespace mavelin::certificate
