// mavelin.utils.validate_certificate: the validation procedure.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/certificate_format.h"
#include "engine/fs/cache_reads.h"
#include "python/capi/attribute_names.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/gc.h"
#include "python/capi/import.h"
#include "python/capi/library_call.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/certificate/pinned_archive.h"
#include "python/certificate/signature.h"
#include "python/mavelin/core/compact_validation.h"
#include "python/mavelin/core/log_lines.h"
#include "python/mavelin/core/passes/cluster_pass.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"
#include "python/mavelin/core/passes/tree_pass.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/mavelin/utils/run_files.h"
#include "python/mavelin/utils/run_report.h"
#include "python/mavelin/utils/runs.h"
#include "python/package_tree.h"

namespace mavelin::utils {
namespace {

constexpr const char kDoc[] =
    "validate_certificate(dir_path, certificate_file, *, match='path', summary=False, "
    "report=None, jobs=None, progress=False, scheduler=None, client=None, "
    "allowed_signers=None, identity=None, check_metadata=False, keep_cache=False, "
    "direct=False)\n--\n\n"
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
    "allowed_signers: an OpenSSH allowed-signers file (None: MAVELIN_ALLOWED_SIGNERS); the\n"
    "    certificate must then be signed by a signer it trusts, as identity when given.\n"
    "check_metadata: also report each file whose permission bits, owner, group or link target\n"
    "    differ from the certificate's file metadata (findings of kind 'metadata', which do not\n"
    "    fail the validation); by path only.\n"
    "keep_cache: leave the files read in the page cache (default: the pages the run brings\n"
    "    in are dropped again, those cached before stay).\n"
    "direct: read every byte from the device with direct I/O, bypassing cached copies (a\n"
    "    file system that refuses it is read as usual, named in one INFO line).";

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

// What the report of a run that got as far as its verdict says.
int make_facts(PyObject* dir_path, PyObject* validator, const char* match, bool passed,
               PyObject* start, validation::Outcome& out, PyObject* signature,
               run_report::Facts& facts) {
    if (!out.bytes && report_facts_of_steps(validator, out) < 0) return -1;
    py::Ref certificate = py::attr(validator, attr::kCertificatePath);
    py::Ref end = procedures::now();
    if (!certificate || !end) return -1;
    facts = {"validate_certificate",
             py::Ref::borrow(dir_path),
             certificate,
             match,
             passed,
             out.files,
             out.bytes,
             py::Ref::borrow(start),
             end,
             out.failed,
             out.findings,
             out.uncertified,
             out.links,
             out.unchecked,
             py::Ref::borrow(signature),
             py::Ref(),
             py::Ref()};
    return 0;
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

// The WARNING of a check_metadata=True run that cannot check the metadata.
int log_metadata_unchecked() {
    return py::log(logger(), "warning",
                   "File metadata not checked: only a validation by path with the package's own "
                   "classes checks it.");
}

// Loads, fingerprints and compares once the certificate is known, into `out`. On compact tables
// when the route rule says so; otherwise (a caller's class, or a stored table that does not fit
// the compact form) through the validator's steps. The metadata is checked on the tables by
// path only.
int run_steps(PyObject* validator, const char* match, bool check_metadata,
              validation::Outcome& out) {
    const bool by_position = std::strcmp(match, "position") == 0;
    const bool metadata_by_path = check_metadata && !by_position;
    const int to_table = passes::route_to_table(passes::Procedure::kValidate);
    if (to_table < 0) return -1;
    if (check_metadata && by_position && log_metadata_unchecked() < 0) return -1;
    const int r =
        to_table ? validation::run_on_tables(validator, by_position, out, metadata_by_path) : 1;
    if (r <= 0) return r;
    if (metadata_by_path && log_metadata_unchecked() < 0) return -1;
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

// The signature of the certificate in use, checked before anything in it is trusted: refused,
// one ERROR line (1, `facts.refusal` says why); signed, one line naming the signer or the key
// (0, `facts` filled); -1 with an exception set.
int check_signature(PyObject* validator, PyObject* allowed, PyObject* identity,
                    certificate::SignatureFacts& facts) {
    std::string allowed_path, identity_text;
    if (allowed == Py_None) {
        const char* env = std::getenv("MAVELIN_ALLOWED_SIGNERS");
        if (env) allowed_path = env;
    } else if (py::encode_path(allowed, allowed_path) < 0) {
        return -1;
    }
    if (identity != Py_None) {
        const char* text = PyUnicode_AsUTF8(identity);
        if (!text) return -1;
        identity_text = text;
    }
    py::Ref certificate = py::attr(validator, attr::kCertificatePath);
    if (!certificate) return -1;
    std::string refusal;
    const int r = certificate::check_signature(certificate.get(), allowed_path, identity_text,
                                               facts, refusal);
    if (r < 0) return -1;
    if (r > 0) {
        facts.refusal = refusal;
        return py::log(logger(), "error", refusal.c_str()) < 0 ? -1 : 1;
    }
    if (!facts.is_signed) return 0;
    py::Ref line =
        facts.verified
            ? py::Ref::steal(PyUnicode_FromFormat(
                  "Certificate signed by %s (key %s), made %s", facts.principal.c_str(),
                  facts.fingerprint.c_str(), facts.signing_time.c_str()))
            : py::Ref::steal(PyUnicode_FromFormat(
                  "Certificate signed by key %s, made %s, but the signer was not checked "
                  "(no --allowed-signers)",
                  facts.fingerprint.c_str(), facts.signing_time.c_str()));
    if (!line) return -1;
    return py::log(logger(), facts.verified ? "info" : "warning", line.get()) < 0 ? -1 : 0;
}

// A refused signature ends the run before any file is compared: the report, when asked for,
// says so (failed, nothing counted, the signature's refusal), and the run fails as refused. -1.
int refuse(const procedures::RunOptions& o, PyObject* validator, PyObject* start,
           PyObject* signature, run_report::Facts* facts) {
    py::set_phase(py::Phase::kWriting);
    PyObject* refusal = PyDict_GetItemString(signature, "refusal");  // borrowed
    if (o.report != Py_None || facts) {
        py::Ref certificate = py::attr(validator, attr::kCertificatePath);
        py::Ref end = procedures::now();
        if (!certificate || !end) return -1;
        run_report::Facts made;
        made.command = "validate_certificate";
        made.directory = py::Ref::borrow(o.dir_path);
        made.certificate = certificate;
        made.match = o.match;
        made.start = py::Ref::borrow(start);
        made.end = end;
        made.signature = py::Ref::borrow(signature);
        if (facts) *facts = made;
        if (o.report != Py_None && run_report::write(o.report, made) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
            py::FetchedError error = py::fetch_error();
            py::Ref message = log_lines::unwritable_report_message(o.report, error.value.get());
            if (!message || py::log(logger(), "error", message.get()) < 0) return -1;
        }
    }
    py::exit_request(py::Failure::kSignatureRefused, refusal);
    return -1;
}

int run_validation(const procedures::RunOptions& o, run_report::Facts* facts) {
    PyObject* dir_path = o.dir_path;
    PyObject* certificate_file = o.certificate;
    PyObject* report = o.report;
    const char* match = o.match;
    passes::PassSettings settings;
    if (procedures::parse_jobs(o.jobs, settings.threads) < 0) return -1;
    settings.progress = o.progress;
    settings.read_mode = procedures::read_mode(o);
    fs::take_direct_io_refused();  // what an earlier run met is not this run's
    passes::ClusterSession session;
    if (session.open(o.scheduler, o.client, logger()) < 0) return -1;
    settings.cluster = session.pair();
    // The report can be written where it is asked for, and does not replace the certificate
    // named or one the search could find; checked again once the certificate is found.
    const bool report_to_file = report != Py_None && !procedures::is_dash(report);
    if (report_to_file &&
        (run_files::check_target(report, "report") < 0 ||
         run_files::check_report_place(
             report, dir_path, is_empty(certificate_file) ? nullptr : certificate_file) < 0))
        return -1;
    passes::PassSettingsScope settings_scope(settings);
    py::set_phase(py::Phase::kWork);
    // The run builds large acyclic tables; the collector would only walk them again and
    // again. It runs as usual once they are gone.
    py::GcPause gc_pause;
    py::Ref start = procedures::now();
    py::Ref validator_cls = py::import_attr("mavelin.core.validation", "CertificateValidator");
    if (!start || !validator_cls) return -1;
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, certificate_file, dir_path));
    py::Ref call_kw = py::Ref::steal(
        Py_BuildValue("{sisi}", "chunk_size", certificate_format::kProcedureChunkSize,
                      "transformation_step", certificate_format::kProcedureStep));
    if (!call_args || !call_kw) return -1;
    py::Ref validator =
        py::Ref::steal(PyObject_Call(validator_cls.get(), call_args.get(), call_kw.get()));
    if (!validator) return -1;

    if (is_empty(certificate_file)) {
        if (py::log(logger(), "warning", "Certificate file wasn't provided. Performing search...") <
            0)
            return -1;
        int hit = search(validator.get(), "light_certificate_search");
        if (hit == 0) hit = search(validator.get(), "deep_certificate_search");
        if (hit < 0) return -1;
        if (hit == 0) {
            if (py::log(logger(), "error", "Certificate wasn't found.") < 0) return -1;
            py::Ref why = py::Ref::steal(
                Py_BuildValue("(isO)", ENOENT, "Certificate wasn't found", dir_path));
            if (why) py::exit_request(py::Failure::kCertificateNotFound, why.get());
            return -1;
        }
    }
    if (own_files(dir_path, validator.get(), report, settings.skipped) < 0) return -1;
    // The certificate is opened once: its signature and its table are read from that one file,
    // so one put in its place after the check is never compared.
    certificate::PinnedArchive pinned;
    py::Ref in_use = py::attr(validator.get(), attr::kCertificatePath);
    if (!in_use || pinned.pin(in_use.get()) < 0) return -1;
    // No file is compared before the certificate's signature is found sound.
    certificate::SignatureFacts signature;
    const int refused = check_signature(validator.get(), o.allowed_signers, o.identity, signature);
    if (refused < 0) return -1;
    py::Ref signature_facts = signature.is_signed || refused > 0 ? signature.as_dict() : py::Ref();
    if ((signature.is_signed || refused > 0) && !signature_facts) return -1;
    if (refused > 0) return refuse(o, validator.get(), start.get(), signature_facts.get(), facts);
    validation::Outcome outcome;
    if (run_steps(validator.get(), match, o.check_metadata, outcome) < 0) return -1;
    if (fs::take_direct_io_refused() && py::log(logger(), "info", procedures::kDirectIoRefused) < 0)
        return -1;
    PyObject* invalid = outcome.failed.get();
    py::Ref zero = py::Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    int failed = PyObject_RichCompareBool(invalid, zero.get(), Py_GT);
    if (failed < 0) return -1;
    if (o.summary && log_summary(outcome.findings.get(), std::strcmp(match, "position") == 0,
                                 o.check_metadata) < 0)
        return -1;
    // A report that cannot be written still leaves the verdict to be said; the run then fails.
    py::set_phase(py::Phase::kWriting);
    py::FetchedError report_error;
    if (report != Py_None || facts) {
        run_report::Facts made;
        if (make_facts(dir_path, validator.get(), match, !failed, start.get(), outcome,
                       signature_facts.get(), made) < 0)
            return -1;
        if (facts) *facts = made;
        if (report != Py_None && run_report::write(report, made) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
            report_error = py::fetch_error();
            py::Ref message =
                log_lines::unwritable_report_message(report, report_error.value.get());
            if (!message || py::log(logger(), "error", message.get()) < 0) return -1;
        }
    }
    if (failed) {
        if (py::log(logger(), "error", "Validation failed") < 0) return -1;
        py::Ref message =
            py::Ref::steal(PyUnicode_FromFormat("Files failed validation: %S", invalid));
        if (!message || py::log(logger(), "error", message.get()) < 0) return -1;
        if (!report_error.value) return 1;
    } else {
        py::Ref end = procedures::now();
        if (!end) return -1;
        if (py::log(logger(), "info", "Validation successfull") < 0) return -1;
        if (procedures::log_elapsed(logger(), start.get(), end.get()) < 0) return -1;
        if (!report_error.value) return 0;
    }
    py::exit_request(py::Failure::kWriteFailed, report_error.value.get());
    return -1;
}

PyObject* validate_certificate(PyObject*, PyObject* args, PyObject* kwargs) {
    procedures::RunOptions options;
    if (procedures::parse(procedures::Call::kValidateCertificate, args, kwargs, options) < 0)
        return nullptr;
    const int r = run_validation(options, nullptr);
    if (r < 0) return nullptr;
    if (r > 0) return py::exit_request();
    Py_RETURN_NONE;
}

PyMethodDef kDef =
    py::method<validate_certificate>("validate_certificate", METH_VARARGS | METH_KEYWORDS, kDoc);

}  // namespace

int init_validate_certificate(PyObject* m) {
    if (py::import_names(m, "mavelin.core.validation", {"CertificateValidator"}) < 0) return -1;
    return procedures::init_procedure_module(m, py::state().validate_logger, &kDef);
}

}  // namespace mavelin::utils

namespace mavelin::procedures {

int validate_run(const RunOptions& options, run_report::Facts* facts) {
    return utils::run_validation(options, facts);
}

}  // namespace mavelin::procedures
