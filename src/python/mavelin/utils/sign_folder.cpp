// mavelin.utils.sign_folder: the signing procedure.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/certificate_format.h"
#include "engine/fs/cache_reads.h"
#include "engine/metadata/member.h"
#include "engine/metadata/reuse.h"
#include "engine/table/fill.h"
#include "engine/table/node_table.h"
#include "python/capi/attribute_names.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/gc.h"
#include "python/capi/import.h"
#include "python/capi/library_call.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/state.h"
#include "python/capi/text.h"
#include "python/certificate/signature.h"
#include "python/certificate/writer.h"
#include "python/mavelin/core/file_managing.h"
#include "python/mavelin/core/log_lines.h"
#include "python/mavelin/core/models.h"
#include "python/mavelin/core/passes/cluster_pass.h"
#include "python/mavelin/core/passes/fingerprint_pass.h"
#include "python/mavelin/core/passes/tree_pass.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/mavelin/utils/run_files.h"
#include "python/mavelin/utils/run_report.h"
#include "python/mavelin/utils/runs.h"
#include "python/mavelin/utils/update_signing.h"
#include "python/package_tree.h"

namespace mavelin::utils {
namespace {

constexpr const char kDoc[] =
    "sign_folder(dir_path, mode='default', *, report=None, jobs=None, output=None, "
    "progress=False, scheduler=None, client=None, key=None, update=False, certificate=None, "
    "keep_cache=False, direct=False)\n--\n\n"
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
    "    client: a distributed.Client to hash through instead. jobs is then threads per worker.\n"
    "key: an SSH key (private, or public with its private half in ssh-agent) to sign the\n"
    "    certificate with (ssh-keygen -Y sign).\n"
    "update: re-read only the files whose stat data changed since the certificate was made\n"
    "    (certificate: that certificate; None: output, or the tree's own), and keep the files'\n"
    "    stat data in the new one. The result is that of a full signing while the file system's\n"
    "    metadata tells the truth.\n"
    "keep_cache: leave the files read in the page cache (default: the pages the run brings\n"
    "    in are dropped again, those cached before stay).\n"
    "direct: read every byte from the device with direct I/O, bypassing cached copies (a\n"
    "    file system that refuses it is read as usual, named in one INFO line).";

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

// One ERROR line per file that could not be read, of `errors`, a sequence of (path, OSError)
// pairs; each also added to `findings` as ("unreadable", path, None). `any`: whether there was one.
int report_unreadable(PyObject* errors, PyObject* findings, bool& any) {
    py::Ref seq = py::Ref::steal(PySequence_Fast(errors, "errors must be a sequence"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* pair = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject *path, *exc;
        if (!PyArg_ParseTuple(pair, "OO", &path, &exc)) return -1;
        py::Ref message = log_lines::unreadable_message(path, exc);
        if (!message || py::log(logger(), "error", message.get()) < 0) return -1;
        py::Ref finding = py::Ref::steal(Py_BuildValue("(sOO)", "unreadable", path, Py_None));
        if (!finding || PyList_Append(findings, finding.get()) < 0) return -1;
        any = true;
    }
    return 0;
}

// A signing run, whichever way it goes: through a FileManager (`manager`) or from a compact
// node table (`nodes`, of the tree at `top`).
struct Signing {
    py::Ref manager;
    std::string top;
    table::NodeTable nodes;
    // Of the compact run: the files, the bytes fingerprinted, the folders left out and the links
    // whose target was missing.
    py::Ref files, bytes, uncertified, links;
    py::Ref folder;  // the certificate's folder, once written
    // update=True: the certificate whose fingerprints may be taken over, and the stat records
    // of the run's walk (kept for the new certificate).
    py::Ref stored;
    bool update = false;
    py::Ref reread, reused;  // the counts of the update
    metadata::FileStats stats;
};

// What the report of a signing run that got as far as fingerprinting says.
int make_facts(PyObject* dir_path, PyObject* output, const Signing& run, bool passed,
               PyObject* start, PyObject* findings, PyObject* signature, run_report::Facts& facts) {
    py::Ref certificate;
    if (passed && output != Py_None) {
        certificate = py::Ref::borrow(output);
    } else if (passed) {
        py::Ref join = py::import_attr("os.path", "join");
        if (!join) return -1;
        certificate = py::Ref::steal(PyObject_CallFunction(join.get(), "Os", run.folder.get(),
                                                           certificate_format::kArchiveName));
        if (!certificate) return -1;
    }
    py::Ref files = run.files, bytes = run.bytes, uncertified = run.uncertified, links = run.links;
    if (run.manager) {
        files = py::attr(run.manager.get(), "files_count");
        bytes = py::attr(run.manager.get(), attr::kFingerprintedBytes);
        uncertified = py::attr(run.manager.get(), attr::kUncertifiedFolders);
        links = log_lines::uncertified_links_of(run.manager.get());
    }
    py::Ref failed = py::Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(findings)));
    py::Ref end = procedures::now();
    if (!files || !bytes || !uncertified || !links || !failed || !end) return -1;
    facts = {"sign_folder",
             py::Ref::borrow(dir_path),
             certificate,
             nullptr,
             passed,
             files,
             bytes,
             py::Ref::borrow(start),
             end,
             failed,
             py::Ref::borrow(findings),
             uncertified,
             links,
             py::Ref(),
             py::Ref::borrow(signature),
             run.reread,
             run.reused};
    return 0;
}

// The report, when one is asked for or the caller wants the facts (`out`). 0, or -1 with an
// exception set.
int report_run(const procedures::RunOptions& o, const Signing& run, bool passed, PyObject* start,
               PyObject* findings, PyObject* signature, run_report::Facts* out) {
    if (o.report == Py_None && !out) return 0;
    run_report::Facts facts;
    if (make_facts(o.dir_path, o.output, run, passed, start, findings, signature, facts) < 0)
        return -1;
    if (out) *out = facts;
    return o.report == Py_None ? 0 : run_report::write(o.report, facts);
}

int log_files_found(bool silent, PyObject* count) {
    if (silent) return 0;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat("Files found: %S", count));
    return message ? py::log(logger(), "info", message.get()) : -1;
}

