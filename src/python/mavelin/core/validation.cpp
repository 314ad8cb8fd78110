// mavelin.core.validation: CertificateValidator, locating, loading and comparing a certificate.
#include <cstring>
#include <iterator>
#include <string>

#include "engine/fs/tree_walk.h"
#include "python/capi/common.h"
#include "python/certificate/reader.h"
#include "python/mavelin/core/file_managing.h"
#include "python/mavelin/core/node_comparison.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/package_tree.h"

namespace mavelin::modules {
namespace {

constexpr const char kArchiveName[] = "Certificate.korvex";
constexpr const char kFolderName[] = "Certificates";

PyObject* g_class = nullptr;
PyObject* g_logger = nullptr;

py::Ref attr(PyObject* o, const char* name) {
    return py::Ref::steal(PyObject_GetAttrString(o, name));
}

py::Ref join(PyObject* a, const char* b) {
    py::Ref fn = py::import_attr("posixpath", "join");
    if (!fn) return {};
    return py::Ref::steal(PyObject_CallFunction(fn.get(), "Os", a, b));
}

int found(PyObject* self, PyObject* path) {
    if (PyObject_SetAttrString(self, "_certificate_path", path) < 0) return -1;
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    if (!text) return -1;
    return procedures::log_with(g_logger, "info", "Certificate file has been found at ", text.get(),
                                "");
}

// Whether os.listdir(folder) holds `name`; -1 with the listing's exception.
int listing_holds(PyObject* folder, const char* name) {
    py::Ref listdir = py::import_attr("os", "listdir");
    if (!listdir) return -1;
    py::Ref names = py::Ref::steal(PyObject_CallOneArg(listdir.get(), folder));
    if (!names) return -1;
    py::Ref wanted = PyBytes_Check(folder) ? py::Ref::steal(PyBytes_FromString(name))
                                           : py::Ref::steal(PyUnicode_FromString(name));
    if (!wanted) return -1;
    return PySequence_Contains(names.get(), wanted.get());
}

PyObject* validator_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"self", "certificate_path", "result_path", nullptr};
    PyObject *self, *certificate_path, *result_path;
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
    if (!PyArg_ParseTupleAndKeywords(args, named.get(), "OOO:CertificateValidator",
                                     const_cast<char**>(kwlist), &self, &certificate_path,
                                     &result_path))
        return nullptr;
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero || PyObject_SetAttrString(self, "_certificate_path", certificate_path) < 0 ||
        PyObject_SetAttrString(self, "_result_path", result_path) < 0 ||
        PyObject_SetAttrString(self, "invalid_counter", zero.get()) < 0 ||
        PyObject_SetAttrString(self, "_CertificateValidator__kwargs", options.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* light_certificate_search(PyObject* self, PyObject*) {
    py::Ref result_path = attr(self, "_result_path");
    if (!result_path) return nullptr;
    int here = listing_holds(result_path.get(), kArchiveName);
    if (here < 0) return nullptr;
    if (here) {
        py::Ref path = join(result_path.get(), kArchiveName);
        if (!path || found(self, path.get()) < 0) return nullptr;
        Py_RETURN_TRUE;
    }
    int folder = listing_holds(result_path.get(), kFolderName);
    if (folder < 0) return nullptr;
    if (folder) {
        py::Ref cert_folder = join(result_path.get(), kFolderName);
        if (!cert_folder) return nullptr;
        int inside = listing_holds(cert_folder.get(), kArchiveName);
        if (inside < 0) return nullptr;
        if (inside) {
            py::Ref path = join(cert_folder.get(), kArchiveName);
            if (!path || found(self, path.get()) < 0) return nullptr;
            Py_RETURN_TRUE;
        }
    }
    if (py::log(g_logger, "warning", "Certificate file not found.") < 0) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* deep_certificate_search(PyObject* self, PyObject*) {
    if (py::log(g_logger, "info", "Performing deeper search...") < 0) return nullptr;
    py::Ref result_path = attr(self, "_result_path");
    if (!result_path) return nullptr;
    std::string top;
    if (py::encode_path(result_path.get(), top) < 0) return nullptr;
    bool hit = false;
    std::string rel;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        fs::TreeWalker walker(top);
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
    } catch (...) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    if (!hit) Py_RETURN_FALSE;
    py::Ref folder = result_path;
    if (!rel.empty()) {
        py::Ref rel_text = py::decode_path(rel);
        py::Ref fn = py::import_attr("posixpath", "join");
        if (!rel_text || !fn) return nullptr;
        folder = py::Ref::steal(
            PyObject_CallFunctionObjArgs(fn.get(), result_path.get(), rel_text.get(), nullptr));
        if (!folder) return nullptr;
    }
    py::Ref path = join(folder.get(), kArchiveName);
    if (!path || found(self, path.get()) < 0) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* deserealize_certificate(PyObject* self, PyObject*) {
    py::Ref certificate_path = attr(self, "_certificate_path");
    if (!certificate_path) return nullptr;
    py::Ref table;
    switch (certificate_reader::load(certificate_path.get(), table)) {
        case certificate_reader::Result::kOk:
            break;
        case certificate_reader::Result::kError:
            return nullptr;
        case certificate_reader::Result::kCorrupted:
            if (py::log(g_logger, "error", "Certificate file is corrupted") < 0) return nullptr;
            return py::exit_request();
    }
    if (PyObject_SetAttrString(self, "_CertificateValidator__certificate_fingerprints",
                               table.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* generate_fingerprints(PyObject* self, PyObject*) {
    py::Ref options = attr(self, "_CertificateValidator__kwargs");
    py::Ref result_path = attr(self, "_result_path");
    py::Ref manager_cls = py::import_attr("mavelin.core.file_managing", "FileManager");
    if (!options || !result_path || !manager_cls) return nullptr;
    py::Ref chunk = py::Ref::steal(PyObject_CallMethod(options.get(), "get", "s", "chunk_size"));
    py::Ref step =
        py::Ref::steal(PyObject_CallMethod(options.get(), "get", "s", "transformation_step"));
    if (!chunk || !step) return nullptr;
    py::Ref manager = py::Ref::steal(PyObject_CallFunctionObjArgs(
        manager_cls.get(), result_path.get(), chunk.get(), step.get(), nullptr));
    if (!manager) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_CallMethod(manager.get(), "_parse_directory", nullptr));
    if (!r) return nullptr;
    py::Ref count = attr(manager.get(), "files_count");
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!count || !zero) return nullptr;
    int empty = PyObject_RichCompareBool(count.get(), zero.get(), Py_EQ);
    if (empty < 0) return nullptr;
    if (empty) {
        if (py::log(g_logger, "error", "No files were found.") < 0) return nullptr;
        return py::exit_request();
    }
    // Files that cannot be read are reported one by one instead of voiding the whole pass.
    if (file_managing::fingerprint_table(manager.get(), false) < 0) return nullptr;
    py::Ref errors = attr(manager.get(), "_fingerprint_errors");
    py::Ref nodes = attr(manager.get(), "_file_nodes");
    if (!errors || !nodes || PyObject_SetAttrString(self, "_unreadable_files", errors.get()) < 0 ||
        PyObject_SetAttrString(self, "_result_nodes", nodes.get()) < 0)
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
    py::Ref certificate_table = attr(self, "_CertificateValidator__certificate_fingerprints");
    if (!certificate_table) return nullptr;
    py::Ref fresh_table = attr(self, "_result_nodes");
    if (!fresh_table) return nullptr;
    node_comparison::Findings findings(self, g_logger);
    if (findings.start() < 0) return nullptr;
    const long long failed =
        by_path
            ? node_comparison::by_path(certificate_table.get(), fresh_table.get(), findings)
            : node_comparison::by_position(certificate_table.get(), fresh_table.get(), findings);
    return failed < 0 ? nullptr : PyLong_FromLongLong(failed);
}

PyMethodDef kMethods[] = {
    {"light_certificate_search", light_certificate_search, METH_NOARGS, nullptr},
    {"deep_certificate_search", deep_certificate_search, METH_NOARGS, nullptr},
    {"deserealize_certificate", deserealize_certificate, METH_NOARGS, nullptr},
    {"generate_fingerprints", generate_fingerprints, METH_NOARGS, nullptr},
    {"validate_nodes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(validate_nodes)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
};

PyMethodDef kInitDef = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(validator_init)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

int init_validation(PyObject* m) {
    for (const char* name : {"os", "sys", "pickle", "zipfile", "logging"}) {
        py::Ref mod = py::import(name);
        if (!mod || py::set_attr(m, name, mod.get()) < 0) return -1;
    }
    py::Ref manager_cls = py::import_attr("mavelin.core.file_managing", "FileManager");
    if (!manager_cls || py::set_attr(m, "FileManager", manager_cls.get()) < 0) return -1;
    py::Ref logger = py::get_logger("mavelin.core.validation");
    if (!logger || py::set_attr(m, "logger", logger.get()) < 0) return -1;
    Py_XSETREF(g_logger, logger.release());
    if (!g_class) {
        py::Ref cls = py::make_class("mavelin.core.validation", "CertificateValidator", &kInitDef,
                                     kMethods, std::size(kMethods));
        if (!cls) return -1;
        g_class = cls.release();
    }
    return py::set_attr(m, "CertificateValidator", g_class);
}

}  // namespace mavelin::modules
