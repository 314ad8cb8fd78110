// The commands `sign_folder` and `validate_certificate` of the command group.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "python/capi/common.h"
#include "python/capi/entry.h"
#include "python/mavelin/utils/logger.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/mavelin/utils/run_files.h"
#include "python/package_tree.h"

namespace mavelin::modules {
namespace {

constexpr const char kSignEpilog[] =
    "\b\nExamples:\n"
    "  mavelin sign_folder -p photos\n"
    "  mavelin sign_folder -p /mnt/snapshot -o snapshot.korvex -j 2\n\n"
    "Without -o the certificate is DIR/Certificates/Certificate.korvex. Either way it is\n"
    "replaced atomically: a failed or interrupted run (Ctrl-C) leaves the previous one.\n\n"
    "Exit status: 0 when the certificate was written; 1 when no file was found, a file\n"
    "could not be read or the certificate could not be written (checked before any hashing);\n"
    "2 when the arguments are refused (an -o or --report that cannot be written); 130 when\n"
    "interrupted (Ctrl-C).";

constexpr const char kValidateEpilog[] =
    "\b\nExamples:\n"
    "  mavelin validate_certificate -p photos\n"
    "  mavelin validate_certificate -p /mnt/snapshot -c snapshot.korvex\n\n"
    "Without -c the certificate is searched for inside DIR.\n\n"
    "Exit status: 0 when every file matches the certificate; 1 when files failed\n"
    "validation, no certificate was found, or the certificate or a file could not be read;\n"
    "2 when the arguments are refused (a folder or certificate file that does not exist, a\n"
    "--report that cannot be written or names the certificate);\n"
    "130 when interrupted (Ctrl-C).";

// Raises click's `error_class` (UsageError, BadParameter) for the current command; -1.
int usage_error(const char* error_class, PyObject* message, const char* param_hint) {
    py::Ref click = py::import("click");
    if (!click) return -1;
    py::Ref ctx =
        py::Ref::steal(PyObject_CallMethod(click.get(), "get_current_context", "O", Py_True));
    py::Ref error_type = py::Ref::steal(PyObject_GetAttrString(click.get(), error_class));
    py::Ref args = py::Ref::steal(PyTuple_Pack(1, message));
    py::Ref kw = py::Ref::steal(
        param_hint ? Py_BuildValue("{sOss}", "ctx", ctx.get(), "param_hint", param_hint)
                   : Py_BuildValue("{sO}", "ctx", ctx.get()));
    if (!ctx || !error_type || !args || !kw) return -1;
    py::Ref error = py::Ref::steal(PyObject_Call(error_type.get(), args.get(), kw.get()));
    if (!error) return -1;
    PyErr_SetObject(error_type.get(), error.get());
    return -1;
}

// Refuses a run without --dir-path as a usage error, before any procedure runs.
int require_dir_path(PyObject* dir_path) {
    if (dir_path != Py_None) return 0;
    py::Ref message = py::Ref::steal(PyUnicode_FromString("Missing option '--dir-path' / '-p'."));
    return message ? usage_error("UsageError", message.get(), nullptr) : -1;
}

// A refusal of run_files (an OSError set, for the path the option names) as click's
// BadParameter for `param_hint`, before hours of hashing are spent; other errors pass.
int refused_option(const char* param_hint) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    py::FetchedError error = py::fetch_error();
    py::Ref reason = py::attr(error.value.get(), "strerror");
    py::Ref path = reason ? py::attr(error.value.get(), "filename") : py::Ref();
    if (!path) return -1;
    py::Ref shown =
        PyBytes_Check(path.get())
            ? py::decode_path(std::string_view(PyBytes_AS_STRING(path.get()),
                                               static_cast<size_t>(PyBytes_GET_SIZE(path.get()))))
            : py::Ref::steal(PyOS_FSPath(path.get()));
    py::Ref message =
        shown ? py::Ref::steal(PyUnicode_FromFormat("%S: %R", reason.get(), shown.get()))
              : py::Ref();
    return message ? usage_error("BadParameter", message.get(), param_hint) : -1;
}

// Refuses an --output or a --report that cannot be written (a missing or read-only folder, a
// device, named pipe, socket or link in the way), and a report that would replace the
// certificate (`certificate`, the one named; null: the places where signing writes it or the
// search looks).
int check_outputs(PyObject* dir_path, PyObject* report, PyObject* output, PyObject* certificate) {
    constexpr const char* kOutput = "'--output' / '-o'";
    if (output && output != Py_None && run_files::check_target(output, "certificate") < 0)
        return refused_option(kOutput);
    if (report == Py_None || procedures::is_dash(report)) return 0;
    if (run_files::check_target(report, "report") < 0 ||
        run_files::check_report_place(report, dir_path, certificate) < 0)
        return refused_option("'--report'");
    return 0;
}

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

// Refuses a --scheduler that cannot be used: no Dask support installed, or "auto" without
// DASK_SCHEDULER_ADDRESS.
int check_scheduler(PyObject* scheduler) {
    if (scheduler == Py_None) return 0;
    const char* why = nullptr;
    py::Ref util = py::import("importlib.util");
    if (!util) return -1;
    py::Ref spec = py::Ref::steal(PyObject_CallMethod(util.get(), "find_spec", "s", "distributed"));
    if (!spec) return -1;
    if (spec.get() == Py_None) {
        why = "needs the optional Dask support: pip install 'mavelin[dask]'";
    } else if (PyUnicode_Check(scheduler) &&
               PyUnicode_CompareWithASCIIString(scheduler, "auto") == 0) {
        const char* env = std::getenv("DASK_SCHEDULER_ADDRESS");
        if (!env || !*env) why = "'auto' needs DASK_SCHEDULER_ADDRESS to be set";
    }
    if (!why) return 0;
    py::Ref message = py::Ref::steal(PyUnicode_FromString(why));
    return message ? usage_error("BadParameter", message.get(), "'--scheduler'") : -1;
}

// Refuses a --certificate-file that does not exist (an empty one still means: search for it).
int check_certificate_file(PyObject* certificate_file) {
    if (certificate_file == Py_None) return 0;
    std::string path;
    if (py::encode_path(certificate_file, path) < 0) return -1;
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) == 0) return 0;
    py::Ref message =
        py::Ref::steal(PyUnicode_FromFormat("File %R does not exist.", certificate_file));
    return message ? usage_error("BadParameter", message.get(), "'--certificate-file' / '-c'") : -1;
}

