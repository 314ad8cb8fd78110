// The command `validate_certificate` of the command group (module
// mavelin.cli.commands.validate_certificate_command).
#include <sys/stat.h>

#include <string>

#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/capi/paths.h"
#include "python/mavelin/cli/commands/command_support.h"
#include "python/mavelin/utils/logger.h"
#include "python/package_tree.h"

namespace mavelin::commands {
namespace {

constexpr const char kValidateEpilog[] =
    "\b\nExamples:\n"
    "  mavelin validate_certificate -p photos\n"
    "  mavelin validate_certificate -p /mnt/snapshot -c snapshot.korvex\n"
    "  mavelin validate_certificate -p photos --allowed-signers ~/.config/mavelin/signers\n\n"
    "Without -c the certificate is searched for inside DIR.\n\n"
    "Exit status: 0 when every file matches the certificate; 1 when files failed\n"
    "validation, no certificate was found, or the certificate or a file could not be read;\n"
    "2 when the arguments are refused (a folder or certificate file that does not exist, a\n"
    "--report that cannot be written or names the certificate);\n"
    "130 when interrupted (Ctrl-C).";

// Refuses a --certificate-file that does not exist (an empty one still means: search for it).
int check_certificate_file(PyObject* certificate_file) {
    if (certificate_file == Py_None) return 0;
    std::string path;
    if (py::encode_path(certificate_file, path) < 0) return -1;
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) == 0) return 0;
    py::Ref message =
        py::Ref::steal(PyUnicode_FromFormat("File %R does not exist.", certificate_file));
    return message
               ? commands::usage_error("BadParameter", message.get(), "'--certificate-file' / '-c'")
               : -1;
}

PyObject* validate_certificate_command(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"dir_path",        "certificate_file",
                                   "match",           "summary",
                                   "report",          "jobs",
                                   "scheduler",       "quiet",
                                   "allowed_signers", "identity",
                                   "check_metadata",  "keep_cache",
                                   "direct",          nullptr};
    PyObject *dir_path, *certificate_file, *match, *summary, *report, *jobs = Py_None;
    PyObject* scheduler = Py_None;
    int quiet = 0;
    PyObject *allowed_signers = Py_None, *identity = Py_None, *check_metadata = Py_False;
    PyObject *keep_cache = Py_False, *direct = Py_False;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "OOOOO|OOpOOOOO:validate_certificate_command", const_cast<char**>(kwlist),
            &dir_path, &certificate_file, &match, &summary, &report, &jobs, &scheduler, &quiet,
            &allowed_signers, &identity, &check_metadata, &keep_cache, &direct))
        return nullptr;
    const bool named = certificate_file != Py_None && PyObject_IsTrue(certificate_file) == 1;
    if (commands::require_dir_path(dir_path) < 0 || check_certificate_file(certificate_file) < 0 ||
        commands::check_outputs(dir_path, report, nullptr, named ? certificate_file : nullptr) <
            0 ||
        commands::check_scheduler(scheduler) < 0 || commands::move_log_to_stderr(report) < 0 ||
        (quiet && utils::quiet_command_line_log() < 0))
        return nullptr;
    py::Ref procedure = py::Ref::steal(PyObject_GetAttrString(module, "validate_certificate"));
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, dir_path, certificate_file));
    py::Ref call_kw = commands::procedure_keywords({{"match", match},
                                                    {"summary", summary},
                                                    {"report", report},
                                                    {"jobs", jobs},
                                                    {"progress", quiet ? Py_False : Py_True},
                                                    {"scheduler", scheduler},
                                                    {"allowed_signers", allowed_signers},
                                                    {"identity", identity},
                                                    {"check_metadata", check_metadata},
                                                    {"keep_cache", keep_cache},
                                                    {"direct", direct}});
    if (!procedure || !call_args || !call_kw) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_Call(procedure.get(), call_args.get(), call_kw.get()));
    if (r) Py_RETURN_NONE;
    return commands::report_failure("mavelin.utils.validate_certificate");
}

PyMethodDef kValidateDef = py::method<validate_certificate_command>(
    "validate_certificate_command", METH_VARARGS | METH_KEYWORDS, nullptr);

// --match path|position: how certified files meet the files of the tree.
int add_match_option(PyObject* click, PyObject* command) {
    py::Ref choice =
        py::Ref::steal(PyObject_CallMethod(click, "Choice", "[ss]", "path", "position"));
    if (!choice) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOsssOss}", "type", choice.get(), "default", "path", "show_default", Py_True, "help",
        "Pair every certified file with the file of the same path (path), or pair the "
        "certificate's entries with the folder's entries one by one in their order (position)."));
    return attrs ? commands::add_option(click, command, "--match", nullptr, attrs.get()) : -1;
}

// --summary: one more INFO line with the number of findings of each kind.
int add_summary_option(PyObject* click, PyObject* command) {
    py::Ref attrs =
        py::Ref::steal(Py_BuildValue("{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
                                     "Log the number of findings of each kind."));
    return attrs ? commands::add_option(click, command, "--summary", nullptr, attrs.get()) : -1;
}

// --quiet / -q: nothing on success; the findings and the verdict when validation fails.
int add_quiet_option(PyObject* click, PyObject* command) {
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Print nothing when every file matches; otherwise only the findings and the ERROR lines "
        "(on standard output, like the log). The exit status is the same."));
    return attrs ? commands::add_option(click, command, "--quiet", "-q", attrs.get()) : -1;
}

// --check-metadata: also report changed permission bits, owners, groups and link targets.
int add_check_metadata_option(PyObject* click, PyObject* command) {
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Also report each file whose permission bits, owner, group or link target differ from "
        "the certificate's file metadata (kept by sign_folder --update); these findings do not "
        "fail the validation."));
    return attrs ? commands::add_option(click, command, "--check-metadata", nullptr, attrs.get())
                 : -1;
}

}  // namespace

int init_validate_certificate_command(PyObject* m) {
    py::Ref click;
    if (commands::load_common(m, "validate_certificate", click) < 0) return -1;
    py::Ref command = commands::make_command(m, click.get(), &kValidateDef, "validate_certificate",
                                             "Command to validate folder according to certificate.",
                                             kValidateEpilog);
    if (!command || commands::add_dir_path_option(click.get(), command.get(),
                                                  "Path to the folder to validate.") < 0)
        return -1;
    py::Ref kw =
        py::Ref::steal(Py_BuildValue("{sOsO}", "file_okay", Py_True, "dir_okay", Py_False));
    if (!kw) return -1;
    py::Ref type = commands::path_type(click.get(), kw.get());
    if (!type) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue("{sOss}", "type", type.get(), "help",
                                                 "Path to the certificate file to validate."));
    if (!attrs || commands::add_option(click.get(), command.get(), "--certificate-file", "-c",
                                       attrs.get()) < 0)
        return -1;
    if (add_match_option(click.get(), command.get()) < 0 ||
        add_summary_option(click.get(), command.get()) < 0 ||
        commands::add_report_option(click.get(), command.get()) < 0)
        return -1;
    if (commands::add_jobs_option(click.get(), command.get()) < 0 ||
        commands::add_scheduler_option(click.get(), command.get()) < 0 ||
        add_quiet_option(click.get(), command.get()) < 0 ||
        add_check_metadata_option(click.get(), command.get()) < 0 ||
        commands::add_cache_options(click.get(), command.get()) < 0)
        return -1;
    if (commands::add_signer_options(click.get(), command.get()) < 0) return -1;
    return py::set_attr(m, "validate_certificate_command", command.get());
}

}  // namespace mavelin::commands
