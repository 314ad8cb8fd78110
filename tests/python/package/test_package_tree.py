# The package tree served by the one extension module: imports, exposed names, the command group and log set-up.
import datetime
import json
import logging
import multiprocessing
import sys
import types

import click
import pytest

from support import LOG_FORMAT, parse_records, run_cli, run_python

PACKAGES = ["mavelin", "mavelin.cli", "mavelin.cli.commands", "mavelin.core", "mavelin.utils"]
MODULES = [
    "mavelin.cli.__main__",
    "mavelin.cli.commands.sign_folder_command",
    "mavelin.cli.commands.validate_certificate_command",
    "mavelin.cli.commands.show_command",
    "mavelin.cli.commands.generate_certificate_report",
    "mavelin.core.models",
    "mavelin.core.hashing",
    "mavelin.core.node_handling",
    "mavelin.core.file_managing",
    "mavelin.core.validation",
    "mavelin.core._shards",
    "mavelin.utils.logger",
    "mavelin.utils.sign_folder",
    "mavelin.utils.validate_certificate",
    "mavelin.errors",
    "mavelin.results",
    "mavelin.api",
]
NOT_LOADED_AT_START = {"mavelin.cli.__main__", "mavelin.cli.commands.generate_certificate_report",
                       "mavelin.core._shards"}


# --- importing ----------------------------------------------------------------------------------

@pytest.mark.parametrize("name", PACKAGES + MODULES)
def test_every_module_imports_by_dotted_name_without_warnings(name):
    r = run_python("""
import importlib, json, sys
name = sys.argv[1]
m = importlib.import_module(name)
print(json.dumps({"name": m.__name__, "spec": m.__spec__.name, "package": hasattr(m, "__path__"),
                  "doc": bool(m.__doc__), "registered": sys.modules[name] is m}))
""", name)
    assert r.stderr == ""
    assert r.returncode == 0
    assert json.loads(r.stdout) == {"name": name, "spec": name, "package": name in PACKAGES,
                                    "doc": True, "registered": True}


def test_importing_the_top_package_loads_the_tree_but_not_the_entry_module():
    r = run_python("""
import json, logging, sys
import mavelin
loggers = {n: [len(logging.getLogger(n).handlers), logging.getLogger(n).propagate,
               logging.getLogger(n).level]
           for n in ("mavelin.utils.sign_folder", "mavelin.utils.validate_certificate")}
print(json.dumps({"loaded": sorted(n for n in sys.modules if n.split(".")[0] == "mavelin"),
                  "click": "click" in sys.modules,
                  "root_handlers": len(logging.getLogger().handlers),
                  "root_level": logging.getLogger().level,
                  "loggers": loggers}))
""")
    assert r.stderr == "" and r.returncode == 0
    state = json.loads(r.stdout)
    assert state["loaded"] == sorted(set(PACKAGES + MODULES) - NOT_LOADED_AT_START)
    assert state["click"]
    # No module configures logging on its own.
    assert state["root_handlers"] == 0 and state["root_level"] == logging.WARNING
    assert state["loggers"] == {n: [0, True, logging.NOTSET] for n in state["loggers"]}


def test_importing_the_entry_module_by_name_sets_up_nothing_and_runs_nothing(tmp_path):
    (tmp_path / "a.txt").write_text("a")
    r = run_python("""
import logging, sys
import mavelin.cli.__main__ as entry
import mavelin.cli, mavelin.utils.logger
print(len(logging.getLogger().handlers), logging.getLogger().level,
      entry.cli is mavelin.cli.cli,
      entry.configure_default_logger is mavelin.utils.logger.configure_default_logger)
""", "sign_folder", "-p", str(tmp_path))
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "0 30 True True\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt"]


def test_modules_survive_reload():
    r = run_python("""
import importlib, pickle, sys, logging
import click
import mavelin
import mavelin.cli.__main__, mavelin.cli.commands.generate_certificate_report
from mavelin.core.models import FileNode
node = FileNode(3, "x/y")
node.set_fingerprint([["f"]])
for name in sorted(n for n in sys.modules if n.startswith("mavelin.")):
    importlib.reload(sys.modules[name])
assert sys.modules["mavelin.core.models"].FileNode is FileNode
assert pickle.loads(pickle.dumps(node, 4)) == node
assert callable(mavelin.utils.sign_folder) and callable(mavelin.utils.validate_certificate)
assert isinstance(mavelin.cli.commands.sign_folder_command, click.Command)
assert list(mavelin.cli.cli.commands) == ["sign_folder", "validate_certificate", "show"]
assert logging.getLogger().handlers == []
print("ok")
""")
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "ok\n")


