// mavelin.api: sign and validate, the library functions beside the procedures. They run the
// procedures' work with the same options and log records, return a mavelin.results.Result, raise
// mavelin.errors for runs that cannot reach a verdict, and log only through handlers their
// caller configured.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/library_call.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/mavelin/results.h"
#include "python/mavelin/utils/runs.h"
#include "python/package_tree.h"

namespace mavelin {
namespace {

using procedures::Call;

constexpr const char kSignDoc[] =
    "sign(dir, *, report=None, jobs=None, output=None, progress=False, scheduler=None, "
    "client=None, key=None, update=False, certificate=None, keep_cache=False, direct=False)\n--\n\n"
    "Signs the folder `dir`: writes its certificate (Certificates/Certificate.korvex inside it,\n"
    "or `output`) and returns a mavelin.results.Result. A file that cannot be read gives\n"
    "passed=False with its finding, and no certificate.\n\n"
    "The options are those of sign_folder; with `key` the certificate is signed and\n"
    "result.signature says by which key. Raises mavelin.errors.Error (ArgumentRefused,\n"
    "TreeUnreadable, NoFiles, WriteFailed: also when the key could not sign) when the run\n"
    "cannot finish; logs through the `mavelin` loggers only when logging is configured.";

constexpr const char kValidateDoc[] =
    "validate(dir, certificate=None, *, match='path', summary=False, report=None, jobs=None, "
    "progress=False, scheduler=None, client=None, allowed_signers=None, identity=None, "
    "check_metadata=False, keep_cache=False, direct=False)\n--\n\n"
    "Validates the folder `dir` against its certificate (None: searched for inside `dir`) and\n"
    "returns a mavelin.results.Result; result.passed is the verdict and result.findings the\n"
    "differences.\n\n"
    "The options are those of validate_certificate; result.signature is the certificate's\n"
    "signature (None: unsigned). Raises mavelin.errors.Error (ArgumentRefused,\n"
    "CertificateNotFound, CertificateCorrupted, TreeUnreadable, WriteFailed, SignatureRefused)\n"
    "when the run cannot reach a verdict; logs through the `mavelin` loggers only when logging\n"
    "is configured.";

// Raises `failure` from the exception being raised. -1.
int raise_from_current(py::Failure failure) {
    py::FetchedError error = py::fetch_error();
    py::Ref exc = py::library_error(failure, error.value.get());
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return -1;
}

// The exception a run raised, as the library tells it: the package's own pass, an OSError is a
// refused argument, an unreadable tree or a failed write by how far the run got, a KeyError or
// BadZipFile while reading is a corrupted certificate; anything else (TypeError, MemoryError,
// KeyboardInterrupt) passes unchanged.
PyObject* translate(py::Phase phase) {
    PyObject* error = py::state().error_classes[static_cast<size_t>(py::Failure::kError)].get();
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(error)) return nullptr;
    if (PyErr_ExceptionMatches(PyExc_OSError)) {
        raise_from_current(phase == py::Phase::kArguments ? py::Failure::kArgumentRefused
                           : phase == py::Phase::kWork    ? py::Failure::kTreeUnreadable
                                                          : py::Failure::kWriteFailed);
        return nullptr;
    }
    if (phase == py::Phase::kArguments && PyErr_ExceptionMatches(PyExc_ValueError)) {
        raise_from_current(py::Failure::kArgumentRefused);
        return nullptr;
    }
    if (phase == py::Phase::kWork) {
        py::FetchedError fetched = py::fetch_error();
        py::Ref bad_zip = py::import_attr("zipfile", "BadZipFile");
        if (!bad_zip) return nullptr;
        const bool corrupted = PyErr_GivenExceptionMatches(fetched.type.get(), PyExc_KeyError) ||
                               PyErr_GivenExceptionMatches(fetched.type.get(), bad_zip.get());
        fetched.restore();
        if (corrupted) raise_from_current(py::Failure::kCertificateCorrupted);
    }
    return nullptr;
}

// The folder must exist and be one; a certificate named for validation must exist (update=True
// signs every file again without it, as sign_folder does). -1 with ArgumentRefused or
// CertificateNotFound set.
int check_paths(Call call, const procedures::RunOptions& o) {
    std::string path;
    struct stat st;
    if (py::encode_path(o.dir_path, path) < 0) return -1;
    const int err = ::stat(path.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (err != 0) {
        py::set_os_error(err, path);
        return raise_from_current(py::Failure::kArgumentRefused);
    }
    const bool named =
        call == Call::kValidate && o.certificate != Py_None && PyObject_IsTrue(o.certificate) == 1;
    if (!named) return PyErr_Occurred() ? -1 : 0;
    if (py::encode_path(o.certificate, path) < 0) return -1;
    if (::stat(path.c_str(), &st) == 0) return 0;
    const int stat_err = errno;
    py::set_os_error(stat_err, path);
    return raise_from_current(stat_err == ENOENT ? py::Failure::kCertificateNotFound
                                                 : py::Failure::kTreeUnreadable);
}

PyObject* run(Call call, PyObject* args, PyObject* kwargs) {
    py::LibraryCall mark;
    procedures::RunOptions options;
    if (procedures::parse(call, args, kwargs, options) < 0) return translate(mark.phase);
    if (check_paths(call, options) < 0) return nullptr;
    run_report::Facts facts;
    const int r = call == Call::kSign ? procedures::sign_run(options, &facts)
                                      : procedures::validate_run(options, &facts);
    if (r < 0) return translate(mark.phase);
    return results::result(facts).release();
}

PyObject* sign(PyObject*, PyObject* args, PyObject* kwargs) {
    return run(Call::kSign, args, kwargs);
}

PyObject* validate(PyObject*, PyObject* args, PyObject* kwargs) {
    return run(Call::kValidate, args, kwargs);
}

PyMethodDef kMethods[] = {
    py::method<sign>("sign", METH_VARARGS | METH_KEYWORDS, kSignDoc),
    py::method<validate>("validate", METH_VARARGS | METH_KEYWORDS, kValidateDoc),
};

}  // namespace

int init_api(PyObject* m) {
    for (PyMethodDef& def : kMethods)
        if (py::add_function(m, &def) < 0) return -1;
    py::Ref all = py::Ref::steal(Py_BuildValue("[ss]", "sign", "validate"));
    return all ? py::set_attr(m, "__all__", all.get()) : -1;
}

}  // namespace mavelin
