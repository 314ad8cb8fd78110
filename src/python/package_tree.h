// Initialisers of the modules of the package tree, one per dotted name.
#pragma once

#include "python/capi/handle.h"

namespace mavelin::modules {

// Each fills an already created module object; returns 0, or -1 with an exception set.
// They may run again on the same module (importlib.reload).
int init_cli(PyObject* m);
int init_commands(PyObject* m);
int init_sign_folder_command(PyObject* m);
int init_validate_certificate_command(PyObject* m);
int init_empty(PyObject* m);
int init_core(PyObject* m);
int init_models(PyObject* m);
int init_hashing(PyObject* m);
int init_node_handling(PyObject* m);
int init_file_managing(PyObject* m);
int init_validation(PyObject* m);
int init_shards(PyObject* m);
int init_utils(PyObject* m);
int init_logger(PyObject* m);
int init_sign_folder(PyObject* m);
int init_validate_certificate(PyObject* m);

// The source run as `python -m mavelin.cli`.
extern const char kCliMainSource[];

}  // namespace mavelin::modules
