// What the commands of the command group share: usage errors, the checks of the options before
// a procedure runs, the failure report, and the click options both commands take.
#include "python/mavelin/cli/commands/command_support.h"

#include <cstdlib>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/capi/text.h"
#include "python/mavelin/utils/procedure_support.h"
#include "python/mavelin/utils/run_files.h"

namespace mavelin::commands {

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

namespace {

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

}  // namespace

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

// kwargs for a procedure call: the given pairs, None values left out.
py::Ref procedure_keywords(std::initializer_list<std::pair<const char*, PyObject*>> items) {
    py::Ref kw = py::Ref::steal(PyDict_New());
    if (!kw) return {};
    for (const auto& [name, value] : items)
        if (value && value != Py_None && PyDict_SetItemString(kw.get(), name, value) < 0) return {};
    return kw;
}

namespace {

// The exceptions the command line reports as one ERROR line: OS errors and archive errors.
py::Ref reported_types() {
    py::Ref bad_zip = py::import_attr("zipfile", "BadZipFile");
    if (!bad_zip) return {};
    return py::Ref::steal(PyTuple_Pack(3, PyExc_OSError, bad_zip.get(), PyExc_KeyError));
}

}  // namespace

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
int add_cache_options(PyObject* click, PyObject* command) {
    py::Ref keep = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Leave the files read in the page cache (default: the pages this run brings in are "
        "dropped again, those cached before stay)."));
    if (!keep || add_option(click, command, "--keep-cache", nullptr, keep.get()) < 0) return -1;
    py::Ref direct = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Read every byte from the device with direct I/O, bypassing cached copies (for checking "
        "archives for decay at rest); a file system that refuses it is read as usual."));
    return direct ? add_option(click, command, "--direct", nullptr, direct.get()) : -1;
}

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

// Loads click and the procedure `procedure` from mavelin.utils into the command module.
int load_common(PyObject* m, const char* procedure, py::Ref& click) {
    click = py::import("click");
    if (!click || py::set_attr(m, "click", click.get()) < 0) return -1;
    py::Ref proc = py::import_attr("mavelin.utils", procedure);
    if (!proc) return -1;
    return py::set_attr(m, procedure, proc.get());
}

// --allowed-signers FILE (default: MAVELIN_ALLOWED_SIGNERS) and --identity NAME.
int add_signer_options(PyObject* click, PyObject* command) {
    py::Ref attrs = py::Ref::steal(Py_BuildValue(
        "{ssss}", "envvar", "MAVELIN_ALLOWED_SIGNERS", "help",
        "OpenSSH allowed-signers file (principals, namespaces=, valid-after/valid-before): the "
        "certificate must be signed by a key it trusts. Default: $MAVELIN_ALLOWED_SIGNERS."));
    if (!attrs || add_option(click, command, "--allowed-signers", nullptr, attrs.get()) < 0)
        return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{ss}", "help",
        "The principal the signer must be in the allowed-signers file (default: any principal "
        "listed for the signing key)."));
    return attrs ? add_option(click, command, "--identity", nullptr, attrs.get()) : -1;
}

}  // namespace mavelin::commands