# --- what each package exposes --------------------------------------------------------------------

def test_top_package_exposes_its_three_subpackages():
    import mavelin
    for sub in ("cli", "core", "utils"):
        assert getattr(mavelin, sub) is sys.modules[f"mavelin.{sub}"]


def test_core_package_exposes_its_modules():
    import mavelin.core as core
    for sub in ("models", "hashing", "file_managing", "validation", "node_handling"):
        assert getattr(core, sub) is sys.modules[f"mavelin.core.{sub}"]
    assert isinstance(core.models.FileNode, type)
    assert callable(core.hashing._generate_hash)
    assert isinstance(core.node_handling.FileNodeHandler, type)
    assert isinstance(core.file_managing.FileManager, type)


def test_max_processes_is_the_processor_count():
    from mavelin.core import file_managing
    assert type(file_managing.MAX_PROCESSES) is int
    assert file_managing.MAX_PROCESSES == multiprocessing.cpu_count()


def test_rarely_needed_standard_modules_load_on_first_use():
    # A command's start should not pay for them (some interpreters load zipfile on their own);
    # the modules still show them as attributes.
    code = (
        "import sys\n"
        "before = set(sys.modules)\n"
        "import mavelin.cli\n"
        "print(sorted(m for m in ('pickle', 'zipfile', 'multiprocessing')\n"
        "             if m in sys.modules and m not in before))\n"
        "from mavelin.core import file_managing, validation\n"
        "import pickle, zipfile\n"
        "print(file_managing.zipfile is zipfile, validation.pickle is pickle,"
        " 'zipfile' in vars(file_managing))\n"
        "try:\n"
        "    file_managing.multiprocessing\n"
        "except AttributeError as e:\n"
        "    print(e)\n"
    )
    out = run_python(code).stdout.splitlines()
    assert out == ["[]", "True True True",
                   "module 'mavelin.core.file_managing' has no attribute 'multiprocessing'"]


@pytest.mark.parametrize("name", ["sign_folder", "validate_certificate"])
def test_utils_exposes_the_procedures_in_place_of_their_modules(name):
    import mavelin.utils as utils
    module = sys.modules[f"mavelin.utils.{name}"]
    procedure = getattr(utils, name)
    assert not isinstance(procedure, types.ModuleType) and callable(procedure)
    assert procedure is getattr(module, name)
    assert module.logger is logging.getLogger(f"mavelin.utils.{name}")
    assert utils.logger is sys.modules["mavelin.utils.logger"]
    assert callable(utils.logger.configure_default_logger)


@pytest.mark.parametrize("module_name, command_name", [
    ("sign_folder_command", "sign_folder"),
    ("validate_certificate_command", "validate_certificate"),
    ("show_command", "show"),
])
def test_commands_package_exposes_the_command_objects(module_name, command_name):
    import mavelin.cli
    import mavelin.cli.commands as commands
    command = getattr(commands, module_name)
    assert isinstance(command, click.Command) and not isinstance(command, click.Group)
    assert command.name == command_name
    assert command is getattr(sys.modules[f"mavelin.cli.commands.{module_name}"], module_name)
    assert getattr(mavelin.cli, module_name) is command


def test_group_carries_both_commands_in_registration_order():
    import mavelin.cli
    group = mavelin.cli.cli
    assert isinstance(group, click.Group)
    assert group.name == "cli" and group.help.startswith("mavelin certifies a directory tree")
    assert [p.opts for p in group.params] == [["--version"]]
    assert list(group.commands.items()) == [
        ("sign_folder", mavelin.cli.sign_folder_command),
        ("validate_certificate", mavelin.cli.validate_certificate_command),
        ("show", mavelin.cli.show_command),
    ]


def _default(param):
    """An option's default, with click's marker for "no default" (newer versions) read as None."""
    return None if type(param.default).__name__ == "Sentinel" else param.default


def _option_table(command):
    rows = []
    for p in command.params:
        if isinstance(p.type, click.Path):
            kind = ("path", p.type.exists, p.type.file_okay, p.type.dir_okay)
        elif isinstance(p.type, click.IntRange):
            kind = ("int", p.type.min, p.type.max)
        else:
            kind = (p.type.name,)
        rows.append((p.name, p.opts, p.secondary_opts, kind, _default(p), p.help))
    return rows


