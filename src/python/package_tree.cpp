// The plain packages of the tree: what each loads, in order, and what it exposes.
#include "python/package_tree.h"

#include "python/capi/common.h"

namespace mavelin::modules {
int init_empty(PyObject*) {
    return 0;
}

int init_core(PyObject* m) {
    return py::import_modules(m, {"mavelin.core.models", "mavelin.core.hashing",
                                  "mavelin.core.file_managing", "mavelin.core.validation"});
}

int init_utils(PyObject* m) {
    if (py::import_modules(m, {"mavelin.utils.logger"}) < 0 ||
        py::import_names(m, "mavelin.utils.sign_folder", {"sign_folder"}) < 0)
        return -1;
    return py::import_names(m, "mavelin.utils.validate_certificate", {"validate_certificate"});
}

int init_commands(PyObject* m) {
    if (py::import_names(m, "mavelin.cli.commands.sign_folder_command", {"sign_folder_command"}) <
        0)
        return -1;
    return py::import_names(m, "mavelin.cli.commands.validate_certificate_command",
                            {"validate_certificate_command"});
}

}  // namespace mavelin::modules