// kwargs for a procedure call: the given pairs, None values left out.
py::Ref procedure_keywords(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    py::Ref kw = py::Ref::steal(PyDict_New());
    if (!kw) return {};
    for (const auto& [name, value] : items)
        if (value && value != Py_None && PyDict_SetItemString(kw.get(), name, value) < 0) return {};
    return kw;
}

// The exceptions the command line reports as one ERROR line: OS errors and archive errors.
py::Ref reported_types() {
    py::Ref bad_zip = py::import_attr("zipfile", "BadZipFile");
    if (!bad_zip) return {};
    return py::Ref::steal(PyTuple_Pack(3, PyExc_OSError, bad_zip.get(), PyExc_KeyError));
}

// Turns an OS or archive error into one ERROR line and the exit request, so the command
// line ends with a message instead of a traceback, and Ctrl-C into exit status 130.
// Anything else passes unchanged.
// Always returns null.
PyObject* report_failure(const char* logger_module) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        // Ctrl-C: the status a shell gives a run ended by SIGINT, without a traceback.
        PyErr_Clear();
        py::Ref code = py::Ref::steal(PyLong_FromLong(130));
        if (code) PyErr_SetObject(PyExc_SystemExit, code.get());
        return nullptr;
    }
    py::FetchedError error = py::fetch_error();
    PyObject* t = error.type.get();
    PyObject* v = error.value.get();
    if (!t || !PyErr_GivenExceptionMatches(t, PyExc_Exception)) {
        error.restore();
        return nullptr;
    }
    py::Ref handled = reported_types();
    if (!handled) return nullptr;
    // A closed standard output (a reader that stopped early) is left to the command group,
    // which ends the run quietly with status 1: a log line about it could not be written.
    if (!PyErr_GivenExceptionMatches(t, handled.get()) ||
        PyErr_GivenExceptionMatches(t, PyExc_BrokenPipeError)) {
        error.restore();
        return nullptr;
    }
    py::Ref reason;
    if (PyErr_GivenExceptionMatches(t, PyExc_KeyError)) {
        py::Ref args = py::attr(v, "args");
        if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1)
            reason = py::Ref::steal(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
    }
    if (!reason) reason = py::Ref::steal(PyObject_Str(v));
    if (!reason) return nullptr;
    py::Ref shown = py::display_text(reason.get());
    py::Ref logger = py::import_attr(logger_module, "logger");
    if (!shown || !logger || py::log(logger.get(), "error", shown.get()) < 0) return nullptr;
    return py::exit_request();
}