DIR_PATH_HELP = "Path to the folder which have to be signed."
REPORT_HELP = ("Write a JSON report of the run to this file ('-' for standard output; the log then "
               "goes to standard error).")
MATCH_HELP = ("Pair every certified file with the file of the same path (path), or pair the "
              "certificate's entries with the folder's entries one by one in their order (position).")
VALIDATE_DIR_PATH_HELP = "Path to the folder to validate."
KEEP_CACHE_HELP = ("Leave the files read in the page cache (default: the pages this run brings "
                   "in are dropped again, those cached before stay).")
DIRECT_HELP = ("Read every byte from the device with direct I/O, bypassing cached copies (for "
               "checking archives for decay at rest); a file system that refuses it is read as "
               "usual.")
JOBS = ("jobs", ["--jobs", "-j"], [], ("int", 1, None), None,
        "Hashing threads (default: one per processor). The result does not depend on it.")
SIGNERS = [("allowed_signers", ["--allowed-signers"], [], ("text",), None,
            "OpenSSH allowed-signers file (principals, namespaces=, valid-after/valid-before): the "
            "certificate must be signed by a key it trusts. Default: $MAVELIN_ALLOWED_SIGNERS."),
           ("identity", ["--identity"], [], ("text",), None,
            "The principal the signer must be in the allowed-signers file (default: any principal "
            "listed for the signing key).")]
SCHEDULER = ("scheduler", ["--scheduler"], [], ("text",), None,
             "Hash on the Dask cluster of this scheduler ('auto': DASK_SCHEDULER_ADDRESS); --jobs "
             "is then threads per worker. Needs mavelin[dask].")


@pytest.mark.parametrize("command_name, help_text, options", [
    ("sign_folder", "Command to create certificate for folder.", [
        ("dir_path", ["--dir-path", "-p"], [], ("path", True, False, True), None, DIR_PATH_HELP),
        ("mode", ["--mode", "-m"], [], ("text",), "default",
         "'silent': log no INFO lines and draw no progress line (warnings and errors are still "
         "logged); any other word: log every step (the default)."),
        ("report", ["--report"], [], ("path", False, True, False), None, REPORT_HELP),
        JOBS,
        SCHEDULER,
        ("keep_cache", ["--keep-cache"], [], ("boolean",), False, KEEP_CACHE_HELP),
        ("direct", ["--direct"], [], ("boolean",), False, DIRECT_HELP),
        ("output", ["--output", "-o"], [], ("path", False, True, False), None,
         "Write the certificate to this file instead of DIR/Certificates/Certificate.korvex "
         "(for read-only trees); validate it later with -c."),
        ("key", ["--key"], [], ("text",), None,
         "Sign the certificate with this SSH key (ssh-keygen -Y sign): a private key file, or a "
         "public key whose private half ssh-agent holds. Checked later with validate_certificate "
         "--allowed-signers."),
        ("update", ["--update"], [], ("boolean",), False,
         "Read again only the files whose size, times, device or inode changed since the "
         "certificate was made (it believes the file system's metadata; validation never does), "
         "and keep the files' metadata in the new certificate."),
        ("certificate_file", ["--certificate-file", "-c"], [], ("path", False, True, False), None,
         "With --update: the certificate to take fingerprints from (default: the one -o names, "
         "else DIR/Certificates/Certificate.korvex)."),
    ]),
    ("validate_certificate", "Command to validate folder according to certificate.", [
        ("dir_path", ["--dir-path", "-p"], [], ("path", True, False, True), None,
         VALIDATE_DIR_PATH_HELP),
        ("certificate_file", ["--certificate-file", "-c"], [], ("path", False, True, False), None,
         "Path to the certificate file to validate."),
        ("match", ["--match"], [], ("choice",), "path", MATCH_HELP),
        ("summary", ["--summary"], [], ("boolean",), False, "Log the number of findings of each kind."),
        ("report", ["--report"], [], ("path", False, True, False), None, REPORT_HELP),
        JOBS,
        SCHEDULER,
        ("quiet", ["--quiet", "-q"], [], ("boolean",), False,
         "Print nothing when every file matches; otherwise only the findings and the ERROR lines "
         "(on standard output, like the log). The exit status is the same."),
        ("check_metadata", ["--check-metadata"], [], ("boolean",), False,
         "Also report each file whose permission bits, owner, group or link target differ from "
         "the certificate's file metadata (kept by sign_folder --update); these findings do not "
         "fail the validation."),
        ("keep_cache", ["--keep-cache"], [], ("boolean",), False, KEEP_CACHE_HELP),
        ("direct", ["--direct"], [], ("boolean",), False, DIRECT_HELP),
        *SIGNERS,
    ]),
])
def test_command_help_and_options(command_name, help_text, options):
    import mavelin.cli
    command = mavelin.cli.cli.commands[command_name]
    assert command.help == help_text
    assert _option_table(command) == options


