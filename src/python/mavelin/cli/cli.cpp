// The command group `cli` and the entry module run by `python -m mavelin.cli`.
#include "python/capi/common.h"
#include "python/capi/entry.h"
#include "python/package_tree.h"

namespace mavelin::modules {

const char kCliMainSource[] =
    "\"\"\"Runs the command group: python -m mavelin.cli COMMAND [OPTIONS].\"\"\"\n"
    "import sys\n"
    "from mavelin.utils.logger import configure_default_logger\n"
    "from mavelin.cli import cli\n"
    "\n"
    "if __name__ == \"__main__\":\n"
    "    configure_default_logger()\n"
    "    sys.exit(cli())\n";

namespace {

PyObject* cli_body(PyObject*, PyObject*) {
    Py_RETURN_NONE;
}

PyMethodDef kCliDef = py::method<cli_body>("cli", METH_NOARGS, nullptr);

}  // namespace

int init_cli(PyObject* m) {
    py::Ref click = py::import("click");
    if (!click || py::set_attr(m, "click", click.get()) < 0) return -1;
    py::Ref commands = py::import("mavelin.cli.commands");
    if (!commands) return -1;
    for (const char* name : {"sign_folder_command", "validate_certificate_command"}) {
        py::Ref command = py::Ref::steal(PyObject_GetAttrString(commands.get(), name));
        if (!command || py::set_attr(m, name, command.get()) < 0) return -1;
    }

    py::Ref modname = py::Ref::steal(PyUnicode_FromString("mavelin.cli"));
    py::Ref body = py::Ref::steal(PyCFunction_NewEx(&kCliDef, nullptr, modname.get()));
    if (!body) return -1;
    py::Ref decorator = py::Ref::steal(PyObject_CallMethod(click.get(), "group", nullptr));
    if (!decorator) return -1;
    py::Ref group = py::Ref::steal(PyObject_CallOneArg(decorator.get(), body.get()));
    if (!group) return -1;
    for (const char* name : {"sign_folder_command", "validate_certificate_command"}) {
        py::Ref command = py::Ref::steal(PyObject_GetAttrString(commands.get(), name));
        if (!command) return -1;
        py::Ref r =
            py::Ref::steal(PyObject_CallMethod(group.get(), "add_command", "O", command.get()));
        if (!r) return -1;
    }
    return py::set_attr(m, "cli", group.get());
}

}  // namespace mavelin::modules