// With the report on standard output, the log lines that the command line's handlers write
// there go to standard error instead.
int move_log_to_stderr(PyObject* report) {
    if (!PyUnicode_Check(report) || PyUnicode_CompareWithASCIIString(report, "-") != 0) return 0;
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    py::Ref root =
        py::Ref::steal(PyObject_CallMethod(py::import("logging").get(), "getLogger", nullptr));
    if (!root) return -1;
    if (!out || !err) return 0;
    py::Ref handlers = py::Ref::steal(PyObject_GetAttrString(root.get(), "handlers"));
    if (!handlers) return -1;
    py::Ref seq = py::Ref::steal(PySequence_Fast(handlers.get(), "handlers must be a sequence"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* handler = PySequence_Fast_GET_ITEM(seq.get(), i);
        py::Ref stream = py::Ref::steal(PyObject_GetAttrString(handler, "stream"));
        if (!stream) {
            PyErr_Clear();
            continue;
        }
        if (stream.get() != out) continue;
        py::Ref r = py::Ref::steal(PyObject_CallMethod(handler, "setStream", "O", err));
        if (!r) return -1;
    }
    return 0;
}

PyObject* sign_folder_command(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"dir_path", "mode",      "report", "jobs",
                                   "output",   "scheduler", nullptr};
    PyObject *dir_path, *mode, *report, *jobs = Py_None, *output = Py_None, *scheduler = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OOO:sign_folder_command",
                                     const_cast<char**>(kwlist), &dir_path, &mode, &report, &jobs,
                                     &output, &scheduler))
        return nullptr;
    if (require_dir_path(dir_path) < 0 ||
        check_outputs(dir_path, report, output, output == Py_None ? nullptr : output) < 0 ||
        check_scheduler(scheduler) < 0 || move_log_to_stderr(report) < 0 ||
        check_certificate_folder(dir_path, output) < 0)
        return nullptr;
    py::Ref procedure = py::Ref::steal(PyObject_GetAttrString(module, "sign_folder"));
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, dir_path, mode));
    py::Ref call_kw = procedure_keywords({{"report", report},
                                          {"jobs", jobs},
                                          {"output", output},
                                          {"progress", Py_True},
                                          {"scheduler", scheduler}});
    if (!procedure || !call_args || !call_kw) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_Call(procedure.get(), call_args.get(), call_kw.get()));
    if (!r) return report_failure("mavelin.utils.sign_folder");
    Py_RETURN_NONE;
}

PyObject* validate_certificate_command(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"dir_path", "certificate_file", "match", "summary", "report",
                                   "jobs",     "scheduler",        "quiet", nullptr};
    PyObject *dir_path, *certificate_file, *match, *summary, *report, *jobs = Py_None;
    PyObject* scheduler = Py_None;
    int quiet = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOp:validate_certificate_command",
                                     const_cast<char**>(kwlist), &dir_path, &certificate_file,
                                     &match, &summary, &report, &jobs, &scheduler, &quiet))
        return nullptr;
    const bool named = certificate_file != Py_None && PyObject_IsTrue(certificate_file) == 1;
    if (require_dir_path(dir_path) < 0 || check_certificate_file(certificate_file) < 0 ||
        check_outputs(dir_path, report, nullptr, named ? certificate_file : nullptr) < 0 ||
        check_scheduler(scheduler) < 0 || move_log_to_stderr(report) < 0 ||
        (quiet && quiet_command_line_log() < 0))
        return nullptr;
    py::Ref procedure = py::Ref::steal(PyObject_GetAttrString(module, "validate_certificate"));
    py::Ref call_args = py::Ref::steal(PyTuple_Pack(2, dir_path, certificate_file));
    py::Ref call_kw = procedure_keywords({{"match", match},
                                          {"summary", summary},
                                          {"report", report},
                                          {"jobs", jobs},
                                          {"progress", quiet ? Py_False : Py_True},
                                          {"scheduler", scheduler}});
    if (!procedure || !call_args || !call_kw) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_Call(procedure.get(), call_args.get(), call_kw.get()));
    if (r) Py_RETURN_NONE;
    return report_failure("mavelin.utils.validate_certificate");
}

PyMethodDef kSignDef =
    py::method<sign_folder_command>("sign_folder_command", METH_VARARGS | METH_KEYWORDS, nullptr);
PyMethodDef kValidateDef = py::method<validate_certificate_command>(
    "validate_certificate_command", METH_VARARGS | METH_KEYWORDS, nullptr);

