// The FileNode record class shared by the binding modules.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::models {

// The class mavelin.core.models.FileNode (borrowed; loads the module when needed).
PyObject* filenode_class();

// FileNode(id, file_path) through the class's own constructor.
py::Ref new_filenode(PyObject* id, PyObject* file_path);

// Interned attribute names of a record.
extern PyObject* kId;           // "id"
extern PyObject* kFilePath;     // "file_path"
extern PyObject* kFingerprint;  // "_FileNode__hash_fingerprint"

}  // namespace mavelin::models
