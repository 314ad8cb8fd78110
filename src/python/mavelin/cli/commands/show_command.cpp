// The command `show` of the command group (module mavelin.cli.commands.show_command): what a
// certificate holds (its description, its signature, its table of paths and fingerprints),
// read with the same restricted, bounded reader as validation, without reading any tree.
#include <string>

#include "engine/certificate_format.h"
#include "python/capi/attribute_names.h"
#include "python/capi/entry.h"
#include "python/capi/errors.h"
#include "python/capi/import.h"
#include "python/capi/logging.h"
#include "python/capi/paths.h"
#include "python/certificate/pinned_archive.h"
#include "python/certificate/reader.h"
#include "python/certificate/signature.h"
#include "python/mavelin/cli/commands/command_support.h"
#include "python/mavelin/core/models.h"
#include "python/package_tree.h"

namespace mavelin::commands {
namespace {

constexpr const char kShowEpilog[] =
    "\b\nExamples:\n"
    "  mavelin show photos/Certificates/Certificate.korvex\n"
    "  mavelin show snapshot.korvex --allowed-signers ~/.config/mavelin/signers --report -\n\n"
    "Exit status: 0 when the certificate was read (and its signature, when it has one, is\n"
    "sound and, with --allowed-signers, made by a trusted signer); 1 otherwise.";

PyObject* logger(PyObject* module) {
    return PyObject_GetAttrString(module, "logger");
}

int echo(PyObject* click, PyObject* text) {
    py::Ref r = py::Ref::steal(PyObject_CallMethod(click, "echo", "O", text));
    return r ? 0 : -1;
}

int echo_format(PyObject* click, PyObject* text) {
    if (!text) return -1;
    py::Ref owned = py::Ref::steal(text);
    return echo(click, owned.get());
}

// The table as a list of {"path": ..., "fingerprint": [...]} (just "path" with `paths_only`).
py::Ref files_of(PyObject* table, bool paths_only) {
    py::Ref files = py::Ref::steal(PyList_New(0));
    if (!files) return {};
    PyObject *key, *node;
    Py_ssize_t pos = 0;
    while (PyDict_Next(table, &pos, &key, &node)) {
        py::Ref path = py::attr(node, "file_path");
        if (!path) return {};
        py::Ref entry = py::Ref::steal(Py_BuildValue("{sO}", "path", path.get()));
        if (!entry) return {};
        if (!paths_only) {
            py::Ref fp =
                py::Ref::steal(PyObject_GetAttrString(node, "_FileNode__hash_fingerprint"));
            if (!fp) {
                PyErr_Clear();
                fp = py::Ref::borrow(Py_None);
            }
            if (PyDict_SetItemString(entry.get(), "fingerprint", fp.get()) < 0) return {};
        }
        if (PyList_Append(files.get(), entry.get()) < 0) return {};
    }
    return files;
}

// A fingerprint as its rows' hex digests joined by ",".
py::Ref rows_text(PyObject* fingerprint) {
    if (fingerprint == Py_None) return py::Ref::steal(PyUnicode_FromString("-"));
    py::Ref flat = py::Ref::steal(PyList_New(0));
    py::Ref seq = flat ? py::Ref::steal(PySequence_Fast(fingerprint, "")) : py::Ref();
    if (!seq) return {};
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), i);
        py::Ref text = PyList_Check(row) && PyList_GET_SIZE(row) == 1
                           ? py::Ref::steal(PyObject_Str(PyList_GET_ITEM(row, 0)))
                           : py::Ref::steal(PyObject_Str(row));
        if (!text || PyList_Append(flat.get(), text.get()) < 0) return {};
    }
    py::Ref comma = py::Ref::steal(PyUnicode_FromString(","));
    return comma ? py::Ref::steal(PyUnicode_Join(comma.get(), flat.get())) : py::Ref();
}