// click.option(long, short, **attrs)(command); a null `short_name` gives the long name only.
int add_option(PyObject* click, PyObject* command, const char* long_name, const char* short_name,
               PyObject* attrs) {
    py::Ref option = py::Ref::steal(PyObject_GetAttrString(click, "option"));
    py::Ref decls = py::Ref::steal(short_name ? Py_BuildValue("(ss)", long_name, short_name)
                                              : Py_BuildValue("(s)", long_name));
    if (!option || !decls) return -1;
    py::Ref decorator = py::Ref::steal(PyObject_Call(option.get(), decls.get(), attrs));
    if (!decorator) return -1;
    py::Ref r = py::Ref::steal(PyObject_CallOneArg(decorator.get(), command));
    return r ? 0 : -1;
}

// click.Path(**kwargs)
py::Ref path_type(PyObject* click, PyObject* kwargs) {
    py::Ref path = py::Ref::steal(PyObject_GetAttrString(click, "Path"));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    if (!path || !no_args) return {};
    return py::Ref::steal(PyObject_Call(path.get(), no_args.get(), kwargs));
}

// Builds the command object: click.command(name=..., help=...)(function) plus its options.
py::Ref make_command(PyObject* m, PyObject* click, PyMethodDef* def, const char* name,
                     const char* help, const char* epilog) {
    py::Ref modname = py::Ref::steal(PyObject_GetAttrString(m, "__name__"));
    if (!modname) return {};
    py::Ref function = py::Ref::steal(PyCFunction_NewEx(def, m, modname.get()));
    py::Ref command_factory = py::Ref::steal(PyObject_GetAttrString(click, "command"));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref kw =
        py::Ref::steal(Py_BuildValue("{ssssss}", "name", name, "help", help, "epilog", epilog));
    if (!function || !command_factory || !no_args || !kw) return {};
    py::Ref decorator =
        py::Ref::steal(PyObject_Call(command_factory.get(), no_args.get(), kw.get()));
    if (!decorator) return {};
    return py::Ref::steal(PyObject_CallOneArg(decorator.get(), function.get()));
}

int add_dir_path_option(PyObject* click, PyObject* command, const char* help) {
    py::Ref kw = py::Ref::steal(
        Py_BuildValue("{sOsOsO}", "exists", Py_True, "dir_okay", Py_True, "file_okay", Py_False));
    if (!kw) return -1;
    py::Ref type = path_type(click, kw.get());
    if (!type) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue("{sOss}", "type", type.get(), "help", help));
    if (!attrs) return -1;
    return add_option(click, command, "--dir-path", "-p", attrs.get());
}

// --match path|position: how certified files meet the files of the tree.
int add_match_option(PyObject* click, PyObject* command) {
    py::Ref choice =
        py::Ref::steal(PyObject_CallMethod(click, "Choice", "[ss]", "path", "position"));
    if (!choice) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOsssOss}", "type", choice.get(), "default", "path", "show_default", Py_True, "help",
        "Pair every certified file with the file of the same path (path), or pair the "
        "certificate's entries with the folder's entries one by one in their order (position)."));
    return attrs ? add_option(click, command, "--match", nullptr, attrs.get()) : -1;
}

// --summary: one more INFO line with the number of findings of each kind.
int add_summary_option(PyObject* click, PyObject* command) {
    py::Ref attrs =
        py::Ref::steal(Py_BuildValue("{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
                                     "Log the number of findings of each kind."));
    return attrs ? add_option(click, command, "--summary", nullptr, attrs.get()) : -1;
}

// --report FILE: the JSON report of the run; "-" for standard output.
int add_report_option(PyObject* click, PyObject* command) {
    py::Ref kw = py::Ref::steal(Py_BuildValue("{sOsOsO}", "dir_okay", Py_False, "allow_dash",
                                              Py_True, "writable", Py_True));
    if (!kw) return -1;
    py::Ref type = path_type(click, kw.get());
    if (!type) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOss}", "type", type.get(), "help",
        "Write a JSON report of the run to this file ('-' for standard output; the log then goes "
        "to standard error)."));
    return attrs ? add_option(click, command, "--report", nullptr, attrs.get()) : -1;
}

// --jobs / -j: a whole number from 1, no default (one thread per processor).
int add_jobs_option(PyObject* click, PyObject* command) {
    py::Ref int_range = py::Ref::steal(PyObject_GetAttrString(click, "IntRange"));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref range_kw = py::Ref::steal(Py_BuildValue("{si}", "min", 1));
    if (!int_range || !no_args || !range_kw) return -1;
    py::Ref type = py::Ref::steal(PyObject_Call(int_range.get(), no_args.get(), range_kw.get()));
    if (!type) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOssss}", "type", type.get(), "metavar", "N", "help",
        "Hashing threads (default: one per processor). The result does not depend on it."));
    return attrs ? add_option(click, command, "--jobs", "-j", attrs.get()) : -1;
}

