// mavelin.errors: the exceptions of the library functions, for runs that cannot reach a verdict.
#include <array>

#include "python/capi/import.h"
#include "python/capi/library_call.h"
#include "python/capi/state.h"
#include "python/package_tree.h"

namespace mavelin {
namespace {

struct ErrorClass {
    py::Failure failure;
    const char* name;  // qualified by the module
    const char* doc;
};

// Parents before children: each names mavelin.errors.Error and at most one builtin as bases.
constexpr std::array<ErrorClass, 7> kClasses = {{
    {py::Failure::kError, "mavelin.errors.Error",
     "A run of mavelin.sign or mavelin.validate that could not reach its verdict."},
    {py::Failure::kArgumentRefused, "mavelin.errors.ArgumentRefused",
     "An argument was refused before any work: a folder that does not exist, a jobs count "
     "below 1, a report or output that cannot be written or would replace the certificate. "
     "The refusal's OSError, if any, is the __cause__."},
    {py::Failure::kCertificateNotFound, "mavelin.errors.CertificateNotFound",
     "No certificate was found in the folder, or the one named does not exist."},
    {py::Failure::kCertificateCorrupted, "mavelin.errors.CertificateCorrupted",
     "The certificate is not an archive holding a node table: damaged, or something else."},
    {py::Failure::kTreeUnreadable, "mavelin.errors.TreeUnreadable",
     "A folder or file that the run had to read could not be read (errno and filename say "
     "which and why); when signing, a folder of the tree, so that no certificate was written."},
    {py::Failure::kNoFiles, "mavelin.errors.NoFiles", "The folder holds no file to sign."},
    {py::Failure::kWriteFailed, "mavelin.errors.WriteFailed",
     "The certificate or the report could not be written (errno and filename say which and "
     "why); a certificate that was there before is left as it was."},
}};

// The builtin base each class has besides Error.
PyObject* builtin_base(py::Failure failure) {
    switch (failure) {
        case py::Failure::kError:
            return PyExc_Exception;
        case py::Failure::kArgumentRefused:
            return PyExc_ValueError;
        case py::Failure::kCertificateNotFound:
            return PyExc_FileNotFoundError;
        case py::Failure::kTreeUnreadable:
        case py::Failure::kWriteFailed:
            return PyExc_OSError;
        default:
            return nullptr;
    }
}

// Makes the classes once per process: code that caught one keeps catching it after a reload.
int make_classes() {
    py::Ref* classes = py::state().error_classes;
    for (const ErrorClass& c : kClasses) {
        py::Ref& slot = classes[static_cast<size_t>(c.failure)];
        if (slot) continue;
        PyObject* base = builtin_base(c.failure);
        PyObject* error = classes[static_cast<size_t>(py::Failure::kError)].get();
        py::Ref bases = py::Ref::steal(c.failure == py::Failure::kError ? PyTuple_Pack(1, base)
                                       : base ? PyTuple_Pack(2, error, base)
                                              : PyTuple_Pack(1, error));
        if (!bases) return -1;
        slot = py::Ref::steal(PyErr_NewExceptionWithDoc(c.name, c.doc, bases.get(), nullptr));
        if (!slot) return -1;
    }
    return 0;
}

}  // namespace

int init_errors(PyObject* m) {
    if (make_classes() < 0) return -1;
    py::Ref all = py::Ref::steal(PyList_New(0));
    if (!all) return -1;
    for (const ErrorClass& c : kClasses) {
        const char* name = package_tree::last_name(c.name);
        py::Ref text = py::Ref::steal(PyUnicode_FromString(name));
        if (!text || PyList_Append(all.get(), text.get()) < 0 ||
            py::set_attr(m, name, py::state().error_classes[static_cast<size_t>(c.failure)].get()) <
                0)
            return -1;
    }
    return py::set_attr(m, "__all__", all.get());
}

}  // namespace mavelin
