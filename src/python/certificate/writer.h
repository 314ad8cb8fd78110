// Writing a certificate: streamed into the archive from a FileManager or a compact node table, or
// through the payload file of the step-by-step methods. Nothing is written through a name the
// signed tree controls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/table/node_table.h"
#include "python/capi/handle.h"

namespace mavelin::certificate {

// A member of the archive after the payload.
struct ExtraMember {
    std::string name;  // a name of engine/certificate_format.h
    std::vector<uint8_t> bytes;
};

// What a certificate holds beside its payload (ARCHITECTURE.md, "Archive members"). Left empty,
// the archive is the payload alone, byte for byte as before. Otherwise the archive is: the
// payload; `members` in their order; Certificate.json, the description of the tree (`files`,
// `bytes`, the folder's name, the time, the versions) with the SHA-256 of the payload (taken
// as it streams) and of each member; then, with a `sign`er, Certificate.sig.
//
// To add a member: name it in engine/certificate_format.h and push {name, bytes} onto `members`
// before write() / write_table(). It is listed with its digest in the description, and so
// covered by a signature; readers that do not know it pass it by.
struct Extras {
    std::vector<ExtraMember> members;
    uint64_t files = 0;  // the files of the table
    uint64_t bytes = 0;  // their bytes
    // Makes the signature of the description's exact bytes: true with `signature` set, or false
    // with `error` saying why (no certificate is written then). Runs without the interpreter lock.
    std::function<bool(const std::string& description, std::string* signature, std::string* error)>
        sign;

    bool any() const { return !members.empty() || static_cast<bool>(sign); }
};

// The whole certificate of the signing procedure: the payload streamed straight into a new
// archive that replaces Certificates/Certificate.korvex (or `output`, when not null: a path the
// caller chose, its folder taken as named) once complete and synced. Sets
// manager._cert_folder_path and _pickle_file_path as the two steps below do. 0, or -1 with an
// exception set (the old certificate then stays as it was). `node_class` is the FileNode class.
// `extras` (optional): the members beside the payload.
int write(PyObject* manager, PyObject* node_class, PyObject* output = nullptr,
          const Extras* extras = nullptr);
// The certificate of the compact node table `nodes` of the tree at `top`, written as write()
// writes a manager's (same payload bytes for the same table); `folder` receives the certificate
// folder's path (what write() records as manager._cert_folder_path). 0, or -1 with an exception
// set (the old certificate then stays as it was).
int write_table(PyObject* top, const table::NodeTable& nodes, PyObject* output, py::Ref& folder,
                const Extras* extras = nullptr);
// manager._save_certificate() (`node_class`: the FileNode class); 0, or -1 with an exception set.
int save(PyObject* manager, PyObject* node_class);
// manager._archive_certificate(); 0, or -1 with an exception set.
int archive(PyObject* manager);

}  // namespace mavelin::certificate
