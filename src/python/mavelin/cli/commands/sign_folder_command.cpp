// The command `sign_folder` of the command group (module mavelin.cli.commands.sign_folder_command).
#include <cstring>

#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/text.h"
#include "python/mavelin/cli/commands/command_support.h"
#include "python/mavelin/utils/run_files.h"
#include "python/package_tree.h"

namespace mavelin::commands {
namespace {

constexpr const char kSignEpilog[] =
    "\b\nExamples:\n"
    "  mavelin sign_folder -p photos\n"
    "  mavelin sign_folder -p /mnt/snapshot -o snapshot.korvex -j 2\n"
    "  mavelin sign_folder -p photos --key ~/.ssh/id_ed25519\n"
    "  mavelin sign_folder -p photos --update\n\n"
    "Without -o the certificate is DIR/Certificates/Certificate.korvex. Either way it is\n"
    "replaced atomically: a failed or interrupted run (Ctrl-C) leaves the previous one.\n\n"
    "Exit status: 0 when the certificate was written; 1 when no file was found, a file\n"
    "could not be read or the certificate could not be written (checked before any hashing);\n"
    "2 when the arguments are refused (an -o or --report that cannot be written); 130 when\n"
    "interrupted (Ctrl-C).";

// Without --output: a tree whose certificate folder cannot be written fails at once, with one
// ERROR line that points to --output, instead of after all the hashing.
int check_certificate_folder(PyObject* dir_path, PyObject* output) {
    if (output != Py_None) return 0;
    int err = 0;
    py::Ref folder;
    const int writable = run_files::certificate_folder_writable(dir_path, err, folder);
    if (writable != 0) return writable < 0 ? -1 : 0;
    py::Ref shown = py::display_text(folder.get());
    py::Ref logger = py::import_attr("mavelin.utils.sign_folder", "logger");
    py::Ref message = shown ? py::Ref::steal(PyUnicode_FromFormat(
                                  "The certificate can't be written in %U: %s. Write it "
                                  "elsewhere with -o / --output.",
                                  shown.get(), std::strerror(err)))
                            : py::Ref();
    if (!message || !logger || py::log(logger.get(), "error", message.get()) < 0) return -1;
    py::exit_request();
    return -1;
}

PyObject* sign_folder_command(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"dir_path",         "mode",       "report", "jobs",
                                   "output",           "scheduler",  "key",    "update",
                                   "certificate_file", "keep_cache", "direct", nullptr};
    PyObject *dir_path, *mode, *report, *jobs = Py_None, *output = Py_None, *scheduler = Py_None;
    PyObject *key = Py_None, *update = Py_False, *certificate_file = Py_None;
    PyObject *keep_cache = Py_False, *direct = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OOOOOOOO:sign_folder_command",
                                     const_cast<char**>(kwlist), &dir_path, &mode, &report, &jobs,
                                     &output, &scheduler, &key, &update, &certificate_file,
                                     &keep_cache, &direct))
        return nullptr;
    if (commands::require_dir_path(dir_path) < 0 ||
        commands::check_outputs(dir_path, report, output, output == Py_None ? nullptr : output) <
            0 ||
        commands::check_scheduler(scheduler) < 0 || commands::move_log_to_stderr(report) < 0 ||
        check_certificate_folder(dir_path, output) < 0)
        return nullptr;
    py::Ref procedure = py::Ref::steal(PyObject_GetAttrString(module, "sign_folder"));
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, dir_path, mode));
    py::Ref call_kw = commands::procedure_keywords({{"report", report},
                                                    {"jobs", jobs},
                                                    {"output", output},
                                                    {"progress", Py_True},
                                                    {"scheduler", scheduler},
                                                    {"key", key},
                                                    {"update", update},
                                                    {"certificate", certificate_file},
                                                    {"keep_cache", keep_cache},
                                                    {"direct", direct}});
    if (!procedure || !call_args || !call_kw) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_Call(procedure.get(), call_args.get(), call_kw.get()));
    if (!r) return commands::report_failure("mavelin.utils.sign_folder");
    Py_RETURN_NONE;
}

PyMethodDef kSignDef =
    py::method<sign_folder_command>("sign_folder_command", METH_VARARGS | METH_KEYWORDS, nullptr);

}  // namespace

int init_sign_folder_command(PyObject* m) {
    py::Ref click;
    if (commands::load_common(m, "sign_folder", click) < 0) return -1;
    py::Ref command =
        commands::make_command(m, click.get(), &kSignDef, "sign_folder",
                               "Command to create certificate for folder.", kSignEpilog);
    if (!command ||
        commands::add_dir_path_option(click.get(), command.get(),
                                      "Path to the folder which have to be signed.") < 0)
        return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{ssss}", "default", "default", "help",
        "'silent': log no INFO lines and draw no progress line (warnings and errors are still "
        "logged); any other word: log every step (the default)."));
    if (!attrs || commands::add_option(click.get(), command.get(), "--mode", "-m", attrs.get()) < 0)
        return -1;
    if (commands::add_report_option(click.get(), command.get()) < 0) return -1;
    if (commands::add_jobs_option(click.get(), command.get()) < 0 ||
        commands::add_scheduler_option(click.get(), command.get()) < 0 ||
        commands::add_cache_options(click.get(), command.get()) < 0)
        return -1;
    py::Ref kw =
        py::Ref::steal(Py_BuildValue("{sOsO}", "file_okay", Py_True, "dir_okay", Py_False));
    py::Ref type = kw ? commands::path_type(click.get(), kw.get()) : py::Ref();
    if (!type) return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{sOss}", "type", type.get(), "help",
        "Write the certificate to this file instead of DIR/Certificates/Certificate.korvex "
        "(for read-only trees); validate it later with -c."));
    if (!attrs ||
        commands::add_option(click.get(), command.get(), "--output", "-o", attrs.get()) < 0)
        return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{ss}", "help",
        "Sign the certificate with this SSH key (ssh-keygen -Y sign): a private key file, or a "
        "public key whose private half ssh-agent holds. Checked later with validate_certificate "
        "--allowed-signers."));
    if (!attrs ||
        commands::add_option(click.get(), command.get(), "--key", nullptr, attrs.get()) < 0)
        return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Read again only the files whose size, times, device or inode changed since the "
        "certificate was made (it believes the file system's metadata; validation never does), "
        "and keep the files' metadata in the new certificate."));
    if (!attrs ||
        commands::add_option(click.get(), command.get(), "--update", nullptr, attrs.get()) < 0)
        return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{sOss}", "type", type.get(), "help",
        "With --update: the certificate to take fingerprints from (default: the one -o names, "
        "else DIR/Certificates/Certificate.korvex)."));
    if (!attrs || commands::add_option(click.get(), command.get(), "--certificate-file", "-c",
                                       attrs.get()) < 0)
        return -1;
    return py::set_attr(m, "sign_folder_command", command.get());
}

}  // namespace mavelin::commands