# --- the command line -----------------------------------------------------------------------------

def _words(text):
    return " ".join(text.split())


def test_group_help_lists_both_commands_without_any_warning():
    r = run_cli("--help", python_flags=("-W", "error"))
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("Usage: python -m mavelin.cli [OPTIONS] COMMAND [ARGS]...")
    commands = r.stdout.split("Commands:")[1].split()
    assert "sign_folder" in commands and "validate_certificate" in commands


def test_run_without_command_shows_usage_and_runs_nothing(tmp_path):
    r = run_cli(cwd=tmp_path)
    out = r.stdout + r.stderr
    assert "sign_folder" in out and "validate_certificate" in out
    assert "[INFO]" not in out and "Traceback" not in out
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("command_name, expected", [
    ("sign_folder", ["Usage: python -m mavelin.cli sign_folder [OPTIONS]",
                     "Command to create certificate for folder.",
                     "-p, --dir-path DIRECTORY", DIR_PATH_HELP, "-m, --mode TEXT"]),
    ("validate_certificate", ["Usage: python -m mavelin.cli validate_certificate [OPTIONS]",
                              "Command to validate folder according to certificate.",
                              "-p, --dir-path DIRECTORY", VALIDATE_DIR_PATH_HELP,
                              "-c, --certificate-file FILE",
                              "Path to the certificate file to validate."]),
])
def test_command_help_output(command_name, expected):
    r = run_cli(command_name, "--help")
    assert (r.returncode, r.stderr) == (0, "")
    text = _words(r.stdout)
    for piece in expected:
        assert _words(piece) in text


# --- configure_default_logger -----------------------------------------------------------------------

def test_configure_default_logger_sets_one_stdout_handler_at_debug():
    before = datetime.datetime.now().replace(microsecond=0)
    r = run_python(f"""
import logging, sys
from mavelin.utils.logger import configure_default_logger
root = logging.getLogger()
assert configure_default_logger() is None
first = list(root.handlers)
configure_default_logger()
handler, = root.handlers
assert root.handlers == first
assert type(handler) is logging.StreamHandler and handler.stream is sys.stdout
assert handler.formatter._fmt == {LOG_FORMAT!r} and handler.formatter.datefmt is None
assert root.level == logging.DEBUG
logging.getLogger("some.module").debug("debug line of another library")
logging.getLogger("mavelin.utils.sign_folder").debug("debug line")
logging.getLogger("some.module").info("info line")
logging.getLogger("other").error("error line")
logging.getLogger().warning("root line")
""")
    after = datetime.datetime.now()
    assert (r.returncode, r.stderr) == (0, "")
    records = parse_records(r.stdout)
    assert [(x.level, x.name, x.message) for x in records] == [
        ("DEBUG", "mavelin.utils.sign_folder", "debug line"),
        ("INFO", "some.module", "info line"),
        ("ERROR", "other", "error line"),
        ("WARNING", "root", "root line"),
    ]
    assert r.stdout.count("\n") == 4
    for x in records:
        stamp = datetime.datetime.strptime(x.time, "%Y-%m-%d %H:%M:%S,%f")
        assert before <= stamp <= after


@pytest.mark.parametrize("setup", [
    "logging.basicConfig(level=logging.WARNING, stream=sys.stderr)",
    "logging.getLogger().addHandler(logging.NullHandler())",
])
def test_configure_default_logger_keeps_an_existing_configuration(setup):
    r = run_python(f"""
import logging, sys
{setup}
root = logging.getLogger()
before = (list(root.handlers), root.level)
from mavelin.utils.logger import configure_default_logger
configure_default_logger()
assert (list(root.handlers), root.level) == before
logging.getLogger("x").info("not shown")
print("done")
""")
    assert (r.returncode, r.stdout) == (0, "done\n")
    assert "not shown" not in r.stderr
