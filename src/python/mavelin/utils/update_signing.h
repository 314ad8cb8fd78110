// sign_folder(update=True): the stored certificate's node table and file metadata, and the
// fingerprints of a fresh walk taken over from them where the stat data says nothing changed.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "engine/metadata/file_stats.h"
#include "engine/table/node_table.h"

namespace mavelin::update_signing {

// What the last signing stored: its node table and the metadata member's records.
struct Stored {
    table::NodeTable nodes;
    metadata::FileStats stats;
};

// Reads the certificate at `path` for a re-signing: 1 when its table and metadata can be used;
// 0 when they cannot, `why` saying why in a few words (no metadata member, other fingerprint
// parameters, a certificate that cannot be read); -1 with KeyboardInterrupt set.
int load_stored(PyObject* path, Stored& out, std::string& why);

}  // namespace mavelin::update_signing
