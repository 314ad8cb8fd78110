# The route rule: a caller's class in mavelin.core.file_managing or mavelin.core.validation (a
# subclass that overrides a step) is honoured by both procedures, with the outcome of the
# package's own classes.
import zipfile

import pytest

import mavelin.core.file_managing as file_managing
import mavelin.core.validation as validation
import mavelin.utils
from validation_helpers import capture_logs, make_tree


class Manager(file_managing.FileManager):
    calls = []

    def _parse_directory(self):
        Manager.calls.append("_parse_directory")
        return super()._parse_directory()


class Validator(validation.CertificateValidator):
    calls = []

    def generate_fingerprints(self):
        Validator.calls.append("generate_fingerprints")
        return super().generate_fingerprints()


@pytest.mark.parametrize("procedure, module, cls", [
    ("sign", file_managing, Manager),
    ("validate", file_managing, Manager),
    ("validate", validation, Validator),
], ids=["sign-manager", "validate-manager", "validate-validator"])
def test_an_overridden_step_is_called_and_the_outcome_kept(tmp_path, monkeypatch, procedure,
                                                            module, cls):
    top = make_tree(tmp_path / "tree", {"a.txt": "alpha", "d/b.bin": b"\0" * 5000})
    mavelin.utils.sign_folder(str(top), "silent")
    (top / "a.txt").write_text("changed")

    def run():
        with capture_logs() as cap:
            try:
                if procedure == "sign":
                    (top / "Certificates" / "Certificate.korvex").unlink()
                    mavelin.utils.sign_folder(str(top))
                    with zipfile.ZipFile(top / "Certificates" / "Certificate.korvex") as zf:
                        status = zf.read("Certificate.pk")
                else:
                    status = mavelin.utils.validate_certificate(str(top), None)
            except SystemExit as stop:
                status = stop.code
        return status, [r for r in cap.records if not r[2].startswith("Elapsed time: ")]

    own = run()
    cls.calls.clear()
    with monkeypatch.context() as patch:
        patch.setattr(module, cls.__bases__[0].__name__, cls)
        replaced = run()
    assert cls.calls, "the caller's override was not called"
    assert replaced == own
