// mavelin.utils.validate_certificate: the validation procedure.
#include <array>
#include <cstring>

#include "engine/certificate_format.h"
#include "python/capi/attribute_names.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/gc.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/state.h"
#include "python/mavelin/core/compact_validation.h"
#include "python/mavelin/core/log_lines.h"
#include "python/mavelin/core/passes/cluster_pass.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"
#include "python/mavelin/core/passes/tree_pass.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/mavelin/utils/run_files.h"
#include "python/mavelin/utils/run_report.h"
#include "python/package_tree.h"

namespace mavelin::modules {
namespace {

constexpr const char kDoc[] =
    "validate_certificate(dir_path, certificate_file, *, match='path', summary=False, "
    "report=None, jobs=None, progress=False, scheduler=None, client=None, "
    "check_metadata=False)\n--\n\n"
    "Interface to ensure the authenticity of the given folder against a KORVEX certificate\n"
    "file. Without a certificate path the algorithm searches for the certificate inside the\n"
    "given directory.\n\n"
    "match: 'path' pairs every certified file with the file of the same path; 'position'\n"
    "pairs the two tables entry by entry in their order.\n"
    "summary: also log the number of findings of each kind.\n"
    "report: a path to write a JSON report of the run to ('-': standard output).\n"
    "jobs: hashing threads (None: one per processor).\n"
    "progress: show a progress line on standard error while hashing, when it is a terminal.\n"
    "scheduler: the address of a Dask scheduler to hash on ('auto': DASK_SCHEDULER_ADDRESS);\n"
    "    client: a distributed.Client to hash through instead. jobs is then threads per worker.\n"
    "check_metadata: also report each file whose permission bits, owner, group or link target\n"
    "    differ from the certificate's file metadata (findings of kind 'metadata', which do not\n"
    "    fail the validation); by path only.";

PyObject* logger() {
    return py::state().validate_logger.get();
}

// None or an empty text (str or bytes) means: no certificate was named.
bool is_empty(PyObject* value) {
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) return PyUnicode_GET_LENGTH(value) == 0;
    if (PyBytes_Check(value)) return PyBytes_GET_SIZE(value) == 0;
    return false;
}

// Calls a search; 1 found, 0 not found, -1 error.
int search(PyObject* validator, const char* method) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(validator, method, nullptr));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// One INFO line with the number of findings of each kind.
int log_summary(PyObject* findings, bool by_position, bool check_metadata) {
    std::array<long long, run_report::kKinds.size()> counts{};
    if (run_report::count_kinds(findings, counts) < 0) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat(
        "Findings: %lld modified, %lld missing, %lld new, %lld moved, %lld unreadable, "
        "%lld not authentic",
        counts[0], counts[1], counts[2], counts[3], counts[4], counts[5]));
    if (message && by_position) {
        py::Ref tail = py::Ref::steal(PyUnicode_FromFormat(", %lld out of order", counts[6]));
        if (!tail) return -1;
        message = py::Ref::steal(PyUnicode_Concat(message.get(), tail.get()));
    }
    if (message && check_metadata) {
        py::Ref tail = py::Ref::steal(PyUnicode_FromFormat(", %lld metadata", counts[7]));
        if (!tail) return -1;
        message = py::Ref::steal(PyUnicode_Concat(message.get(), tail.get()));
    }
    return message ? py::log(logger(), "info", message.get()) : -1;
}

