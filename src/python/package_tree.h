// The registry of the package tree: one row per dotted name below `mavelin`, from which the
// importer (names, docs, origins), the plain packages (what each loads and exposes, in order) and
// the command group (its commands) are built. A new module is its initialiser and one row; a new
// command is its own file under mavelin/cli/commands/ and one row of kind kCommand.
#pragma once

#include <span>

#include "python/capi/handle.h"

// Each fills an already created module object; returns 0, or -1 with an exception set.
// They may run again on the same module (importlib.reload). Each lives in its folder's namespace.
namespace mavelin::cli {
int init_cli(PyObject* m);
// The source run as `python -m mavelin.cli`.
extern const char kCliMainSource[];
}  // namespace mavelin::cli

namespace mavelin::commands {
int init_sign_folder_command(PyObject* m);
int init_validate_certificate_command(PyObject* m);
}  // namespace mavelin::commands

namespace mavelin::core {
int init_models(PyObject* m);
int init_hashing(PyObject* m);
int init_node_handling(PyObject* m);
int init_file_managing(PyObject* m);
int init_validation(PyObject* m);
int init_shards(PyObject* m);
}  // namespace mavelin::core

namespace mavelin::utils {
int init_logger(PyObject* m);
int init_sign_folder(PyObject* m);
int init_validate_certificate(PyObject* m);
}  // namespace mavelin::utils

// The package's own modules: the library calls, their results and exceptions.
namespace mavelin {
int init_errors(PyObject* m);
int init_results(PyObject* m);
int init_api(PyObject* m);
}  // namespace mavelin

namespace mavelin::package_tree {

// What a module's package does with it when the package is loaded.
enum class Exposed {
    kNotLoaded,  // nothing: the module is loaded when first imported
    kModule,     // imports it; package.<last name> is the module
    kOwnName,    // imports it; package.<last name> is the module's object of that name
    kCommand,    // as kOwnName, and the object is a command of the group mavelin.cli.cli
    kAll,        // imports it; package.<name> is the module's object of that name, for each
                 // name of its __all__
};

struct Module {
    const char* name;  // dotted name
    bool package;
    int (*init)(PyObject*);  // null: the module runs kCliMainSource (which has its own doc)
    const char* doc;
    Exposed exposed;
};

// Every module below `mavelin`, parents before children, in load order.
std::span<const Module> modules();
// The row of a dotted name (a str), or null.
const Module* find(PyObject* name);

// Loads the modules of the package `name` that it exposes, in registry order, and sets them on
// `package` as their rows say. 0, or -1 with an exception set.
int load_children(PyObject* package, const char* name);
// The initialiser of a plain package: load_children under the module's own name.
int init_package(PyObject* m);
// The initialiser of a module with nothing to fill.
int init_empty(PyObject* m);

// The last component of a dotted name.
const char* last_name(const char* dotted);

}  // namespace mavelin::package_tree