// The scan and the fingerprints through a FileManager, step by step (when a caller put a class
// of its own in mavelin.core.file_managing); `unreadable` receives its
// _fingerprint_errors (empty when it has none).
int fingerprint_with_manager(PyObject* manager_cls, PyObject* dir_path, bool silent, Signing& run,
                             py::Ref& unreadable) {
    run.manager = py::Ref::steal(PyObject_CallFunction(manager_cls, "Oii", dir_path,
                                                       certificate_format::kProcedureChunkSize,
                                                       certificate_format::kProcedureStep));
    if (!run.manager) return -1;
    if (!silent && log_lines::log_with(logger(), "info", "Parsing directory ", dir_path, "...") < 0)
        return -1;
    py::Ref count;
    // A folder left out would pass validation whatever it holds: no certificate then.
    if (log_lines::scan(run.manager.get(), logger(), count, true) < 0 ||
        log_files_found(silent, count.get()) < 0 || info(silent, "Generating fingerprints...") < 0)
        return -1;
    if (call(run.manager.get(), attr::kGenerateFingerprints) < 0) return -1;
    unreadable =
        py::Ref::steal(PyObject_GetAttrString(run.manager.get(), attr::kFingerprintErrors));
    if (!unreadable) {
        PyErr_Clear();
        unreadable = py::Ref::steal(PyList_New(0));
    }
    return unreadable ? 0 : -1;
}

