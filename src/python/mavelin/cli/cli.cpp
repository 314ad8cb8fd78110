// The command group `cli`, the entry module run by `python -m mavelin` and `python -m mavelin.cli`,
// and the console script's `main`.
#include <utility>
#include <vector>

#include "python/capi/entry.h"
#include "python/capi/import.h"
#include "python/package_tree.h"

namespace mavelin::cli {

const char kCliMainSource[] =
    "\"\"\"Runs the command group: python -m mavelin (or mavelin.cli) COMMAND [OPTIONS].\"\"\"\n"
    "import sys\n"
    "from mavelin.utils.logger import configure_default_logger\n"
    "from mavelin.cli import cli\n"
    "\n"
    "if __name__ == \"__main__\":\n"
    "    configure_default_logger()\n"
    "    sys.exit(cli())\n";

namespace {

constexpr const char kGroupHelp[] =
    "mavelin certifies a directory tree and later proves that it is unchanged: sign_folder "
    "stores a fingerprint of every file in a certificate, validate_certificate checks the tree "
    "against it.";

PyObject* cli_body(PyObject*, PyObject*) {
    Py_RETURN_NONE;
}

PyMethodDef kCliDef = py::method<cli_body>("cli", METH_NOARGS, nullptr);

// The console script `mavelin`: the log set-up, then the group, as the entry module does.
PyObject* run_main(PyObject* module, PyObject*) {
    py::Ref configure = py::import_attr("mavelin.utils.logger", "configure_default_logger");
    if (!configure) return nullptr;
    py::Ref r = py::Ref::steal(PyObject_CallNoArgs(configure.get()));
    py::Ref group = py::Ref::steal(PyObject_GetAttrString(module, "cli"));
    if (!r || !group) return nullptr;
    return PyObject_CallNoArgs(group.get());
}

PyMethodDef kMainDef =
    py::method<run_main>("main", METH_NOARGS,
                         "main()\n--\n\n"
                         "Runs the command line (the console script `mavelin`): the default log\n"
                         "set-up, then the command group with the process arguments.");

// --version on the group: the version of the installed distribution, read when asked.
int add_version_option(PyObject* click, PyObject* group) {
    py::Ref factory = py::Ref::steal(PyObject_GetAttrString(click, "version_option"));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref kw = py::Ref::steal(Py_BuildValue("{ssssss}", "package_name", "mavelin", "prog_name",
                                              "mavelin", "message", "%(prog)s %(version)s"));
    if (!factory || !no_args || !kw) return -1;
    py::Ref decorator = py::Ref::steal(PyObject_Call(factory.get(), no_args.get(), kw.get()));
    if (!decorator) return -1;
    py::Ref r = py::Ref::steal(PyObject_CallOneArg(decorator.get(), group));
    return r ? 0 : -1;
}

}  // namespace

int init_cli(PyObject* m) {
    py::Ref click = py::import("click");
    if (!click || py::set_attr(m, "click", click.get()) < 0) return -1;
    if (package_tree::load_children(m, "mavelin.cli") < 0) return -1;
    std::vector<std::pair<const char*, py::Ref>> commands;
    for (const package_tree::Module& e : package_tree::modules()) {
        if (e.exposed != package_tree::Exposed::kCommand) continue;
        const char* name = package_tree::last_name(e.name);
        py::Ref module = py::import(e.name);
        py::Ref command = module ? py::attr(module.get(), name) : py::Ref();
        if (!command || py::set_attr(m, name, command.get()) < 0) return -1;
        commands.emplace_back(name, std::move(command));
    }

    py::Ref modname = py::Ref::steal(PyUnicode_FromString("mavelin.cli"));
    py::Ref body = py::Ref::steal(PyCFunction_NewEx(&kCliDef, nullptr, modname.get()));
    if (!body) return -1;
    py::Ref group_factory = py::Ref::steal(PyObject_GetAttrString(click.get(), "group"));
    py::Ref no_args = py::Ref::steal(PyTuple_New(0));
    py::Ref group_kw = py::Ref::steal(Py_BuildValue("{ss}", "help", kGroupHelp));
    if (!group_factory || !no_args || !group_kw) return -1;
    py::Ref decorator =
        py::Ref::steal(PyObject_Call(group_factory.get(), no_args.get(), group_kw.get()));
    if (!decorator) return -1;
    py::Ref group = py::Ref::steal(PyObject_CallOneArg(decorator.get(), body.get()));
    if (!group) return -1;
    for (const auto& [name, command] : commands) {
        py::Ref r =
            py::Ref::steal(PyObject_CallMethod(group.get(), "add_command", "O", command.get()));
        if (!r) return -1;
    }
    if (add_version_option(click.get(), group.get()) < 0) return -1;
    py::Ref main_fn = py::Ref::steal(PyCFunction_NewEx(&kMainDef, m, modname.get()));
    if (!main_fn || py::set_attr(m, "main", main_fn.get()) < 0) return -1;
    return py::set_attr(m, "cli", group.get());
}

}  // namespace mavelin::cli
