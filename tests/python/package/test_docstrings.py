# help() and inspect.signature on the whole package tree: every module, function, class and method.
import importlib
import inspect
import sys
import types

import pytest

import mavelin

# Modules that importing the top package does not load; the walk below finds the others.
NOT_LOADED_AT_START = ["mavelin.__main__", "mavelin.cli.__main__",
                       "mavelin.cli.commands.generate_certificate_report", "mavelin.core._shards"]
BUILTIN_KINDS = (types.BuiltinFunctionType, types.MethodDescriptorType,
                 types.GetSetDescriptorType)


def package_tree():
    """Every module of the tree: those importing `mavelin` loads plus the ones loaded on demand,
    each served by the package's own importer."""
    for name in NOT_LOADED_AT_START:
        importlib.import_module(name)
    tree = {name: m for name, m in sys.modules.items()
            if name == "mavelin" or name.startswith("mavelin.")}
    importer = tree["mavelin.core"].__spec__.loader
    assert all(m.__spec__.loader is importer for name, m in tree.items() if name != "mavelin")
    return tree


def own_objects():
    """(qualified name, object) of every function and class the package defines, and of
    every method, property and slot of its classes (the hash object's type included)."""
    seen = {}
    classes = [type(mavelin.core.hashing._generate_hash(b""))]
    for name, module in package_tree().items():
        for attr, value in vars(module).items():
            if getattr(value, "__module__", None) != name and not isinstance(value, type):
                continue
            if isinstance(value, type):
                if value.__module__.startswith("mavelin") and value not in classes:
                    classes.append(value)
            elif isinstance(value, (types.BuiltinFunctionType, types.FunctionType)):
                seen[f"{name}.{attr}"] = value
    for cls in classes:
        seen[f"{cls.__module__}.{cls.__qualname__}"] = cls
        for attr, value in vars(cls).items():
            if isinstance(value, BUILTIN_KINDS):
                seen[f"{cls.__module__}.{cls.__qualname__}.{attr}"] = value
    return seen


def test_every_module_of_the_tree_has_a_docstring():
    tree = package_tree()
    assert len(tree) == 23
    assert {name: bool(m.__doc__ and m.__doc__.strip()) for name, m in tree.items()} == \
        {name: True for name in tree}


def test_every_function_class_and_method_of_the_package_has_a_docstring():
    objects = own_objects()
    for expected in ("mavelin.core.hashing._generate_hash", "mavelin.core.hashing.sha256.hexdigest",
                     "mavelin.core.file_managing.FileManager._parse_directory",
                     "mavelin.core.node_handling.FileNodeHandler.__init__",
                     "mavelin.core.validation.CertificateValidator.validate_nodes",
                     "mavelin.core.models.FileNode.set_fingerprint",
                     "mavelin.utils.logger.configure_default_logger",
                     "mavelin.utils.sign_folder.sign_folder",
                     "mavelin.utils.validate_certificate.validate_certificate"):
        assert expected in objects
    missing = [name for name, value in objects.items()
               if not (value.__doc__ and value.__doc__.strip())]
    assert missing == []


def test_signatures_of_the_procedures_classes_and_methods():
    from mavelin.core.file_managing import FileManager
    from mavelin.core.hashing import _generate_hash
    from mavelin.core.models import FileNode
    from mavelin.core.node_handling import FileNodeHandler
    from mavelin.core.validation import CertificateValidator
    from mavelin.utils import sign_folder, validate_certificate
    from mavelin.utils.logger import configure_default_logger
    expected = {
        sign_folder: "(dir_path, mode='default', *, report=None, jobs=None, output=None, "
                     "progress=False, scheduler=None, client=None, key=None, update=False, "
                     "certificate=None, keep_cache=False, direct=False)",
        validate_certificate: "(dir_path, certificate_file, *, match='path', summary=False, "
                              "report=None, jobs=None, progress=False, scheduler=None, "
                              "client=None, allowed_signers=None, identity=None, "
                              "check_metadata=False, keep_cache=False, direct=False)",
        configure_default_logger: "()",
        _generate_hash: "(data, /)",
        FileManager: "(initial_path, chunk_size=4096, transformation_step=2)",
        FileNodeHandler: "(node, chunk_size=4096, transformation_step=2)",
        CertificateValidator: "(certificate_path, result_path, **kwargs)",
        FileManager._parse_directory: "(self, /)",
        FileNodeHandler._open_file: "(self, initial_path, /)",
        FileNode.set_fingerprint: "(self, fingerprint, /)",
        type(_generate_hash(b"")).update: "(self, data, /)",
    }
    assert {o: str(inspect.signature(o)) for o in expected} == expected
    assert list(inspect.signature(FileNode).parameters) == ["id", "file_path"]
    # every method of the package's own classes has one
    for name, value in own_objects().items():
        if isinstance(value, (types.BuiltinFunctionType, types.MethodDescriptorType)):
            inspect.signature(value)  # raises ValueError when none can be found


def test_help_shows_the_text_of_a_class_and_its_methods():
    from mavelin.core.file_managing import FileManager
    text = pydoc_text(FileManager)
    assert text.count("FileManager(initial_path, chunk_size=4096, transformation_step=2)") == 1
    assert "__init__(self, /, initial_path, chunk_size=4096, transformation_step=2)" in text
    assert "Signs a tree" in text


def pydoc_text(obj):
    import pydoc
    return pydoc.render_doc(obj, renderer=pydoc.plaintext)