// update=True, after the walk: the fingerprints of the stored certificate (`loaded`, as
// load_stored gave it: `usable`, `why`) taken over where the stat data says the file is the same,
// the other files read; one INFO line with the counts (or, when the certificate cannot serve, one
// that says why every file is read).
int fill_from_stored(bool silent, passes::TreePass& pass, Signing& run,
                     update_signing::Stored&& loaded, int usable, const std::string& why,
                     std::vector<table::FillFailure>& failures, std::uint64_t& bytes) {
    std::size_t reused = 0;
    std::vector<std::size_t> reread;
    {
        // Let go before the files are read.
        update_signing::Stored stored = std::move(loaded);
        if (usable == 0) {
            py::Ref message =
                py::Ref::steal(PyUnicode_FromFormat("Signing every file again: %s.", why.c_str()));
            if (!message || (!silent && py::log(logger(), "info", message.get()) < 0)) return -1;
            if (pass.fill(failures, bytes) < 0) return -1;
            run.stats = std::move(pass.stats());
            run.reread = py::Ref::steal(PyLong_FromSize_t(run.stats.size()));
            run.reused = py::Ref::steal(PyLong_FromLong(0));
            return run.reread && run.reused ? 0 : -1;
        }
        try {
            reused = metadata::reuse_fingerprints(pass.nodes(), pass.stats(), stored.nodes,
                                                  stored.stats, reread);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
    }
    if (pass.fill(failures, bytes, &reread) < 0) return -1;
    run.stats = std::move(pass.stats());
    run.reread = py::Ref::steal(PyLong_FromSize_t(reread.size()));
    run.reused = py::Ref::steal(PyLong_FromSize_t(reused));
    if (!run.reread || !run.reused) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat(
        "Files re-read: %zu, fingerprints reused: %zu", reread.size(), reused));
    return message && (silent || py::log(logger(), "info", message.get()) == 0) ? 0 : -1;
}

// The scan and the fingerprints into a compact node table (on this machine or on the cluster):
// no Python object per file. The log lines and findings are those of fingerprint_with_manager.
int fingerprint_compact(PyObject* dir_path, bool silent, Signing& run, py::Ref& unreadable) {
    if (!silent && log_lines::log_with(logger(), "info", "Parsing directory ", dir_path, "...") < 0)
        return -1;
    if (py::encode_path(dir_path, run.top) < 0) return -1;
    passes::TreePass pass(run.top);
    update_signing::Stored stored;
    std::string why;
    int usable = 0;
    if (run.update) {
        // The stored certificate is read while the walk goes on.
        pass.keep_stats(true);
        if (pass.start() < 0) return -1;
        usable = update_signing::load_stored(run.stored.get(), stored, why);
        if (usable < 0) return -1;
    }
    if (pass.walk() < 0) return -1;
    run.uncertified = file_managing::uncertified_folders(pass.left_out());
    run.links = file_managing::uncertified_links(pass.dangling_links());
    py::Ref scan_errors = file_managing::scan_errors(dir_path, pass.walk_errors());
    run.files = py::Ref::steal(PyLong_FromSize_t(pass.nodes().size()));
    if (!run.uncertified || !run.links || !scan_errors || !run.files) return -1;
    // A folder left out would pass validation whatever it holds: no certificate then.
    if (log_lines::report_scan(logger(), run.uncertified.get(), run.links.get(), scan_errors.get(),
                               run.files.get()) < 0 ||
        log_files_found(silent, run.files.get()) < 0 ||
        info(silent, "Generating fingerprints...") < 0)
        return -1;

    std::vector<table::FillFailure> failures;
    std::uint64_t bytes = 0;
    if (run.update) {
        if (fill_from_stored(silent, pass, run, std::move(stored), usable, why, failures, bytes) <
            0)
            return -1;
    } else if (pass.fill(failures, bytes) < 0) {
        return -1;
    }
    run.nodes = std::move(pass.nodes());
    run.bytes = py::Ref::steal(PyLong_FromUnsignedLongLong(bytes));
    unreadable = passes::unreadable_pairs(run.nodes, failures);
    return run.bytes && unreadable ? 0 : -1;
}

