# Certificates signed with SSH keys: signing, checking against trusted signers (ssh-keygen as the
# oracle), each refusal in its own words, the report's signature, and `mavelin show`.
import hashlib
import json
import os
import pickle
import signal
import subprocess
import zipfile
from pathlib import Path

import jsonschema
import pytest

from oracles import expected_certificate, unzip_test
from support import run_cli

pytestmark = pytest.mark.skipif(subprocess.run(["sh", "-c", "command -v ssh-keygen"]).returncode,
                                reason="needs OpenSSH's ssh-keygen")

NAMESPACE = "mavelin-certificate"
SCHEMA = json.loads((Path(__file__).parents[3] / "schema" / "report.schema.json").read_text())


def keygen(path, kind):
    subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-C", path.name, "-f", str(path)],
                   check=True)
    return path


def make_tree(top, text="a"):
    (top / "sub").mkdir(parents=True)
    (top / "a.txt").write_text(text)
    (top / "sub" / "b.bin").write_bytes(os.urandom(5000))
    return top


def signers_file(path, key, principal="alice@example", options=""):
    pub = Path(str(key) + ".pub") if not str(key).endswith(".pub") else Path(key)
    path.write_text(f"{principal} {options}{pub.read_text()}")
    return path


def members(top):
    with zipfile.ZipFile(top / "Certificates" / "Certificate.korvex") as zf:
        assert zf.testzip() is None
        return {name: zf.read(name) for name in zf.namelist()}, zf.namelist()


def rezip(top, content):
    with zipfile.ZipFile(top / "Certificates" / "Certificate.korvex", "w") as zf:
        for name, data in content.items():
            zf.writestr(name, data)


def sign(top, *args, **kw):
    return run_cli("sign_folder", "-p", str(top), *args, **kw)


def validate(top, *args, **kw):
    return run_cli("validate_certificate", "-p", str(top), *args, **kw)