int print_text(PyObject* click, PyObject* cert, const certificate::SignatureFacts& facts,
               PyObject* files, bool paths_only) {
    if (!paths_only) {
        if (echo_format(click, PyUnicode_FromFormat("Certificate: %S", cert)) < 0) return -1;
        PyObject* d = facts.description.get();
        if (d) {
            auto item = [&](const char* k) {
                PyObject* v = PyDict_GetItemString(d, k);
                return v ? v : Py_None;
            };
            if (echo_format(click, PyUnicode_FromFormat("Made: %S by mavelin %S (format %S)",
                                                        item("created"), item("tool_version"),
                                                        item("format"))) < 0 ||
                echo_format(click, PyUnicode_FromFormat(
                                       "Folder: %S, %S files, %S bytes, chunk size %S, "
                                       "transformation step %S",
                                       item("folder"), item("files"), item("bytes"),
                                       item("chunk_size"), item("transformation_step"))) < 0)
                return -1;
        }
        PyObject* line =
            !facts.is_signed ? PyUnicode_FromString("Signature: none")
            : facts.verified
                ? PyUnicode_FromFormat("Signature: signed by %s (key %s), verified",
                                       facts.principal.c_str(), facts.fingerprint.c_str())
                : PyUnicode_FromFormat(
                      "Signature: signed by key %s, but the signer was not checked "
                      "(no --allowed-signers)",
                      facts.fingerprint.c_str());
        if (echo_format(click, line) < 0) return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files); ++i) {
        PyObject* entry = PyList_GET_ITEM(files, i);
        PyObject* path = PyDict_GetItemString(entry, "path");
        if (paths_only) {
            if (echo(click, path) < 0) return -1;
            continue;
        }
        py::Ref rows = rows_text(PyDict_GetItemString(entry, "fingerprint"));
        if (!rows || echo_format(click, PyUnicode_FromFormat("%S  %S", path, rows.get())) < 0)
            return -1;
    }
    return 0;
}

int print_json(PyObject* click, PyObject* report, PyObject* cert,
               const certificate::SignatureFacts& facts, PyObject* files) {
    py::Ref signature = facts.as_dict();
    if (!signature) return -1;
    py::Ref doc =
        py::Ref::steal(Py_BuildValue("{sOsOsOsO}", "certificate", cert, "description",
                                     facts.description ? facts.description.get() : Py_None,
                                     "signature", signature.get(), "files", files));
    py::Ref dumps = py::import_attr("json", "dumps");
    if (!doc || !dumps) return -1;
    py::Ref no_args = py::Ref::steal(PyTuple_Pack(1, doc.get()));
    py::Ref kw = py::Ref::steal(Py_BuildValue("{sO}", "ensure_ascii", Py_True));
    py::Ref text = no_args && kw
                       ? py::Ref::steal(PyObject_Call(dumps.get(), no_args.get(), kw.get()))
                       : py::Ref();
    if (!text) return -1;
    if (PyUnicode_Check(report) && PyUnicode_CompareWithASCIIString(report, "-") == 0)
        return echo(click, text.get());
    py::Ref open = py::import_attr("builtins", "open");
    py::Ref file =
        open ? py::Ref::steal(PyObject_CallFunction(open.get(), "Os", report, "w")) : py::Ref();
    if (!file) return -1;
    py::Ref newline = py::Ref::steal(PyUnicode_FromString("\n"));
    py::Ref all = newline ? py::Ref::steal(PyUnicode_Concat(text.get(), newline.get())) : newline;
    py::Ref w =
        all ? py::Ref::steal(PyObject_CallMethod(file.get(), "write", "O", all.get())) : all;
    py::Ref c = py::Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    return w && c ? 0 : -1;
}

// One ERROR line on the command's logger and the exit request (always null).
PyObject* fail(PyObject* module, const std::string& line) {
    py::Ref log = py::Ref::steal(logger(module));
    if (!log || py::log(log.get(), "error", line.c_str()) < 0) return nullptr;
    return py::exit_request();
}