// Before any work: the report and the certificate can be written where the caller asked, the
// report does not replace the certificate, and the tree's certificate folder can be written
// (the command line has said so in its own words when it cannot). A refusal raises OSError for
// the path concerned. The files the run writes into the tree are left out of its scan
// (`skipped`). 0, or -1 with an exception set.
int check_outputs(PyObject* dir_path, PyObject* report, PyObject* output,
                  fs::SkippedFiles& skipped) {
    const bool to_file = report != Py_None && !procedures::is_dash(report);
    if (to_file && run_files::check_target(report, "report") < 0) return -1;
    if (output != Py_None && run_files::check_target(output, "certificate") < 0) return -1;
    py::Ref certificate = py::Ref::borrow(output);
    if (output == Py_None) {
        py::Ref folder = py::join(dir_path, certificate_format::kFolderName);
        certificate = folder ? py::join(folder.get(), certificate_format::kArchiveName) : py::Ref();
        if (!certificate) return -1;
    }
    if (to_file && run_files::check_report_place(report, dir_path, certificate.get()) < 0)
        return -1;
    if (output == Py_None) {
        int err = 0;
        py::Ref folder;
        const int writable = run_files::certificate_folder_writable(dir_path, err, folder);
        if (writable <= 0) {
            std::string shown;
            if (writable == 0 && py::encode_path(folder.get(), shown) == 0)
                py::set_os_error(err, shown);
            return -1;
        }
    } else if (run_files::add_skipped(dir_path, output, false, skipped) < 0) {
        return -1;
    }
    return to_file ? run_files::add_skipped(dir_path, report, false, skipped) : 0;
}

// A report that could not be written after the certificate was (`error`): one ERROR line that
// says so, in every mode, with the reason. -1 with an exception set when the line cannot be
// written.
int log_late_report_failure(PyObject* report, PyObject* output, const Signing& run,
                            const py::FetchedError& error) {
    py::Ref certificate = py::Ref::borrow(output);
    if (output == Py_None)
        certificate = py::join(run.folder.get(), certificate_format::kArchiveName);
    py::Ref why = log_lines::unwritable_report_message(report, error.value.get());
    py::Ref shown = certificate ? py::display_text(certificate.get()) : py::Ref();
    if (!why || !shown) return -1;
    py::Ref message = py::Ref::steal(
        PyUnicode_FromFormat("%U. The certificate was written to %U.", why.get(), shown.get()));
    return message ? py::log(logger(), "error", message.get()) : -1;
}