// validator.<name>, or 0 when the validator has no such attribute.
py::Ref attr_or_zero(PyObject* validator, const char* name) {
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(validator, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return py::Ref::steal(PyLong_FromLong(0));
}

// What the validator's steps left on it for the report, read when the report is written.
int report_facts_of_steps(PyObject* validator, validation::Outcome& out) {
    out.bytes = py::attr(validator, attr::kFingerprintedBytes);
    out.uncertified = out.bytes ? py::attr(validator, attr::kUncertifiedFolders) : py::Ref();
    out.links = out.uncertified ? log_lines::uncertified_links_of(validator) : py::Ref();
    out.unchecked = out.links ? attr_or_zero(validator, attr::kUncheckedFiles) : py::Ref();
    return out.unchecked ? 0 : -1;
}

int write_report(PyObject* destination, PyObject* dir_path, PyObject* validator, const char* match,
                 bool passed, PyObject* start, validation::Outcome& out) {
    if (!out.bytes && report_facts_of_steps(validator, out) < 0) return -1;
    py::Ref certificate = py::attr(validator, attr::kCertificatePath);
    py::Ref end = procedures::now();
    if (!certificate || !end) return -1;
    run_report::Facts facts{"validate_certificate",
                            dir_path,
                            certificate.get(),
                            match,
                            passed,
                            out.files.get(),
                            out.bytes.get(),
                            start,
                            end.get(),
                            out.failed.get(),
                            out.findings.get(),
                            out.uncertified.get(),
                            out.links.get(),
                            out.unchecked.get()};
    return run_report::write(destination, facts);
}

// The certificate in use and the report, once the certificate is known: the report may not
// replace it, and neither is a file of the tree (`skipped`). 0, or -1 with an exception set.
int own_files(PyObject* dir_path, PyObject* validator, PyObject* report,
              fs::SkippedFiles& skipped) {
    py::Ref certificate = py::attr(validator, attr::kCertificatePath);
    if (!certificate) return -1;
    if (report != Py_None && !procedures::is_dash(report) &&
        (run_files::check_report_place(report, dir_path, certificate.get()) < 0 ||
         run_files::add_skipped(dir_path, report, false, skipped) < 0))
        return -1;
    return run_files::add_skipped(dir_path, certificate.get(), true, skipped);
}

// Loads, fingerprints and compares once the certificate is known, into `out`. By path, on compact
// tables when the route rule says so; otherwise (by position, a caller's class, or a stored table
// that does not fit the compact form) through the validator's steps.
int run_steps(PyObject* validator, const char* match, bool check_metadata,
              validation::Outcome& out) {
    if (std::strcmp(match, "path") == 0) {
        const int to_table = passes::route_to_table(passes::Procedure::kValidate);
        if (to_table < 0) return -1;
        const int r = to_table ? validation::run_by_path(validator, out, check_metadata) : 1;
        if (r <= 0) return r;
    }
    if (check_metadata &&
        py::log(logger(), "warning",
                "File metadata not checked: only a validation by path with the package's own "
                "classes checks it.") < 0)
        return -1;
    for (const char* step : {"deserealize_certificate", "generate_fingerprints"}) {
        py::Ref r = py::Ref::steal(PyObject_CallMethod(validator, step, nullptr));
        if (!r) return -1;
    }
    out.failed = py::Ref::steal(PyObject_CallMethod(validator, "validate_nodes", "s", match));
    py::Ref nodes = out.failed ? py::attr(validator, attr::kResultNodes) : py::Ref();
    const Py_ssize_t n = nodes ? PyObject_Length(nodes.get()) : -1;
    if (n < 0) return -1;
    out.files = py::Ref::steal(PyLong_FromSsize_t(n));
    if (!out.files) return -1;
    out.findings = py::attr(validator, attr::kFindings);
    return out.findings ? 0 : -1;
}

PyObject* validate_certificate(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {
        "dir_path", "certificate_file", "match",  "summary",        "report", "jobs",
        "progress", "scheduler",        "client", "check_metadata", nullptr};
    PyObject *dir_path, *certificate_file, *report = Py_None;
    const char* match = "path";
    int summary = 0;
    PyObject* jobs = Py_None;
    int progress = 0;
    PyObject* scheduler = Py_None;
    PyObject* client = Py_None;
    int check_metadata = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$spOOpOOp:validate_certificate",
                                     const_cast<char**>(kwlist), &dir_path, &certificate_file,
                                     &match, &summary, &report, &jobs, &progress, &scheduler,
                                     &client, &check_metadata))
        return nullptr;
    if (std::strcmp(match, "path") != 0 && std::strcmp(match, "position") != 0) {
        PyErr_Format(PyExc_ValueError, "match must be 'path' or 'position', not '%s'", match);
        return nullptr;
    }
    passes::PassSettings settings;
    if (procedures::parse_jobs(jobs, settings.threads) < 0) return nullptr;
    settings.progress = progress != 0;
    passes::ClusterSession session;
    if (session.open(scheduler, client, logger()) < 0) return nullptr;
    settings.cluster = session.pair();
    // The report can be written where it is asked for, and does not replace the certificate
    // named or one the search could find; checked again once the certificate is found.
    const bool report_to_file = report != Py_None && !procedures::is_dash(report);
    if (report_to_file &&
        (run_files::check_target(report, "report") < 0 ||
         run_files::check_report_place(
             report, dir_path, is_empty(certificate_file) ? nullptr : certificate_file) < 0))
        return nullptr;
    passes::PassSettingsScope settings_scope(settings);
    // The run builds large acyclic tables; the collector would only walk them again and
    // again. It runs as usual once they are gone.
    py::GcPause gc_pause;
    py::Ref start = procedures::now();
    py::Ref validator_cls = py::import_attr("mavelin.core.validation", "CertificateValidator");
    if (!start || !validator_cls) return nullptr;
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, certificate_file, dir_path));
    py::Ref call_kw = py::Ref::steal(
        Py_BuildValue("{sisi}", "chunk_size", certificate_format::kProcedureChunkSize,
                      "transformation_step", certificate_format::kProcedureStep));
    if (!call_args || !call_kw) return nullptr;
    py::Ref validator =
        py::Ref::steal(PyObject_Call(validator_cls.get(), call_args.get(), call_kw.get()));
    if (!validator) return nullptr;

    if (is_empty(certificate_file)) {
        if (py::log(logger(), "warning", "Certificate file wasn't provided. Performing search...") <
            0)
            return nullptr;
        int hit = search(validator.get(), "light_certificate_search");
        if (hit == 0) hit = search(validator.get(), "deep_certificate_search");
        if (hit < 0) return nullptr;
        if (hit == 0) {
            if (py::log(logger(), "error", "Certificate wasn't found.") < 0) return nullptr;
            return py::exit_request();
        }
    }
    if (own_files(dir_path, validator.get(), report, settings.skipped) < 0) return nullptr;
    validation::Outcome outcome;
    if (run_steps(validator.get(), match, check_metadata != 0, outcome) < 0) return nullptr;
    PyObject* invalid = outcome.failed.get();
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    int failed = PyObject_RichCompareBool(invalid, zero.get(), Py_GT);
    if (failed < 0) return nullptr;
    if (summary && log_summary(outcome.findings.get(), std::strcmp(match, "position") == 0,
                               check_metadata != 0) < 0)
        return nullptr;
    // A report that cannot be written still leaves the verdict to be said; the run then fails.
    bool report_failed = false;
    if (report != Py_None &&
        write_report(report, dir_path, validator.get(), match, !failed, start.get(), outcome) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
        py::FetchedError error = py::fetch_error();
        py::Ref message = log_lines::unwritable_report_message(report, error.value.get());
        if (!message || py::log(logger(), "error", message.get()) < 0) return nullptr;
        report_failed = true;
    }
    if (failed) {
        if (py::log(logger(), "error", "Validation failed") < 0) return nullptr;
        py::Ref message =
            py::Ref::steal(PyUnicode_FromFormat("Files failed validation: %S", invalid));
        if (!message || py::log(logger(), "error", message.get()) < 0) return nullptr;
        return py::exit_request();
    }
    py::Ref end = procedures::now();
    if (!end) return nullptr;
    if (py::log(logger(), "info", "Validation successfull") < 0) return nullptr;
    if (procedures::log_elapsed(logger(), start.get(), end.get()) < 0) return nullptr;
    if (report_failed) return py::exit_request();
    Py_RETURN_NONE;
}

PyMethodDef kDef =
    py::method<validate_certificate>("validate_certificate", METH_VARARGS | METH_KEYWORDS, kDoc);

}  // namespace

int init_validate_certificate(PyObject* m) {
    if (py::import_names(m, "mavelin.core.validation", {"CertificateValidator"}) < 0) return -1;
    return procedures::init_procedure_module(m, py::state().validate_logger, &kDef);
}

}  // namespace mavelin::modules
