#!/usr/bin/env python3
# Writes the seed corpus: real certificates of a few small trees signed by the installed package
# (also with an SSH key, when ssh-keygen is there), their payloads, and the same certificates
# repacked with deflate.
"""Usage: python fuzz/make_corpus.py   (with mavelin installed; rewrites fuzz/corpus/*/seed-*)"""
import io
import os
import pathlib
import shutil
import subprocess
import tempfile
import zipfile

import mavelin.utils

HERE = pathlib.Path(__file__).resolve().parent
TREES = {
    "one": {"a.txt": b"hello\n"},
    "few": {"a": b"x" * 5000, "d/b": b"", "d/e/c.bin": bytes(range(256)) * 20},
    "names": {"sp ace": b"1", "tab\there": b"2", "\u00e9t\u00e9": b"3", "new\nline": b"4"},
}


def certificate(tree, key=None, update=False):
    with tempfile.TemporaryDirectory() as top:
        for rel, data in tree.items():
            path = os.path.join(top, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        if update:
            os.symlink("a", os.path.join(top, "link"))
            os.symlink("missing", os.path.join(top, "dangling"))
        mavelin.utils.sign_folder(top, "silent", key=key, update=update)
        folder = os.path.join(top, "Certificates")
        (name,) = [n for n in os.listdir(folder) if not n.startswith(".")]
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()


def signed_certificate(tree):
    """The certificate of `tree` signed with a fresh ed25519 key (Certificate.json and .sig)."""
    with tempfile.TemporaryDirectory() as keys:
        key = os.path.join(keys, "key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
        return certificate(tree, key)


def repacked(archive, method):
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(archive)) as src, zipfile.ZipFile(out, "w", method) as dst:
        for info in src.infolist():
            dst.writestr(info.filename, src.read(info), compress_type=method)
    return out.getvalue()


def metadata_seeds():
    """The member Certificate.files of each tree signed with update=True, a link and a dangling
    link added."""
    d = HERE / "corpus" / "metadata_member"
    d.mkdir(parents=True, exist_ok=True)
    for old in d.glob("seed-*"):
        old.unlink()
    for label, tree in TREES.items():
        with zipfile.ZipFile(io.BytesIO(certificate(tree, update=True))) as z:
            (d / f"seed-{label}.files").write_bytes(z.read("Certificate.files"))


def main():
    metadata_seeds()
    dirs = {k: HERE / "corpus" / k for k in ("pickle_reader", "zip_reader", "certificate_load")}
    for d in dirs.values():
        d.mkdir(parents=True, exist_ok=True)
        for old in d.glob("seed-*"):
            old.unlink()
    for label, tree in TREES.items():
        archive = certificate(tree)
        with zipfile.ZipFile(io.BytesIO(archive)) as z:
            payload = z.read("Certificate.pk")
        deflated = repacked(archive, zipfile.ZIP_DEFLATED)
        (dirs["pickle_reader"] / f"seed-{label}.pk").write_bytes(payload)
        for kind in ("zip_reader", "certificate_load"):
            (dirs[kind] / f"seed-{label}.zip").write_bytes(archive)
            (dirs[kind] / f"seed-{label}-deflated.zip").write_bytes(deflated)
    if shutil.which("ssh-keygen"):
        for label, tree in TREES.items():
            archive = signed_certificate(tree)
            for kind in ("zip_reader", "certificate_load"):
                (dirs[kind] / f"seed-{label}-signed.zip").write_bytes(archive)


if __name__ == "__main__":
    main()