// The walk's stat records as the member Certificate.files of the new certificate (the records
// themselves are then let go). 0, or -1 with MemoryError set.
int add_metadata_member(Signing& run, certificate::Extras& extras) {
    try {
        certificate::ExtraMember member{certificate_format::kMetadataName, {}};
        member.bytes.reserve(metadata::member_size(run.stats));
        metadata::write_member(run.stats, [&](std::string_view piece) {
            member.bytes.insert(member.bytes.end(), piece.begin(), piece.end());
        });
        run.stats = metadata::FileStats();
        extras.members.push_back(std::move(member));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// The certificate update=True takes fingerprints from: `chosen`, else `output`, else the tree's.
py::Ref stored_certificate(PyObject* dir_path, PyObject* output, PyObject* chosen) {
    if (chosen != Py_None) return py::Ref::borrow(chosen);
    if (output != Py_None) return py::Ref::borrow(output);
    py::Ref folder = py::join(dir_path, certificate_format::kFolderName);
    return folder ? py::join(folder.get(), certificate_format::kArchiveName) : py::Ref();
}

// The certificate of a run whose files were all read, with `extras` beside its payload (the
// run's file and byte counts are filled in here).
int write_certificate(PyObject* dir_path, PyObject* output, Signing& run,
                      certificate::Extras& extras) {
    PyObject* chosen = output == Py_None ? nullptr : output;
    if (extras.any()) {
        py::Ref files = run.manager ? py::attr(run.manager.get(), "files_count") : run.files;
        py::Ref bytes =
            run.manager ? py::attr(run.manager.get(), attr::kFingerprintedBytes) : run.bytes;
        if (!files || !bytes) return -1;
        extras.files = PyLong_AsUnsignedLongLong(files.get());
        extras.bytes = PyLong_AsUnsignedLongLong(bytes.get());
        if (PyErr_Occurred()) return -1;
    }
    if (!run.manager)
        return certificate::write_table(dir_path, run.nodes, chosen, run.folder, &extras);
    PyObject* node_class = models::filenode_class();
    if (!node_class || certificate::write(run.manager.get(), node_class, chosen, &extras) < 0)
        return -1;
    run.folder = py::attr(run.manager.get(), attr::kCertFolderPath);
    return run.folder ? 0 : -1;
}

// A key that cannot be read fails before any hashing: one ERROR line and the exit request (in a
// library call ArgumentRefused, its OSError the cause).
int check_key(const std::string& key_path) {
    if (::access(key_path.c_str(), R_OK) == 0) return 0;
    const int err = errno;
    py::Ref line = py::Ref::steal(PyUnicode_FromFormat(
        "The certificate could not be signed with %s: %s", key_path.c_str(), std::strerror(err)));
    if (!line || py::log(logger(), "error", line.get()) < 0) return -1;
    py::set_os_error(err, key_path);
    py::FetchedError refused = py::fetch_error();
    py::exit_request(py::Failure::kArgumentRefused, refused.value.get());
    return -1;
}

int run_signing(const procedures::RunOptions& o, run_report::Facts* facts) {
    PyObject* dir_path = o.dir_path;
    PyObject* report = o.report;
    PyObject* output = o.output;
    std::string key_path;
    if (o.key != Py_None && (py::encode_path(o.key, key_path) < 0 || check_key(key_path) < 0))
        return -1;
    passes::PassSettings settings;
    if (procedures::parse_jobs(o.jobs, settings.threads) < 0) return -1;
    settings.read_mode = procedures::read_mode(o);
    fs::take_direct_io_refused();  // what an earlier run met is not this run's
    py::Ref mode = py::Ref::borrow(o.mode);
    if (!mode) mode = py::Ref::steal(PyUnicode_FromString("default"));
    if (!mode) return -1;

    // The run builds large acyclic tables; the collector would only walk them again and
    // again. It runs as usual once they are gone.
    py::GcPause gc_pause;
    py::Ref start = procedures::now();
    if (!start) return -1;
    py::Ref silent_text = py::Ref::steal(PyUnicode_FromString("silent"));
    if (!silent_text) return -1;
    int silent = PyObject_RichCompareBool(mode.get(), silent_text.get(), Py_EQ);
    if (silent < 0) return -1;
    settings.progress = o.progress && !silent;
    passes::ClusterSession session;
    if (session.open(o.scheduler, o.client, logger()) < 0) return -1;
    settings.cluster = session.pair();
    if (check_outputs(dir_path, report, output, settings.skipped) < 0) return -1;
    passes::PassSettingsScope settings_scope(settings);
    py::set_phase(py::Phase::kWork);

    if (!silent &&
        log_lines::log_with(logger(), "info",
                            "Initializing sigsnature creation process. Mode: ", mode.get(), "") < 0)
        return -1;
    py::Ref manager_cls = py::import_attr("mavelin.core.file_managing", "FileManager");
    if (!manager_cls) return -1;
    Signing run;
    py::Ref unread;
    const int to_table = passes::route_to_table(passes::Procedure::kSign);
    if (to_table < 0) return -1;
    if (o.update && !to_table &&
        info(silent,
             "Signing every file again: a FileManager of the "
             "caller's own does every step.") < 0)
        return -1;
    if (o.update && to_table) {
        run.update = true;
        run.stored = stored_certificate(dir_path, output, o.certificate);
        if (!run.stored) return -1;
    }
    if (to_table) {
        if (fingerprint_compact(dir_path, silent, run, unread) < 0) return -1;
    } else if (fingerprint_with_manager(manager_cls.get(), dir_path, silent, run, unread) < 0) {
        return -1;
    }
    if (fs::take_direct_io_refused() && info(silent, procedures::kDirectIoRefused) < 0) return -1;
    bool unreadable = false;
    py::Ref findings = py::Ref::steal(PyList_New(0));
    if (!findings || report_unreadable(unread.get(), findings.get(), unreadable) < 0) return -1;
    if (unreadable) {
        py::set_phase(py::Phase::kWriting);
        return report_run(o, run, false, start.get(), findings.get(), nullptr, facts) < 0 ? -1 : 1;
    }

    if (info(silent, "Saving certificate...") < 0) return -1;
    py::set_phase(py::Phase::kWriting);
    certificate::Extras extras;
    if (run.update && add_metadata_member(run, extras) < 0) return -1;
    certificate::SignatureFacts signed_by;
    std::string signing_error;
    if (!key_path.empty()) certificate::sign_with(key_path, extras, signed_by, signing_error);
    if (write_certificate(dir_path, output, run, extras) < 0) {
        if (signing_error.empty()) return -1;
        // The key could not sign: one ERROR line, and the previous certificate stays.
        PyErr_Clear();
        if (py::log(logger(), "error", signing_error.c_str()) < 0) return -1;
        py::Ref why = py::Ref::steal(PyUnicode_FromString(signing_error.c_str()));
        if (why) py::exit_request(py::Failure::kWriteFailed, why.get());
        return -1;
    }
    py::Ref signature = signed_by.is_signed ? signed_by.as_dict() : py::Ref();
    if (signed_by.is_signed) {
        if (!signature) return -1;
        py::Ref line = py::Ref::steal(
            PyUnicode_FromFormat("Certificate signed with key %s", signed_by.fingerprint.c_str()));
        if (!line || info(silent, PyUnicode_AsUTF8(line.get())) < 0) return -1;
    }
    // The new certificate is in place: an interrupt from here on no longer fails the run, and a
    // report that cannot be written fails it only once the log has said so.
    py::FetchedError report_error;
    if (report_run(o, run, true, start.get(), findings.get(), signature.get(), facts) < 0 &&
        settled() < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        report_error = py::fetch_error();
    }
    py::Ref end = procedures::now();
    if (!end && settled() < 0) return -1;
    if (end && !silent && procedures::log_elapsed(logger(), start.get(), end.get()) < 0 &&
        settled() < 0)
        return -1;
    if (info(silent, "Certificate generated successfully!") < 0 && settled() < 0) return -1;
    if (PyErr_CheckSignals() < 0 && settled() < 0) return -1;
    if (report_error.value) {
        if (log_late_report_failure(report, output, run, report_error) < 0) return -1;
        py::exit_request(py::Failure::kWriteFailed, report_error.value.get());
        return -1;
    }
    return 0;
}

PyObject* sign_folder(PyObject*, PyObject* args, PyObject* kwargs) {
    procedures::RunOptions options;
    if (procedures::parse(procedures::Call::kSignFolder, args, kwargs, options) < 0) return nullptr;
    const int r = run_signing(options, nullptr);
    if (r < 0) return nullptr;
    if (r > 0) return py::exit_request();
    Py_RETURN_NONE;
}

PyMethodDef kDef = py::method<sign_folder>("sign_folder", METH_VARARGS | METH_KEYWORDS, kDoc);

}  // namespace

int init_sign_folder(PyObject* m) {
    if (py::import_names(m, "mavelin.core.file_managing", {"FileManager"}) < 0) return -1;
    return procedures::init_procedure_module(m, py::state().sign_logger, &kDef);
}

}  // namespace mavelin::utils

namespace mavelin::procedures {

int sign_run(const RunOptions& options, run_report::Facts* facts) {
    return utils::run_signing(options, facts);
}

}  // namespace mavelin::procedures