PyObject* show_command(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"certificate",     "report",   "paths_only",
                                   "allowed_signers", "identity", nullptr};
    PyObject *cert, *report = Py_None, *allowed = Py_None, *identity = Py_None;
    int paths_only = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OpOO:show_command",
                                     const_cast<char**>(kwlist), &cert, &report, &paths_only,
                                     &allowed, &identity))
        return nullptr;
    std::string allowed_path, identity_text;
    if (allowed != Py_None && py::encode_path(allowed, allowed_path) < 0) return nullptr;
    if (identity != Py_None) {
        const char* text = PyUnicode_AsUTF8(identity);
        if (!text) return nullptr;
        identity_text = text;
    }
    py::Ref click = py::import("click");
    if (!click) return nullptr;
    // The signature and the table shown are read from the one file opened here.
    certificate::PinnedArchive pinned;
    if (pinned.pin(cert) < 0) return nullptr;
    certificate::SignatureFacts facts;
    std::string refusal;
    const int r = certificate::check_signature(cert, allowed_path, identity_text, facts, refusal);
    if (r < 0) return commands::report_failure("mavelin.cli.commands.show_command");
    if (r > 0) return fail(module, refusal);
    PyObject* node_class = models::filenode_class();
    if (!node_class) return nullptr;
    py::Ref table;
    std::string why;
    const certificate::Result loaded = certificate::load(cert, node_class, table, why);
    if (loaded == certificate::Result::kError)
        return commands::report_failure("mavelin.cli.commands.show_command");
    if (loaded == certificate::Result::kCorrupted)
        return fail(module, "Certificate file is corrupted: " + why);
    py::Ref files = files_of(table.get(), paths_only);
    if (!files) return nullptr;
    const int printed = report != Py_None
                            ? print_json(click.get(), report, cert, facts, files.get())
                            : print_text(click.get(), cert, facts, files.get(), paths_only);
    if (printed < 0) return commands::report_failure("mavelin.cli.commands.show_command");
    Py_RETURN_NONE;
}

PyMethodDef kShowDef =
    py::method<show_command>("show_command", METH_VARARGS | METH_KEYWORDS, nullptr);

}  // namespace

int init_show_command(PyObject* m) {
    py::Ref click = py::import("click");
    py::Ref get_logger = py::import_attr("logging", "getLogger");
    if (!click || !get_logger || py::set_attr(m, "click", click.get()) < 0) return -1;
    py::Ref log = py::Ref::steal(
        PyObject_CallFunction(get_logger.get(), "s", "mavelin.cli.commands.show_command"));
    if (!log || py::set_attr(m, "logger", log.get()) < 0) return -1;
    py::Ref command = commands::make_command(
        m, click.get(), &kShowDef, "show",
        "Show what a certificate holds: its description, its signature and its table.",
        kShowEpilog);
    if (!command) return -1;
    py::Ref kw = py::Ref::steal(
        Py_BuildValue("{sOsOsO}", "exists", Py_True, "dir_okay", Py_False, "file_okay", Py_True));
    py::Ref type = kw ? commands::path_type(click.get(), kw.get()) : py::Ref();
    py::Ref argument =
        type ? py::Ref::steal(PyObject_GetAttrString(click.get(), "argument")) : py::Ref();
    py::Ref decls = py::Ref::steal(Py_BuildValue("(s)", "certificate"));
    py::Ref attrs = py::Ref::steal(Py_BuildValue("{sO}", "type", type.get()));
    if (!argument || !decls || !attrs) return -1;
    py::Ref decorator = py::Ref::steal(PyObject_Call(argument.get(), decls.get(), attrs.get()));
    py::Ref applied =
        decorator ? py::Ref::steal(PyObject_CallOneArg(decorator.get(), command.get())) : decorator;
    if (!applied) return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{sOsOss}", "is_flag", Py_True, "default", Py_False, "help",
        "Only the certified paths, one per line (in the JSON report: no fingerprints)."));
    if (!attrs ||
        commands::add_option(click.get(), command.get(), "--paths-only", nullptr, attrs.get()) < 0)
        return -1;
    attrs = py::Ref::steal(Py_BuildValue(
        "{ss}", "help",
        "Write what the certificate holds as JSON to this file ('-': standard output)."));
    if (!attrs ||
        commands::add_option(click.get(), command.get(), "--report", nullptr, attrs.get()) < 0 ||
        commands::add_signer_options(click.get(), command.get()) < 0)
        return -1;
    return py::set_attr(m, "show_command", command.get());
}

}  // namespace mavelin::commands
