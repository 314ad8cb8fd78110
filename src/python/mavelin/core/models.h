// The FileNode record class shared by the binding modules.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::models {

// The class mavelin.core.models.FileNode (borrowed; loads the module when needed).
PyObject* filenode_class();

// FileNode(id, file_path) through the class's own constructor.
py::Ref new_filenode(PyObject* id, PyObject* file_path);

// The key of the node table under which the record with this id is kept.
py::Ref node_key(PyObject* id);

// table[node_key(node.id)] = node. -1 with an exception set.
int store_node(PyObject* table, PyObject* node);

// Sets the chunking parameters of a FileManager or FileNodeHandler, each given value or
// its default (chunk size 4096, transformation step 2) when null. -1 with an exception set.
int set_chunking(PyObject* self, PyObject* chunk_attr, PyObject* chunk_size, PyObject* step_attr,
                 PyObject* step);

}  // namespace mavelin::models