@pytest.fixture
def agent(tmp_path):
    """An ssh-agent of this test holding one ed25519 key whose private file is then removed."""
    sock = Path("/tmp") / f"mavelin-agent-{os.getpid()}-{id(tmp_path)}"
    proc = subprocess.Popen(["ssh-agent", "-D", "-a", str(sock)], stdout=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if sock.exists():
                break
            subprocess.run(["sleep", "0.05"])
        key = keygen(tmp_path / "agent_key", "ed25519")
        env = {"SSH_AUTH_SOCK": str(sock)}
        subprocess.run(["ssh-add", "-q", str(key)], env={**os.environ, **env}, check=True,
                       capture_output=True)
        key.unlink()
        yield Path(str(key) + ".pub"), env
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait()
        sock.unlink(missing_ok=True)


@pytest.mark.parametrize("kind", ["ed25519", "ecdsa", "agent"])
def test_signed_certificate_passes_with_its_signer_and_keeps_the_payload(tmp_path, kind, request):
    top = make_tree(tmp_path / "tree")
    if kind == "agent":
        key, env = request.getfixturevalue("agent")
    else:
        key, env = keygen(tmp_path / "key", kind), None
    allowed = signers_file(tmp_path / "allowed", key)
    assert sign(top, "-o", str(tmp_path / "plain.korvex")).returncode == 0
    r = sign(top, "--key", str(key), "--report", str(tmp_path / "sign.json"), env=env)
    assert r.returncode == 0, r.stdout + r.stderr

    content, names = members(top)
    assert names == ["Certificate.pk", "Certificate.json", "Certificate.sig"]
    with zipfile.ZipFile(tmp_path / "plain.korvex") as zf:
        assert content["Certificate.pk"] == zf.read("Certificate.pk")
    table = pickle.loads(content["Certificate.pk"])
    assert pickle.dumps(table, 4) == content["Certificate.pk"]
    assert [(k, n.id, n.file_path, n._FileNode__hash_fingerprint)
            for k, n in table.items()] == expected_certificate(top)
    assert unzip_test(top / "Certificates" / "Certificate.korvex")[0] == 0
    description = json.loads(content["Certificate.json"])
    assert description["sha256"] == {"Certificate.pk":
                                     hashlib.sha256(content["Certificate.pk"]).hexdigest()}
    assert (description["folder"], description["files"], description["bytes"]) == ("tree", 2, 5001)
    # ssh-keygen itself accepts the signature of the description for the principal.
    (tmp_path / "sig").write_bytes(content["Certificate.sig"])
    oracle = subprocess.run(["ssh-keygen", "-Y", "verify", "-f", str(allowed), "-I",
                             "alice@example", "-n", NAMESPACE, "-s", str(tmp_path / "sig")],
                            input=content["Certificate.json"], capture_output=True)
    assert oracle.returncode == 0, oracle.stderr

    r = validate(top, "--allowed-signers", str(allowed), "--report", str(tmp_path / "v.json"))
    assert r.returncode == 0, r.stdout
    fingerprint = subprocess.run(["ssh-keygen", "-l", "-f", str(key)], capture_output=True,
                                 text=True, check=True).stdout.split()[1]
    signed = [m for lvl, _n, m in r.triples() if lvl == "INFO" and "signed by" in m]
    assert signed == [f"Certificate signed by alice@example (key {fingerprint}), made "
                      f"{description['created']}"]
    for report, verified in (("sign.json", False), ("v.json", True)):
        doc = json.loads((tmp_path / report).read_text())
        jsonschema.validate(doc, SCHEMA)
        assert doc["signature"] == {"signed": True, "verified": verified,
                                    "principal": "alice@example" if verified else None,
                                    "key_fingerprint": fingerprint,
                                    "signing_time": description["created"]}
    # Without trusted signers: consistency only, and one line that says so.
    r = validate(top)
    assert r.returncode == 0
    assert [m for lvl, _n, m in r.triples() if "signed by" in m] == [
        f"Certificate signed by key {fingerprint}, made {description['created']}, but the "
        "signer was not checked (no --allowed-signers)"]
    # An unsigned certificate: no word about signatures.
    r = validate(top, "-c", str(tmp_path / "plain.korvex"))
    assert r.returncode == 0 and "signed by" not in r.stdout


def forged(tmp_path, top, key, how):
    """Makes the certificate of `top` fail in the way `how` names; returns the signers file."""
    allowed = signers_file(tmp_path / "allowed", key)
    if how == "unsigned":
        assert sign(top).returncode == 0
        return allowed
    assert sign(top, "--key", str(key)).returncode == 0
    content, _ = members(top)
    if how == "bad signature":
        sig = bytearray(content["Certificate.sig"])
        sig[100] = ord("A") if sig[100] != ord("A") else ord("B")
        content["Certificate.sig"] = bytes(sig)
    elif how == "key not listed":
        return signers_file(tmp_path / "other", keygen(tmp_path / "other_key", "ed25519"))
    elif how == "wrong namespace":
        (tmp_path / "desc").write_bytes(content["Certificate.json"])
        subprocess.run(["ssh-keygen", "-q", "-Y", "sign", "-f", str(key), "-n", "file",
                        str(tmp_path / "desc")], check=True)
        content["Certificate.sig"] = (tmp_path / "desc.sig").read_bytes()
    elif how == "payload rewritten":
        table = pickle.loads(content["Certificate.pk"])
        del table[next(iter(table))]
        content["Certificate.pk"] = pickle.dumps(table, 4)
    elif how == "signature of another tree":
        other = make_tree(tmp_path / "other", "b")
        assert sign(other, "--key", str(key)).returncode == 0
        content["Certificate.sig"] = members(other)[0]["Certificate.sig"]
    elif how == "expired key":
        return signers_file(tmp_path / "expired", key, options='valid-before="20200101" ')
    rezip(top, content)
    return allowed


@pytest.mark.parametrize("how, error", [
    ("unsigned", "The certificate is not signed, but a trusted signer is required"),
    ("bad signature", "The certificate's signature does not match its description"),
    ("key not listed", "which is not a trusted signer in"),
    ("wrong namespace", "was made for another purpose than a certificate"),
    ("payload rewritten", "The certificate's Certificate.pk does not match the digest in its "
                          "signed description"),
    ("signature of another tree", "The certificate's signature does not match its description"),
    ("expired key", "whose trust has expired or not begun"),
])
def test_each_refusal_has_its_own_error_and_compares_no_file(tmp_path, how, error):
    top = make_tree(tmp_path / "tree")
    allowed = forged(tmp_path, top, keygen(tmp_path / "key", "ed25519"), how)
    (top / "a.txt").write_text("changed")  # a comparison would report it
    report = tmp_path / "report.json"
    r = validate(top, "--report", str(report), env={"MAVELIN_ALLOWED_SIGNERS": str(allowed)})
    assert r.returncode == 1
    errors = [m for lvl, _n, m in r.triples() if lvl == "ERROR"]
    assert len(errors) == 1 and errors[0].startswith(error) or error in errors[0], errors
    assert not [m for lvl, _n, m in r.triples() if lvl == "WARNING" and "a.txt" in m]
    doc = json.loads(report.read_text())
    jsonschema.validate(doc, SCHEMA)
    assert (doc["passed"], doc["findings"], doc["signature"]["verified"],
            doc["signature"]["signed"], doc["signature"]["refusal"]) == (
        False, [], False, how != "unsigned", errors[0])


@pytest.mark.parametrize("case", ["no ssh-keygen", "unreadable key", "passphrase", "agent without key"])
def test_a_key_that_cannot_sign_keeps_the_previous_certificate(tmp_path, case):
    top = make_tree(tmp_path / "tree")
    assert sign(top).returncode == 0
    before = (top / "Certificates" / "Certificate.korvex").read_bytes()
    key = keygen(tmp_path / "key", "ed25519")
    env = {"SSH_AUTH_SOCK": str(tmp_path / "no-agent")}
    if case == "no ssh-keygen":
        env["PATH"] = str(tmp_path / "empty")
    elif case == "unreadable key":
        key = tmp_path / "missing_key"
    elif case == "passphrase":
        subprocess.run(["ssh-keygen", "-q", "-p", "-N", "secret", "-f", str(key)], check=True)
    else:
        key.unlink()
        key = Path(str(key) + ".pub")
    # No terminal to ask a passphrase on (a session of its own).
    r = sign(top, "--key", str(key), env=env, preexec_fn=os.setsid, stdin_data=b"")
    assert r.returncode == 1
    errors = [m for lvl, _n, m in r.triples() if lvl == "ERROR"]
    assert len(errors) == 1 and errors[0].startswith("The certificate could not be signed with "), r.stdout
    assert (top / "Certificates" / "Certificate.korvex").read_bytes() == before


def test_show_prints_the_table_and_the_checked_signature(tmp_path):
    top = make_tree(tmp_path / "tree")
    key = keygen(tmp_path / "key", "ecdsa")
    allowed = signers_file(tmp_path / "allowed", key)
    assert sign(top, "--key", str(key)).returncode == 0
    cert = str(top / "Certificates" / "Certificate.korvex")
    r = run_cli("show", cert, "--report", "-", "--allowed-signers", str(allowed))
    assert r.returncode == 0, r.stdout + r.stderr
    doc = json.loads(r.stdout)
    table = pickle.loads(members(top)[0]["Certificate.pk"])
    assert doc["files"] == [{"path": n.file_path, "fingerprint": n._FileNode__hash_fingerprint}
                            for n in table.values()]
    assert doc["signature"]["verified"] and doc["signature"]["principal"] == "alice@example"
    assert doc["description"] == json.loads(members(top)[0]["Certificate.json"])
    r = run_cli("show", cert, "--paths-only")
    assert r.stdout.splitlines() == [n.file_path for n in table.values()]
    r = run_cli("show", cert, "--allowed-signers", str(signers_file(
        tmp_path / "other", keygen(tmp_path / "other_key", "ed25519"))))
    assert r.returncode == 1 and "not a trusted signer" in r.stdout


@pytest.mark.parametrize("how", ["renamed over it", "written in place"])
def test_a_certificate_put_in_place_after_its_signature_check_is_not_compared(tmp_path, how,
                                                                               monkeypatch):
    import mavelin
    import mavelin.core.validation as validation
    top = make_tree(tmp_path / "tree")
    key = keygen(tmp_path / "key", "ed25519")
    assert sign(top, "--key", str(key)).returncode == 0
    (top / "a.txt").write_text("changed")
    forged = tmp_path / "forged.korvex"
    assert sign(top, "-o", str(forged)).returncode == 0  # fits the change
    cert = top / "Certificates" / "Certificate.korvex"

    class Swapping(validation.CertificateValidator):
        def deserealize_certificate(self):  # between the signature check and the table
            if how == "renamed over it":
                os.replace(forged, cert)
            else:  # as long as the signed one, after bytes a reader skips as the host's does
                data = forged.read_bytes()
                with open(cert, "r+b") as f:
                    f.write(bytes(cert.stat().st_size - len(data)) + data)
                forged.unlink()
            return super().deserealize_certificate()

    monkeypatch.setattr(validation, "CertificateValidator", Swapping)
    allowed = signers_file(tmp_path / "allowed", key)
    if how == "written in place":
        with pytest.raises(mavelin.errors.CertificateCorrupted, match="written meanwhile"):
            mavelin.validate(top, allowed_signers=allowed)
        return
    result = mavelin.validate(top, allowed_signers=allowed)
    assert not forged.exists()  # it was put in place
    assert (result.passed, [(f.kind, f.path) for f in result.findings]) == (
        False, [("modified", "a.txt")])
