// The registry of the package tree, and the plain packages built from it.
#include "python/package_tree.h"

#include <cstring>
#include <string_view>

#include "python/capi/entry.h"
#include "python/capi/import.h"

namespace mavelin::package_tree {
namespace {

using cli::kCliMainSource;

constexpr Exposed kNo = Exposed::kNotLoaded;
constexpr Exposed kMod = Exposed::kModule;
constexpr Exposed kOwn = Exposed::kOwnName;
constexpr Exposed kCmd = Exposed::kCommand;
constexpr Exposed kAll = Exposed::kAll;

const Module kModules[] = {
    {"mavelin.__main__", false, nullptr, nullptr, kNo},
    {"mavelin.cli", true, py::entry<cli::init_cli>,
     "The command line: the click group `cli` with its two commands.", kMod},
    {"mavelin.cli.__main__", false, nullptr, nullptr, kNo},
    {"mavelin.cli.commands", true, py::entry<init_package>, "The commands of the command group.",
     kMod},
    {"mavelin.cli.commands.sign_folder_command", false,
     py::entry<commands::init_sign_folder_command>,
     "The `sign_folder` command: signs the folder given with --dir-path.", kCmd},
    {"mavelin.cli.commands.validate_certificate_command", false,
     py::entry<commands::init_validate_certificate_command>,
     "The `validate_certificate` command: checks a folder against its certificate.", kCmd},
    {"mavelin.cli.commands.generate_certificate_report", false, py::entry<init_empty>,
     "Reserved for a certificate report command; empty.", kNo},
    {"mavelin.core", true, py::entry<init_package>,
     "The signing and validation machinery: records, hashing, the scan and the comparison.", kMod},
    {"mavelin.core.models", false, py::entry<core::init_models>,
     "FileNode, the record of one file of a signed tree.", kMod},
    {"mavelin.core.hashing", false, py::entry<core::init_hashing>,
     "SHA-256 hash objects and the choice of the SHA-256 implementation.", kMod},
    {"mavelin.core.node_handling", false, py::entry<core::init_node_handling>,
     "FileNodeHandler, which fingerprints one file into its FileNode.", kNo},
    {"mavelin.core.file_managing", false, py::entry<core::init_file_managing>,
     "FileManager: the scan of a tree, its fingerprint pass and the certificate.", kMod},
    {"mavelin.core.validation", false, py::entry<core::init_validation>,
     "CertificateValidator: finding, loading and checking a certificate against a folder.", kMod},
    {"mavelin.core._shards", false, py::entry<core::init_shards>,
     "Fingerprints of one shard of a tree, as packed digests, for runs over several machines.",
     kNo},
    {"mavelin.utils", true, py::entry<init_package>,
     "The two procedures, sign_folder and validate_certificate, and the log set-up.", kMod},
    {"mavelin.utils.logger", false, py::entry<utils::init_logger>,
     "The log set-up of the command line.", kMod},
    {"mavelin.utils.sign_folder", false, py::entry<utils::init_sign_folder>,
     "The signing procedure, sign_folder.", kOwn},
    {"mavelin.utils.validate_certificate", false, py::entry<utils::init_validate_certificate>,
     "The validation procedure, validate_certificate.", kOwn},
    {"mavelin.errors", false, py::entry<init_errors>,
     "The exceptions of mavelin.sign and mavelin.validate: Error and its subclasses.", kAll},
    {"mavelin.results", false, py::entry<init_results>,
     "What mavelin.sign and mavelin.validate return: Result and its Findings.", kAll},
    {"mavelin.api", false, py::entry<init_api>,
     "sign and validate: the procedures' runs, returning a Result and raising mavelin.Error.",
     kAll},
};

// Whether `dotted` is a direct child of the package `parent`.
bool child_of(const char* dotted, std::string_view parent) {
    return std::strncmp(dotted, parent.data(), parent.size()) == 0 &&
           dotted[parent.size()] == '.' && std::strchr(dotted + parent.size() + 1, '.') == nullptr;
}

// package.<name> = module.<name> for each name of the module's __all__.
int set_all(PyObject* package, PyObject* module) {
    py::Ref names = py::attr(module, "__all__");
    py::Ref seq = names ? py::Ref::steal(PySequence_Fast(names.get(), "__all__")) : py::Ref();
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(seq.get(), i);
        py::Ref value = py::Ref::steal(PyObject_GetAttr(module, name));
        if (!value || PyObject_SetAttr(package, name, value.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace

std::span<const Module> modules() {
    return kModules;
}

const Module* find(PyObject* name) {
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (!text) {
        PyErr_Clear();
        return nullptr;
    }
    for (const Module& e : kModules)
        if (std::strcmp(e.name, text) == 0) return &e;
    return nullptr;
}

const char* last_name(const char* dotted) {
    const char* dot = std::strrchr(dotted, '.');
    return dot ? dot + 1 : dotted;
}

int load_children(PyObject* package, const char* name) {
    for (const Module& e : kModules) {
        if (e.exposed == Exposed::kNotLoaded || !child_of(e.name, name)) continue;
        py::Ref mod = py::import(e.name);
        if (!mod) return -1;
        const char* attr = last_name(e.name);
        if (e.exposed == Exposed::kAll) {
            if (set_all(package, mod.get()) < 0) return -1;
            continue;
        }
        py::Ref value = e.exposed == Exposed::kModule ? mod : py::attr(mod.get(), attr);
        if (!value || py::set_attr(package, attr, value.get()) < 0) return -1;
    }
    return 0;
}

int init_package(PyObject* m) {
    const char* name = PyModule_GetName(m);
    return name ? load_children(m, name) : -1;
}

int init_empty(PyObject*) {
    return 0;
}

}  // namespace mavelin::package_tree
