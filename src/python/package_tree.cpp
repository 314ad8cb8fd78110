// The plain packages of the tree: what each loads, in order, and what it exposes.
#include "python/package_tree.h"

#include "python/capi/common.h"

namespace mavelin::modules {
namespace {

// Loads `module` and exposes `attr` of it on `package` (attr null: the module itself).
int expose(PyObject* package, const char* module, const char* attr, const char* as) {
    py::Ref mod = py::import(module);
    if (!mod) return -1;
    if (!attr) return py::set_attr(package, as, mod.get());
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(mod.get(), attr));
    if (!value) return -1;
    return py::set_attr(package, as, value.get());
}

}  // namespace

int init_empty(PyObject*) {
    return 0;
}

int init_core(PyObject* m) {
    for (const char* name : {"models", "hashing", "file_managing", "validation"}) {
        std::string full = std::string("mavelin.core.") + name;
        if (expose(m, full.c_str(), nullptr, name) < 0) return -1;
    }
    return 0;
}

int init_utils(PyObject* m) {
    if (expose(m, "mavelin.utils.logger", nullptr, "logger") < 0) return -1;
    if (expose(m, "mavelin.utils.sign_folder", "sign_folder", "sign_folder") < 0) return -1;
    return expose(m, "mavelin.utils.validate_certificate", "validate_certificate",
                  "validate_certificate");
}

int init_commands(PyObject* m) {
    if (expose(m, "mavelin.cli.commands.sign_folder_command", "sign_folder_command",
               "sign_folder_command") < 0)
        return -1;
    return expose(m, "mavelin.cli.commands.validate_certificate_command",
                  "validate_certificate_command", "validate_certificate_command");
}

}  // namespace mavelin::modules
