// Everything the binding keeps between calls, in one place.
#pragma once

#include <string>

#include "python/capi/attribute_names.h"
#include "python/capi/handle.h"
#include "python/capi/library_call.h"

namespace mavelin::py {

// Attribute names looked up on every record or object, interned once.
struct Names {
    // FileNode records
    Ref id;           // "id"
    Ref file_path;    // "file_path"
    Ref fingerprint;  // "_FileNode__hash_fingerprint"
    // FileManager
    Ref initial_path;        // attr::kInitialPath
    Ref chunk_size;          // attr::kChunkSize (FileNodeHandler too)
    Ref manager_step;        // attr::kTransformationStep
    Ref file_nodes;          // attr::kFileNodes
    Ref files_count;         // "files_count"
    Ref fingerprint_errors;  // attr::kFingerprintErrors
    // FileNodeHandler
    Ref node;          // attr::kNode
    Ref handler_step;  // "_FileNodeHandler__transformation_step"
    Ref hash_list;     // "_FileNodeHandler__hash_list"
    Ref file;          // "_FileNodeHandler__file"
    Ref file_size;     // "_FileNodeHandler__file_size"
};

// The binding's state. It belongs to the main interpreter, the only one the package loads
// in (the extension refuses subinterpreters at import), and lives until the process ends:
// it is never freed, so no reference in it is dropped after the interpreter is gone.
// Only code holding the interpreter lock reads or writes it.
struct State {
    Names names;  // filled by intern_names() before any module of the tree runs

    // Classes built at load time, each made once and kept across reloads of its module:
    // pickled records and instances refer to these very class objects.
    Ref filenode_class;   // mavelin.core.models.FileNode (written by init_models)
    Ref manager_class;    // mavelin.core.file_managing.FileManager
    Ref handler_class;    // mavelin.core.node_handling.FileNodeHandler
    Ref validator_class;  // mavelin.core.validation.CertificateValidator
    Ref hash_type;        // the type of _generate_hash's objects (made on first use)
    Ref class_signature;  // the __signature__ descriptor of the classes above
    // The exceptions of mavelin.errors, by the failure each stands for (written by init_errors).
    Ref error_classes[static_cast<size_t>(Failure::kCount)];
    Ref finding_class;  // mavelin.results.Finding
    Ref result_class;   // mavelin.results.Result

    // Loggers of the modules that log, replaced when their module is initialised again.
    Ref validation_logger;  // "mavelin.core.validation"
    Ref sign_logger;        // "mavelin.utils.sign_folder"
    Ref validate_logger;    // "mavelin.utils.validate_certificate"

    // The importer on sys.meta_path that serves the submodules, and the directory of the
    // extension file from which their virtual origins are made (ends with '/').
    Ref importer;
    std::string base_dir;
};

// The one instance.
State& state();

// Interns the attribute names of State::names (once). 0, or -1 with an exception set.
int intern_names();

}  // namespace mavelin::py
