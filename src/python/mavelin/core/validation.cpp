// mavelin.core.validation: CertificateValidator, locating, loading and comparing a certificate.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>

#include "engine/certificate_format.h"
#include "engine/fs/file_io.h"
#include "engine/fs/tree_walk.h"
#include "python/capi/attribute_names.h"
#include "python/capi/classes.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/gil.h"
#include "python/capi/import.h"
#include "python/capi/interruptible.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/capi/text.h"
#include "python/certificate/reader.h"
#include "python/mavelin/core/comparison/node_comparison.h"
#include "python/mavelin/core/log_lines.h"
#include "python/mavelin/core/models.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"
#include "python/package_tree.h"

namespace mavelin::core {
namespace {

constexpr const char* kArchiveName = certificate_format::kArchiveName;
constexpr const char* kFolderName = certificate_format::kFolderName;

PyObject* logger() {
    return py::state().validation_logger.get();
}

int found(PyObject* self, PyObject* path) {
    if (PyObject_SetAttrString(self, attr::kCertificatePath, path) < 0) return -1;
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    if (!text) return -1;
    return log_lines::log_with(logger(), "info", "Certificate file has been found at ", text.get(),
                               "");
}

// Whether os.listdir(folder) holds `name`; -1 with the listing's exception. The folder is listed
// through a descriptor opened without touching its access time where that is allowed; what
// cannot be opened is left to os.listdir, for its exception.
int listing_holds(PyObject* folder, const char* name) {
    py::Ref listdir = py::import_attr("os", "listdir");
    if (!listdir) return -1;
    std::string path;
    fs::UniqueFd fd;
    if (py::encode_path(folder, path) < 0) {
        PyErr_Clear();  // os.listdir says what it makes of such a folder
    } else {
        fs::open_keeping_atime(O_RDONLY | O_DIRECTORY, [&](int flags) {
            return fs::open_at_any_length(AT_FDCWD, path, flags, fd);
        });
    }
    py::Ref names;
    py::Ref wanted;
    if (fd) {
        py::Ref fd_number = py::Ref::steal(PyLong_FromLong(fd.get()));
        if (!fd_number) return -1;
        names = py::Ref::steal(PyObject_CallOneArg(listdir.get(), fd_number.get()));
        wanted = py::Ref::steal(PyUnicode_FromString(name));  // names listed by descriptor are str
    } else {
        names = py::Ref::steal(PyObject_CallOneArg(listdir.get(), folder));
        if (!names) return -1;
        wanted = PyBytes_Check(folder) ? py::Ref::steal(PyBytes_FromString(name))
                                       : py::Ref::steal(PyUnicode_FromString(name));
    }
    if (!names || !wanted) return -1;
    return PySequence_Contains(names.get(), wanted.get());
}

// One WARNING when the tree's Certificates folder holds a certificate too, besides the one
// `used` at the top, which the search takes first. The other one is looked up, not listed.
int warn_other_certificate(PyObject* top, PyObject* used) {
    py::Ref folder = py::join(top, kFolderName);
    py::Ref other = folder ? py::join(folder.get(), kArchiveName) : py::Ref();
    std::string path;
    if (!other || py::encode_path(other.get(), path) < 0) return -1;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return 0;
    py::Ref used_text = py::Ref::steal(PyObject_Str(used));
    py::Ref shown_used = used_text ? py::display_text(used_text.get()) : py::Ref();
    py::Ref shown_other = py::display_text(other.get());
    if (!shown_used || !shown_other) return -1;
    py::Ref message = py::Ref::steal(
        PyUnicode_FromFormat("Certificate file %U is used; another one exists at %U.",
                             shown_used.get(), shown_other.get()));
    return message ? py::log(logger(), "warning", message.get()) : -1;
}

PyObject* validator_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"certificate_path", "result_path", nullptr};
    PyObject *certificate_path, *result_path;
    // Keyword options are kept whole; the two paths are the only named parameters.
    py::Ref options = py::Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!options) return nullptr;
    py::Ref named = py::Ref::steal(PyDict_New());
    if (!named) return nullptr;
    for (const char* key : {"self", "certificate_path", "result_path"}) {
        PyObject* v = PyDict_GetItemString(options.get(), key);  // borrowed
        if (!v) continue;
        if (PyDict_SetItemString(named.get(), key, v) < 0 ||
            PyDict_DelItemString(options.get(), key) < 0)
            return nullptr;
    }
    if (!PyArg_ParseTupleAndKeywords(args, named.get(), "OO:CertificateValidator",
                                     const_cast<char**>(kwlist), &certificate_path, &result_path))
        return nullptr;
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttrString(self, attr::kCertificatePath, certificate_path) < 0 ||
        PyObject_SetAttrString(self, attr::kResultPath, result_path) < 0 ||
        PyObject_SetAttrString(self, "invalid_counter", zero.get()) < 0 ||
        PyObject_SetAttrString(self, "_CertificateValidator__kwargs", options.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* light_certificate_search(PyObject* self, PyObject*) {
    py::Ref result_path = py::attr(self, attr::kResultPath);
    if (!result_path) return nullptr;
    int here = listing_holds(result_path.get(), kArchiveName);
    if (here < 0) return nullptr;
    if (here) {
        py::Ref path = py::join(result_path.get(), kArchiveName);
        if (!path || found(self, path.get()) < 0 ||
            warn_other_certificate(result_path.get(), path.get()) < 0)
            return nullptr;
        Py_RETURN_TRUE;
    }
    int folder = listing_holds(result_path.get(), kFolderName);
    if (folder < 0) return nullptr;
    if (folder) {
        py::Ref cert_folder = py::join(result_path.get(), kFolderName);
        if (!cert_folder) return nullptr;
        int inside = listing_holds(cert_folder.get(), kArchiveName);
        if (inside < 0) return nullptr;
        if (inside) {
            py::Ref path = py::join(cert_folder.get(), kArchiveName);
            if (!path || found(self, path.get()) < 0) return nullptr;
            Py_RETURN_TRUE;
        }
    }
    if (py::log(logger(), "warning", "Certificate file not found.") < 0) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* deep_certificate_search(PyObject* self, PyObject*) {
    if (py::log(logger(), "info", "Performing deeper search...") < 0) return nullptr;
    py::Ref result_path = py::attr(self, attr::kResultPath);
    if (!result_path) return nullptr;
    std::string top;
    if (py::encode_path(result_path.get(), top) < 0) return nullptr;
    bool hit = false;
    std::string rel;
    std::atomic<bool> cancel{false};
    // Off the interpreter's thread, so that Ctrl-C ends a search through a large tree.
    auto search = [&] {
        fs::TreeWalker walker(top, &cancel);
        while (fs::Visit* v = walker.next()) {
            for (const std::string& f : v->files) {
                if (f == kArchiveName) {
                    hit = true;
                    break;
                }
            }
            if (hit) {
                rel = v->rel;
                break;
            }
        }
    };
    if (py::run_interruptible_alloc(search, cancel) < 0) return nullptr;
    if (!hit) Py_RETURN_FALSE;
    py::Ref folder = result_path;
    if (!rel.empty()) {
        py::Ref rel_text = py::decode_path(rel);
        if (!rel_text) return nullptr;
        folder = py::join(result_path.get(), rel_text.get());
        if (!folder) return nullptr;
    }
    py::Ref path = py::join(folder.get(), kArchiveName);
    if (!path || found(self, path.get()) < 0) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* deserealize_certificate(PyObject* self, PyObject*) {
    py::Ref certificate_path = py::attr(self, attr::kCertificatePath);
    if (!certificate_path) return nullptr;
    py::Ref table;
    std::string why;
    PyObject* node_class = models::filenode_class();
    if (!node_class) return nullptr;
    switch (certificate::load(certificate_path.get(), node_class, table, why)) {
        case certificate::Result::kOk:
            break;
        case certificate::Result::kError:
            return nullptr;
        case certificate::Result::kCorrupted: {
            // Said as the archive's own refusals are: that it is corrupted, then why.
            py::Ref reason = py::Ref::steal(PyUnicode_DecodeUTF8(
                why.data(), static_cast<Py_ssize_t>(why.size()), "backslashreplace"));
            if (!reason || log_lines::log_with(logger(), "error", "Certificate file is corrupted: ",
                                               reason.get(), "") < 0)
                return nullptr;
            py::Ref message = py::Ref::steal(
                PyUnicode_FromFormat("Certificate file is corrupted: %U", reason.get()));
            return message ? py::exit_request(py::Failure::kCertificateCorrupted, message.get())
                           : nullptr;
        }
    }
    if (PyObject_SetAttrString(self, "_CertificateValidator__certificate_fingerprints",
                               table.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* generate_fingerprints(PyObject* self, PyObject*) {
    py::Ref options = py::attr(self, "_CertificateValidator__kwargs");
    py::Ref result_path = py::attr(self, attr::kResultPath);
    py::Ref manager_cls = py::import_attr("mavelin.core.file_managing", "FileManager");
    if (!options || !result_path || !manager_cls) return nullptr;
    py::Ref chunk = py::Ref::steal(PyObject_CallMethod(options.get(), "get", "s", "chunk_size"));
    py::Ref step =
        py::Ref::steal(PyObject_CallMethod(options.get(), "get", "s", "transformation_step"));
    if (!chunk || !step) return nullptr;
    py::Ref manager = py::Ref::steal(PyObject_CallFunctionObjArgs(
        manager_cls.get(), result_path.get(), chunk.get(), step.get(), nullptr));
    if (!manager) return nullptr;
    py::Ref count;
    if (log_lines::scan(manager.get(), logger(), count, false) < 0) return nullptr;
    py::Ref uncertified = py::attr(manager.get(), attr::kUncertifiedFolders);
    py::Ref links = log_lines::uncertified_links_of(manager.get());
    py::Ref folder_errors = py::attr(manager.get(), attr::kScanErrors);
    if (!uncertified || !links || !folder_errors ||
        PyObject_SetAttrString(self, attr::kUncertifiedFolders, uncertified.get()) < 0 ||
        PyObject_SetAttrString(self, attr::kUncertifiedLinks, links.get()) < 0 ||
        PyObject_SetAttrString(self, attr::kUnreadableFolders, folder_errors.get()) < 0)
        return nullptr;
    // Files that cannot be read are reported one by one instead of voiding the whole pass.
    if (passes::fingerprint_table(manager.get(), false) < 0) return nullptr;
    py::Ref errors = py::attr(manager.get(), attr::kFingerprintErrors);
    py::Ref nodes = py::attr(manager.get(), attr::kFileNodes);
    py::Ref bytes = py::attr(manager.get(), attr::kFingerprintedBytes);
    if (!errors || !nodes || !bytes ||
        PyObject_SetAttrString(self, attr::kFingerprintedBytes, bytes.get()) < 0 ||
        PyObject_SetAttrString(self, attr::kUnreadableFiles, errors.get()) < 0 ||
        PyObject_SetAttrString(self, attr::kResultNodes, nodes.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// validate_nodes(match="path"): pairs the records by path ("path") or entry by entry in table
// order ("position"); logs every finding and returns the number of files that failed.
PyObject* validate_nodes(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"match", nullptr};
    const char* match = "path";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s:validate_nodes", const_cast<char**>(kwlist),
                                     &match))
        return nullptr;
    const bool by_path = std::strcmp(match, "path") == 0;
    if (!by_path && std::strcmp(match, "position") != 0) {
        PyErr_Format(PyExc_ValueError, "match must be 'path' or 'position', not '%s'", match);
        return nullptr;
    }
    py::Ref certificate_table = py::attr(self, "_CertificateValidator__certificate_fingerprints");
    if (!certificate_table) return nullptr;
    py::Ref fresh_table = py::attr(self, attr::kResultNodes);
    if (!fresh_table) return nullptr;
    // What the fresh pass could not read, as generate_fingerprints() (or a caller) left it.
    py::Ref file_errors = py::Ref::steal(PyObject_GetAttrString(self, attr::kUnreadableFiles));
    if (!file_errors) PyErr_Clear();
    py::Ref folder_errors = py::Ref::steal(PyObject_GetAttrString(self, attr::kUnreadableFolders));
    if (!folder_errors) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    node_comparison::Findings findings(self, logger(), file_errors.get(), folder_errors.get());
    if (findings.start() < 0) return nullptr;
    const long long folders = findings.unreadable_folders();
    if (folders < 0) return nullptr;
    const long long failed =
        by_path
            ? node_comparison::by_path(certificate_table.get(), fresh_table.get(), findings)
            : node_comparison::by_position(certificate_table.get(), fresh_table.get(), findings);
    return failed < 0 ? nullptr : PyLong_FromLongLong(folders + failed);
}

PyMethodDef kMethods[] = {
    py::method<validator_init>(
        "__init__", METH_VARARGS | METH_KEYWORDS,
        "__init__($self, certificate_path, result_path, **kwargs)\n--\n\n"
        "Prepares the validation of the folder result_path against the certificate at\n"
        "certificate_path; kwargs (chunk_size, transformation_step) are the fingerprint options."),
    py::method<light_certificate_search>(
        "light_certificate_search", METH_NOARGS,
        "light_certificate_search($self, /)\n--\n\n"
        "Looks for the certificate in the folder and in its Certificates folder; True when\n"
        "found (the path is kept as the certificate path)."),
    py::method<deep_certificate_search>(
        "deep_certificate_search", METH_NOARGS,
        "deep_certificate_search($self, /)\n--\n\n"
        "Looks for the certificate anywhere below the folder; True when found."),
    py::method<deserealize_certificate>(
        "deserealize_certificate", METH_NOARGS,
        "deserealize_certificate($self, /)\n--\n\n"
        "Loads the certificate's node table; a damaged certificate ends the run."),
    py::method<generate_fingerprints>(
        "generate_fingerprints", METH_NOARGS,
        "generate_fingerprints($self, /)\n--\n\n"
        "Scans and fingerprints the folder again, with the chunking options given."),
    py::method<validate_nodes>(
        "validate_nodes", METH_VARARGS | METH_KEYWORDS,
        "validate_nodes($self, /, match='path')\n--\n\n"
        "Compares the two node tables, pairing the records by path (match='path') or entry\n"
        "by entry in table order (match='position'); logs every difference, records it in\n"
        "_findings, and returns the number of files that failed."),
};

constexpr const char kClassDoc[] =
    "Validates a folder against its certificate: search, load, fingerprint, compare.";

}  // namespace

int init_validation(PyObject* m) {
    py::State& st = py::state();
    if (py::import_modules(m, {"os", "sys", "logging"}) < 0 ||
        py::import_modules_lazily(m, {"pickle", "zipfile"}) < 0 ||
        py::import_names(m, "mavelin.core.file_managing", {"FileManager"}) < 0)
        return -1;
    py::Ref logger = py::get_logger("mavelin.core.validation");
    if (!logger || py::set_attr(m, "logger", logger.get()) < 0) return -1;
    st.validation_logger = logger;
    if (!st.validator_class) {
        st.validator_class = py::make_class("mavelin.core.validation", "CertificateValidator",
                                            kMethods, std::size(kMethods), kClassDoc);
        if (!st.validator_class) return -1;
    }
    return py::set_attr(m, "CertificateValidator", st.validator_class.get());
}

}  // namespace mavelin::core