// --scheduler ADDRESS: hash on a Dask cluster ("auto": DASK_SCHEDULER_ADDRESS).
int add_scheduler_option(PyObject* click, PyObject* command) {
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{ssss}", "metavar", "ADDRESS", "help",
        "Hash on the Dask cluster of this scheduler ('auto': DASK_SCHEDULER_ADDRESS); --jobs is "
        "then threads per worker. Needs mavelin[dask]."));
    return attrs ? add_option(click, command, "--scheduler", nullptr, attrs.get()) : -1;
}

// --quiet / -q: nothing on success; the findings and the verdict when validation fails.
int add_quiet_option(PyObject* click, PyObject* command) {
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Print nothing when every file matches; otherwise only the findings and the ERROR lines "
        "(on standard output, like the log). The exit status is the same."));
    return attrs ? add_option(click, command, "--quiet", "-q", attrs.get()) : -1;
}

// Loads click and the procedure `procedure` from mavelin.utils into the command module.
int load_common(PyObject* m, const char* procedure, py::Ref& click) {
    click = py::import("click");
    if (!click || py::set_attr(m, "click", click.get()) < 0) return -1;
    py::Ref proc = py::import_attr("mavelin.utils", procedure);
    if (!proc) return -1;
    return py::set_attr(m, procedure, proc.get());
}

}  // namespace

int init_sign_folder_command(PyObject* m) {
    py::Ref click;
    if (load_common(m, "sign_folder", click) < 0) return -1;
    py::Ref command = make_command(m, click.get(), &kSignDef, "sign_folder",
                                   "Command to create certificate for folder.", kSignEpilog);
    if (!command || add_dir_path_option(click.get(), command.get(),
                                        "Path to the folder which have to be signed.") < 0)
        return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{ssss}", "default", "default", "help",
        "'silent': log no INFO lines and draw no progress line (warnings and errors are still "
        "logged); any other word: log every step (the default)."));
    if (!attrs || add_option(click.get(), command.get(), "--mode", "-m", attrs.get()) < 0)
        return -1;
    if (add_report_option(click.get(), command.get()) < 0) return -1;
    if (add_jobs_option(click.get(), command.get()) < 0 ||
        add_scheduler_option(click.get(), command.get()) < 0)
        return -1;
    py::Ref kw =
        py::Ref::steal(Py_BuildValue("{sOsO}", "file_okay", Py_True, "dir_okay", Py_False));
    py::Ref type = kw ? path_type(click.get(), kw.get()) : py::Ref();
    if (!type) return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{sOss}", "type", type.get(), "help",
        "Write the certificate to this file instead of DIR/Certificates/Certificate.korvex "
        "(for read-only trees); validate it later with -c."));
    if (!attrs || add_option(click.get(), command.get(), "--output", "-o", attrs.get()) < 0)
        return -1;
    return py::set_attr(m, "sign_folder_command", command.get());
}

int init_validate_certificate_command(PyObject* m) {
    py::Ref click;
    if (load_common(m, "validate_certificate", click) < 0) return -1;
    py::Ref command =
        make_command(m, click.get(), &kValidateDef, "validate_certificate",
                     "Command to validate folder according to certificate.", kValidateEpilog);
    if (!command ||
        add_dir_path_option(click.get(), command.get(), "Path to the folder to validate.") < 0)
        return -1;
    py::Ref kw =
        py::Ref::steal(Py_BuildValue("{sOsO}", "file_okay", Py_True, "dir_okay", Py_False));
    if (!kw) return -1;
    py::Ref type = path_type(click.get(), kw.get());
    if (!type) return -1;
    py::Ref attrs = py::Ref::steal(Py_BuildValue("{sOss}", "type", type.get(), "help",
                                                 "Path to the certificate file to validate."));
    if (!attrs ||
        add_option(click.get(), command.get(), "--certificate-file", "-c", attrs.get()) < 0)
        return -1;
    if (add_match_option(click.get(), command.get()) < 0 ||
        add_summary_option(click.get(), command.get()) < 0 ||
        add_report_option(click.get(), command.get()) < 0)
        return -1;
    if (add_jobs_option(click.get(), command.get()) < 0 ||
        add_scheduler_option(click.get(), command.get()) < 0 ||
        add_quiet_option(click.get(), command.get()) < 0)
        return -1;
    return py::set_attr(m, "validate_certificate_command", command.get());
}

}  // namespace mavelin::modules
