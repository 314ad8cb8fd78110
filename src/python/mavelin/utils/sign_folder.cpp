// mavelin.utils.sign_folder: the signing procedure.
#include "engine/certificate_format.h"
#include "python/capi/common.h"
#include "python/capi/entry.h"
#include "python/capi/state.h"
#include "python/certificate/writer.h"
#include "python/mavelin/core/file_managing.h"
#include "python/mavelin/core/passes/cluster_pass.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/mavelin/utils/run_report.h"
#include "python/package_tree.h"

namespace mavelin::modules {
namespace {

constexpr const char kDoc[] =
    "sign_folder(dir_path, mode='default', *, report=None, jobs=None, output=None, "
    "progress=False, scheduler=None, client=None)\n--\n\n"
    "Interface to certify the folder with a KORVEX certificate that can be used to ensure\n"
    "authenticity.\n\n"
    "dir_path: the directory to be signed.\n"
    "mode: the mode in which to run the certification (\"silent\" writes no INFO lines).\n"
    "report: a path to write a JSON report of the run to ('-': standard output).\n"
    "jobs: hashing threads (None: one per processor); the certificate is the same.\n"
    "output: where to write the certificate (None: Certificates/Certificate.korvex inside\n"
    "    dir_path); replaced atomically either way.\n"
    "progress: show a progress line on standard error while hashing, when it is a terminal\n"
    "    and the mode is not \"silent\".\n"
    "scheduler: the address of a Dask scheduler to hash on ('auto': DASK_SCHEDULER_ADDRESS);\n"
    "    client: a distributed.Client to hash through instead. jobs is then threads per worker.";

PyObject* logger() {
    return py::state().sign_logger.get();
}

int call(PyObject* manager, const char* method) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(manager, method, nullptr));
    return r ? 0 : -1;
}

int info(bool silent, const char* message) {
    return silent ? 0 : py::log(logger(), "info", message);
}

// After the certificate was replaced: a KeyboardInterrupt is dropped (0), any other error
// stays (-1).
int settled() {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return -1;
    PyErr_Clear();
    return 0;
}

// One ERROR line per file that could not be read, each also added to `findings` as
// ("unreadable", path, None); true when there was any.
int report_unreadable(PyObject* manager, PyObject* findings, bool& any) {
    py::Ref errors = py::Ref::steal(PyObject_GetAttrString(manager, "_fingerprint_errors"));
    if (!errors) {
        PyErr_Clear();
        return 0;
    }
    py::Ref seq = py::Ref::steal(PySequence_Fast(errors.get(), "errors must be a sequence"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject *path, *exc;
        if (!PyArg_ParseTuple(pair, "OO", &path, &exc)) return -1;
        py::Ref message = procedures::unreadable_message(path, exc);
        if (!message || py::log(logger(), "error", message.get()) < 0) return -1;
        py::Ref finding = py::Ref::steal(Py_BuildValue("(sOO)", "unreadable", path, Py_None));
        if (!finding || PyList_Append(findings, finding.get()) < 0) return -1;
        any = true;
    }
    return 0;
}

// The JSON report of a signing run that got as far as fingerprinting.
int write_report(PyObject* destination, PyObject* dir_path, PyObject* manager, bool passed,
                 PyObject* start, PyObject* findings) {
    py::Ref certificate;
    if (passed) {
        py::Ref folder = py::Ref::steal(PyObject_GetAttrString(manager, "_cert_folder_path"));
        py::Ref join = py::import_attr("os.path", "join");
        if (!folder || !join) return -1;
        certificate = py::Ref::steal(
            PyObject_CallFunction(join.get(), "Os", folder.get(), "Certificate.korvex"));
        if (!certificate) return -1;
    }
    py::Ref files = py::Ref::steal(PyObject_GetAttrString(manager, "files_count"));
    py::Ref bytes = py::Ref::steal(PyObject_GetAttrString(manager, "_fingerprinted_bytes"));
    py::Ref uncertified = py::Ref::steal(PyObject_GetAttrString(manager, "_uncertified_folders"));
    py::Ref failed = py::Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(findings)));
    py::Ref end = procedures::now();
    if (!files || !bytes || !uncertified || !failed || !end) return -1;
    run_report::Facts facts{"sign_folder", dir_path,     certificate.get(), nullptr,
                            passed,        files.get(),  bytes.get(),       start,
                            end.get(),     failed.get(), findings,          uncertified.get()};
    return run_report::write(destination, facts);
}

PyObject* sign_folder(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"dir_path", "mode",      "report", "jobs", "output",
                                   "progress", "scheduler", "client", nullptr};
    PyObject* dir_path;
    PyObject* mode = nullptr;
    PyObject* report = Py_None;
    PyObject* jobs = Py_None;
    PyObject* output = Py_None;
    int progress = 0;
    PyObject* scheduler = Py_None;
    PyObject* client = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOpOO:sign_folder",
                                     const_cast<char**>(kwlist), &dir_path, &mode, &report, &jobs,
                                     &output, &progress, &scheduler, &client))
        return nullptr;
    file_managing::PassSettings settings;
    if (procedures::parse_jobs(jobs, settings.threads) < 0) return nullptr;
    py::Ref default_mode = py::Ref::steal(PyUnicode_FromString("default"));
    if (!default_mode) return nullptr;
    if (!mode) mode = default_mode.get();

    // The run builds large acyclic tables; the collector would only walk them again and
    // again. It runs as usual once they are gone.
    py::GcPause gc_pause;
    py::Ref start = procedures::now();
    if (!start) return nullptr;
    py::Ref silent_text = py::Ref::steal(PyUnicode_FromString("silent"));
    if (!silent_text) return nullptr;
    int silent = PyObject_RichCompareBool(mode, silent_text.get(), Py_EQ);
    if (silent < 0) return nullptr;
    settings.progress = progress && !silent;
    cluster::Session session;
    if (session.open(scheduler, client, logger()) < 0) return nullptr;
    settings.cluster = session.pair();
    file_managing::PassSettingsScope settings_scope(settings);

    if (!silent &&
        procedures::log_with(logger(), "info",
                             "Initializing sigsnature creation process. Mode: ", mode, "") < 0)
        return nullptr;
    py::Ref manager_cls = py::import_attr("mavelin.core.file_managing", "FileManager");
    if (!manager_cls) return nullptr;
    py::Ref manager = py::Ref::steal(PyObject_CallFunction(manager_cls.get(), "Oii", dir_path,
                                                           certificate_format::kProcedureChunkSize,
                                                           certificate_format::kProcedureStep));
    if (!manager) return nullptr;
    if (!silent &&
        procedures::log_with(logger(), "info", "Parsing directory ", dir_path, "...") < 0)
        return nullptr;
    py::Ref count;
    // A folder left out would pass validation whatever it holds: no certificate then.
    if (procedures::scan(manager.get(), logger(), count, true) < 0) return nullptr;
    if (!silent) {
        py::Ref message = py::Ref::steal(PyUnicode_FromFormat("Files found: %S", count.get()));
        if (!message || py::log(logger(), "info", message.get()) < 0) return nullptr;
    }
    if (info(silent, "Generating fingerprints...") < 0) return nullptr;
    if (call(manager.get(), "_generate_fingerprints") < 0) return nullptr;
    bool unreadable = false;
    py::Ref findings = py::Ref::steal(PyList_New(0));
    if (!findings || report_unreadable(manager.get(), findings.get(), unreadable) < 0)
        return nullptr;
    if (unreadable) {
        if (report != Py_None &&
            write_report(report, dir_path, manager.get(), false, start.get(), findings.get()) < 0)
            return nullptr;
        return py::exit_request();
    }

    if (info(silent, "Saving certificate...") < 0) return nullptr;
    if (certificate_writer::write(manager.get(), output == Py_None ? nullptr : output) < 0)
        return nullptr;
    // The new certificate is in place: an interrupt from here on no longer fails the run.
    if (report != Py_None &&
        write_report(report, dir_path, manager.get(), true, start.get(), findings.get()) < 0 &&
        settled() < 0)
        return nullptr;
    py::Ref end = procedures::now();
    if (!end && settled() < 0) return nullptr;
    if (end && !silent && procedures::log_elapsed(logger(), start.get(), end.get()) < 0 &&
        settled() < 0)
        return nullptr;
    if (info(silent, "Certificate generated successfully!") < 0 && settled() < 0) return nullptr;
    if (PyErr_CheckSignals() < 0 && settled() < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kDef = py::method<sign_folder>("sign_folder", METH_VARARGS | METH_KEYWORDS, kDoc);

}  // namespace

int init_sign_folder(PyObject* m) {
    if (py::import_names(m, "mavelin.core.file_managing", {"FileManager"}) < 0) return -1;
    return procedures::init_procedure_module(m, py::state().sign_logger, &kDef);
}

}  // namespace mavelin::modules
