# Damaged, hostile and unusual certificates: every one ends in a clean verdict, nothing runs.
import io
import os
import pickle
import struct
import zipfile

import pytest

from validation_helpers import (VALIDATION_LOGGER, assert_clean_verdict, deserialize_in_child,
                                host_certificate, make_tree, node_table, pickle_table, run_cli,
                                says_corrupted, sign, unzip_t, validate, write, zip64_archive,
                                zip_payload)

ARCHIVE = "Certificate.korvex"
NODE_MODULE, NODE_CLASS = "mavelin.core.models", "FileNode"


@pytest.fixture
def tree(tmp_path):
    top = tmp_path / "tree"
    make_tree(top, {"a.txt": b"alpha", "sub/b.bin": bytes(range(256)) * 9})
    return top


def corpus(tmp_path, tree, items, timeout=300):
    """items: {case id: archive bytes}; returns {case id: outcome} from one child run."""
    folder = tmp_path / "corpus"
    folder.mkdir(exist_ok=True)
    cases = []
    for i, (case_id, data) in enumerate(items.items()):
        path = folder / f"{i}.korvex"
        path.write_bytes(data)
        cases.append({"id": case_id, "cert": str(path), "dir": str(tree)})
    return deserialize_in_child(cases, timeout=timeout)


def archive_of(payload, **kw):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as zf:
        info = zipfile.ZipInfo("Certificate.pk", date_time=(2024, 1, 2, 3, 4, 6))
        zf.writestr(info, payload, **kw)
    return buf.getvalue()


def payload_span(data):
    """Offset and length of the member's data inside the archive bytes."""
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        info = zf.getinfo("Certificate.pk")
    name_len, extra_len = struct.unpack_from("<HH", data, info.header_offset + 26)
    return info.header_offset + 30 + name_len + extra_len, info.compress_size


class NodeOnlyUnpickler(pickle.Unpickler):
    """The host's decoder, allowed to name the record class and nothing else."""

    def find_class(self, module, name):
        if (module, name) == (NODE_MODULE, NODE_CLASS):
            from mavelin.core.models import FileNode
            return FileNode
        raise pickle.UnpicklingError(f"{module}.{name} refused")


def host_view(payload):
    """What the restricted host decoder makes of a payload, in the child's summary form."""
    try:
        table = NodeOnlyUnpickler(io.BytesIO(payload)).load()
        return [[k, type(n).__module__ + "." + type(n).__qualname__, repr(sorted(vars(n).items()))]
                for k, n in table.items()]
    except Exception:
        return None


# --- truncation and flipped bytes -------------------------------------------------------------

class TestTruncationAndBitFlips:
    def test_signed_certificate_truncated_at_every_offset(self, tmp_path, tree):
        data = open(sign(tree), "rb").read()
        out = corpus(tmp_path, tree, {f"cut@{n}": data[:n] for n in range(len(data))})
        for outcome in out.values():
            assert_clean_verdict(outcome)

    def test_host_certificate_truncated_at_every_offset(self, tmp_path, tree):
        data = host_certificate(tree, dest=tmp_path / "h.korvex", protocol=2).read_bytes()
        out = corpus(tmp_path, tree, {f"cut@{n}": data[:n] for n in range(len(data))})
        for outcome in out.values():
            assert_clean_verdict(outcome)

    @pytest.mark.parametrize("fraction", [0.0, 0.05, 0.2, 0.5, 0.8, 0.95, 0.999])
    def test_truncated_on_the_command_line(self, tmp_path, tree, fraction):
        data = open(sign(tree), "rb").read()
        cert = write(tmp_path / "cut.korvex", data[:int(len(data) * fraction)])
        r = validate(tree, cert, timeout=60)
        assert r.returncode == 1
        r.assert_clean()
        assert len(r.log) == 1 and r.log[0][0] == "ERROR", r.stdout

    def test_flipped_payload_bytes_fail_the_checksum(self, tmp_path, tree):
        data = open(sign(tree), "rb").read()
        start, length = payload_span(data)
        items = {}
        for off in range(start, start + length):
            for mask in (0x01, 0xFF):
                mutated = bytearray(data)
                mutated[off] ^= mask
                items[f"flip@{off}^{mask}"] = bytes(mutated)
        for case, outcome in corpus(tmp_path, tree, items).items():
            assert outcome["kind"] == "exit", (case, outcome)
            assert_clean_verdict(outcome)

    def test_flipped_bytes_anywhere(self, tmp_path, tree):
        data = open(sign(tree), "rb").read()
        good = corpus(tmp_path, tree, {"good": data})["good"]
        assert good["kind"] == "ok"
        items = {}
        for off in range(len(data)):
            mutated = bytearray(data)
            mutated[off] ^= 0xFF
            items[f"flip@{off}"] = bytes(mutated)
        for case, outcome in corpus(tmp_path, tree, items).items():
            assert_clean_verdict(outcome, allow_ok=True)
            if outcome["kind"] == "ok":  # only a header field that does not matter
                assert outcome["table"] == good["table"], case

    def test_payload_truncated_with_a_valid_checksum(self, tmp_path, tree):
        payload = pickle_table(node_table(tree), protocol=4)
        items = {f"cut@{n}": archive_of(payload[:n]) for n in range(len(payload))}
        for case, outcome in corpus(tmp_path, tree, items).items():
            assert outcome["kind"] == "exit", (case, outcome)
            assert_clean_verdict(outcome)

    @pytest.mark.parametrize("protocol", [2, 4])
    def test_payload_bytes_changed_with_a_valid_checksum(self, tmp_path, tree, protocol):
        # Whatever the decoder accepts must be exactly what the host's decoder makes of it.
        payload = pickle_table(node_table(tree), protocol=protocol)
        items, payloads = {}, {}
        for off in range(len(payload)):
            for mask in (0x01, 0x80, 0xFF):
                mutated = bytearray(payload)
                mutated[off] ^= mask
                key = f"p{protocol}@{off}^{mask}"
                payloads[key] = bytes(mutated)
                items[key] = archive_of(bytes(mutated))
        for case, outcome in corpus(tmp_path, tree, items).items():
            assert_clean_verdict(outcome, allow_ok=True)
            if outcome["kind"] == "ok":
                assert outcome["table"] == host_view(payloads[case]), case


# --- hostile payloads -------------------------------------------------------------------------

def _short(text):
    raw = text.encode()
    return b"\x8c" + bytes([len(raw)]) + raw


def _node_prefix(proto=4):
    """PROTO, an empty dict and the first key, ready for a value."""
    return bytes([0x80, proto]) + b"}" + _short("node_id_1")


def _file_node(fingerprint_ops=b"", path="a.txt", node_id=1):
    """Ops building one FileNode the way the host pickler does (optionally a raw fingerprint)."""
    ops = _short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93" + b")" + b"\x81"
    ops += b"}" + _short("id") + b"K" + bytes([node_id]) + b"s" + _short("file_path") + _short(path) + b"s"
    if fingerprint_ops:
        ops += _short("_FileNode__hash_fingerprint") + fingerprint_ops + b"s"
    return ops + b"b"


def _table_with(node_ops, proto=4):
    return _node_prefix(proto) + node_ops + b"s."


class Reducer:
    def __init__(self, func, args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


def hostile_payloads(marker):
    m = str(marker)
    cmd = f"touch '{m}'"
    code = f"open({m!r}, 'w').close()"
    g_sys = b"cos\nsystem\n"
    items = {
        "p0 os.system": g_sys + f"(S'{cmd}'\ntR.".encode(),
        "p0 INST": f"(S'{cmd}'\nios\nsystem\n.".encode(),
        "p2 OBJ": b"\x80\x02(" + g_sys + b"X" + struct.pack("<I", len(cmd)) + cmd.encode() + b"o.",
        "p4 STACK_GLOBAL eval": b"\x80\x04" + _short("builtins") + _short("eval") + b"\x93"
                                + _short(code) + b"\x85R.",
        "p2 GLOBAL exec": b"\x80\x02cbuiltins\nexec\n" + _short(code) + b"\x85R.",
        "eval in FileNode state": _table_with(
            _short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93)\x81}" + _short("id")
            + _short("builtins") + _short("eval") + b"\x93" + _short(code) + b"\x85R" + b"sb"),
        "FileNode constructor via REDUCE": b"\x80\x04}" + _short("node_id_1") + _short(NODE_MODULE)
                                           + _short(NODE_CLASS) + b"\x93K\x01" + _short("a.txt")
                                           + b"\x86Rs.",
        "dotted attribute of FileNode": b"\x80\x04" + _short(NODE_MODULE) + _short("FileNode.__init__")
                                        + b"\x93.",
        "other class of the package": b"\x80\x04" + _short("mavelin.core.validation")
                                      + _short("CertificateValidator") + b"\x93)\x81.",
        "FileNode of another module": b"\x80\x04" + _short("__main__") + _short(NODE_CLASS)
                                      + b"\x93)\x81.",
        "NEWOBJ_EX with kwargs": _table_with(_short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93)}"
                                             + _short("id") + b"K\x01s\x92"),
        "NEWOBJ with arguments": _table_with(_short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93K\x01"
                                             + _short("a.txt") + b"\x86\x81"),
        "BUILD with slot state": _table_with(_short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93)\x81"
                                             + b"N}" + _short("id") + b"K\x01s\x86b"),
        "persistent id": b"\x80\x04" + _short("x") + b"Q.",
        "extension code": b"\x80\x04\x82\x01.",
    }
    for proto in (2, 4, 5):
        items[f"__reduce__ os.system p{proto}"] = pickle.dumps(
            {"node_id_1": Reducer(os.system, (cmd,))}, protocol=proto)
        items[f"__reduce__ eval p{proto}"] = pickle.dumps({"node_id_1": Reducer(eval, (code,))},
                                                          protocol=proto)
    for proto in (0, 1):
        items[f"node table at protocol {proto}"] = None  # filled by the caller with real nodes
    return items


class TestHostilePayloads:
    def test_nothing_runs_and_all_are_corrupted(self, tmp_path, tree):
        marker = tmp_path / "MARKER"
        payloads = hostile_payloads(marker)
        for proto in (0, 1):
            payloads[f"node table at protocol {proto}"] = pickle_table(node_table(tree), proto)
        out = corpus(tmp_path, tree, {k: archive_of(v) for k, v in payloads.items()})
        assert not marker.exists()
        for case, outcome in out.items():
            assert outcome["kind"] == "exit", (case, outcome)
            assert_clean_verdict(outcome)

    def test_reduce_payload_on_the_command_line(self, tmp_path, tree):
        marker = tmp_path / "MARKER"
        payload = pickle.dumps({"node_id_1": Reducer(os.system, (f"touch '{marker}'",))})
        zip_payload(tree / "Certificates" / ARCHIVE, payload)
        r = validate(tree, timeout=60)
        assert not marker.exists()
        assert r.returncode == 1
        r.assert_clean()
        assert r.log[-1][:2] == ("ERROR", VALIDATION_LOGGER) and says_corrupted(r.log[-1][2])
        assert [level for level, _n, _m in r.log].count("ERROR") == 1


# --- resource abuse ---------------------------------------------------------------------------

N = 100_000


def abusive_payloads():
    big = 2 ** 60
    return {
        "nested lists via APPEND": b"\x80\x04" + b"]" * (N + 1) + b"a" * N + b".",
        "nested lists via MARK/LIST": b"\x80\x04" + b"(" * N + b"]" + b"l" * N + b".",
        "nested dicts": b"\x80\x04" + b"}" + (_short("k") + b"}") * N + b"s" * N + b".",
        "nested tuples": b"\x80\x04)" + b"\x85" * N + b".",
        "marks never closed": b"\x80\x04" + b"(" * N + b".",
        "BINUNICODE8 2**60": b"\x80\x04\x8d" + struct.pack("<Q", big) + b"abc.",
        "BINBYTES8 2**60": b"\x80\x04\x8e" + struct.pack("<Q", big) + b"abc.",
        "BYTEARRAY8 2**60": b"\x80\x05\x96" + struct.pack("<Q", big) + b"abc.",
        "BINUNICODE 2**32-1": b"\x80\x04X" + struct.pack("<I", 2 ** 32 - 1) + b"abc.",
        "SHORT_BINUNICODE past the end": b"\x80\x04\x8c\xffabc",
        "FRAME 2**60": b"\x80\x04\x95" + struct.pack("<Q", big) + b"}.",
        "FRAME 2**63-1": b"\x80\x04\x95" + struct.pack("<Q", 2 ** 63 - 1) + b"}.",
        "FRAME shorter than content": b"\x80\x04\x95" + struct.pack("<Q", 1) + b"}" + _short("x") + b".",
        "LONG4 2**31-1": b"\x80\x04\x8b" + struct.pack("<i", 2 ** 31 - 1) + b"\x01.",
        "LONG4 negative length": b"\x80\x04\x8b" + struct.pack("<i", -5) + b"\x01.",
        "LONG1 past the end": b"\x80\x04\x8a\xff\x01.",
        "memo index 2**32-1": b"\x80\x04}" + _short("k") + b"r\xff\xff\xff\xff" + b"j\xff\xff\xff\xff"
                              + b"s.",
        "memo get unset": b"\x80\x04}" + _short("k") + b"j\x07\x00\x00\x00s.",
        "text PUT huge": b"\x80\x02}" + _short("k") + b"p99999999999999999999\n" + b"s.",
        "many memo puts": b"\x80\x04]" + (_short("x") + b"\x94a") * N + b".",
        "empty payload": b"",
        "only PROTO": b"\x80\x04",
        "unknown protocol": b"\x80\x09}.",
        "invalid opcode": b"\x80\x04\xff.",
        "STOP with empty stack": b"\x80\x04.",
        "invalid utf-8 text": b"\x80\x04}\x8c\x02\xff\xfe)s.",
    }


class TestResourceAbuse:
    def test_all_corrupted_quickly(self, tmp_path, tree):
        items = {k: archive_of(v) for k, v in abusive_payloads().items()}
        out = corpus(tmp_path, tree, items, timeout=120)
        for case, outcome in out.items():
            assert outcome["kind"] == "exit", (case, outcome)
            assert_clean_verdict(outcome)

    def test_streams_the_pickler_never_writes(self, tmp_path, tree):
        # Odd but decodable streams: refused, or decoded exactly as the host decodes them.
        table = pickle_table(node_table(tree), protocol=4)
        payloads = {
            "two values then STOP": b"\x80\x04}}.",
            "bytes after STOP": table + b"trailing garbage",
            "second pickle after STOP": table + table,
            "no PROTO opcode": table[2:],
        }
        out = corpus(tmp_path, tree, {k: archive_of(v) for k, v in payloads.items()})
        for case, outcome in out.items():
            assert_clean_verdict(outcome, allow_ok=True)
            if outcome["kind"] == "ok":
                assert outcome["table"] == host_view(payloads[case]), case

    def test_deep_fingerprint_value_on_the_command_line(self, tmp_path, tree):
        # A record whose fingerprint is a very deep list: refused, or compared without a crash.
        deep = b"]" * (N + 1) + b"a" * N
        zip_payload(tree / "Certificates" / ARCHIVE, _table_with(_file_node(deep)))
        r = validate(tree, timeout=60)
        assert r.returncode == 1
        r.assert_clean()
        errors = [m for level, _n, m in r.log if level == "ERROR"]
        assert (len(errors) == 1 and says_corrupted(errors[0])
                or errors == ["Validation failed", "Files failed validation: 2"]), r.stdout

    @pytest.mark.parametrize("shape", ["list on top", "int key", "text value", "text id",
                                       "text fingerprint", "fingerprint of ints", "None path"])
    def test_wrong_shapes_give_a_verdict(self, tmp_path, tree, shape):
        valid_fp = b"]" + (b"]" + _short("0" * 64) + b"a") * 4
        payload = {
            "list on top": b"\x80\x04]" + _file_node(valid_fp) + b"a.",
            "int key": b"\x80\x04}K\x01" + _file_node(valid_fp) + b"s.",
            "text value": _table_with(_short("a.txt")),
            "text id": _table_with(_short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93)\x81}"
                                   + _short("id") + _short("1") + b"s" + _short("file_path")
                                   + _short("a.txt") + b"sb"),
            "text fingerprint": _table_with(_file_node(_short("0" * 64))),
            "fingerprint of ints": _table_with(_file_node(b"]K\x01a")),
            "None path": _table_with(_short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93)\x81}"
                                     + _short("id") + b"K\x01s" + _short("file_path") + b"Nsb"),
        }[shape]
        zip_payload(tree / "Certificates" / ARCHIVE, payload)
        r = validate(tree, timeout=60)
        assert r.returncode == 1, r.stdout
        r.assert_clean()
        errors = [m for level, _n, m in r.log if level == "ERROR"]
        assert (len(errors) == 1 and says_corrupted(errors[0])
                or errors[:1] == ["Validation failed"]), r.stdout


# --- archive forms ----------------------------------------------------------------------------

def one_error_line(r):
    assert r.returncode == 1, r.stdout + r.stderr
    r.assert_clean()
    assert len(r.log) == 1 and r.log[0][0] == "ERROR", r.stdout


class TestArchiveForms:
    def test_force_zip64_member_validates(self, tmp_path, tree):
        cert = host_certificate(tree, force_zip64=True)
        assert unzip_t(cert) == 0
        assert validate(tree).returncode == 0

    def test_full_zip64_archive_validates(self, tmp_path, tree):
        cert = write(tree / "Certificates" / ARCHIVE, zip64_archive(pickle_table(node_table(tree))))
        assert unzip_t(cert) == 0
        with zipfile.ZipFile(cert) as zf:
            assert zf.testzip() is None
        r = validate(tree)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_streamed_archive_with_data_descriptor_validates(self, tmp_path, tree):
        class Unseekable(io.RawIOBase):
            def __init__(self):
                self.buf = bytearray()

            def writable(self):
                return True

            def write(self, b):
                self.buf += b
                return len(b)

        out = Unseekable()
        with zipfile.ZipFile(out, "w") as zf:
            with zf.open("Certificate.pk", "w") as member:
                member.write(pickle_table(node_table(tree)))
        cert = write(tree / "Certificates" / ARCHIVE, bytes(out.buf))
        assert unzip_t(cert) == 0
        r = validate(tree)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_archive_comment_and_extra_member(self, tmp_path, tree):
        cert = tree / "Certificates" / ARCHIVE
        cert.parent.mkdir()
        with zipfile.ZipFile(cert, "w") as zf:
            zf.writestr("readme.txt", "other")
            zf.writestr("Certificate.pk", pickle_table(node_table(tree)))
            zf.comment = b"signed elsewhere"
        r = validate(tree)
        assert r.returncode == 0, r.stdout + r.stderr

    def test_archive_after_prepended_bytes_validates(self, tmp_path, tree):
        cert = host_certificate(tree)
        write(cert, os.urandom(100) + cert.read_bytes())
        with zipfile.ZipFile(cert) as zf:  # unzip warns about the prefix; zipfile reads it
            assert zf.testzip() is None
        r = validate(tree)
        assert r.returncode == 0, r.stdout + r.stderr

    @pytest.mark.parametrize("level", ["-0", "-9"])
    def test_archive_made_by_the_zip_tool(self, tmp_path, tree, level):
        import shutil
        import subprocess
        if not shutil.which("zip"):
            pytest.skip("no zip tool")
        work = tmp_path / "work"
        write(work / "Certificate.pk", pickle_table(node_table(tree)))
        (tree / "Certificates").mkdir()
        subprocess.run(["zip", "-q", level, "-X" if level == "-9" else "-q",
                        str(tree / "Certificates" / ARCHIVE), "Certificate.pk"], cwd=work, check=True)
        r = validate(tree)
        r.assert_clean()
        assert r.returncode == 0, r.stdout + r.stderr  # stored, or deflated at -9

    @pytest.mark.parametrize("level", [0, 1, 9])
    def test_deflated_member_validates(self, tmp_path, tree, level):
        # Large enough for several blocks of every kind.
        make_tree(tree, {f"many/{i:04d}.txt": b"%d" % i for i in range(800)})
        host_certificate(tree, compression=zipfile.ZIP_DEFLATED, compresslevel=level)
        r = validate(tree)
        r.assert_clean()
        assert r.returncode == 0, r.stdout + r.stderr

    @pytest.mark.parametrize("method", [zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA])
    def test_other_compression_methods_are_refused_naming_the_method(self, tmp_path, tree, method):
        cert = host_certificate(tree, compression=method)
        out = deserialize_in_child([{"id": "m", "cert": str(cert), "dir": str(tree)}])["m"]
        name = {zipfile.ZIP_BZIP2: "bzip2", zipfile.ZIP_LZMA: "lzma"}[method]
        assert out["kind"] == "archive" and out["log"] == [], out
        assert out["text"] == (f"Certificate file cannot be read: compression type {method} ({name})"
                               " is not supported: only stored and deflated members are read"), out

    def test_damaged_deflated_data_is_corrupted(self, tmp_path, tree):
        good = archive_of(pickle_table(node_table(tree)), compress_type=zipfile.ZIP_DEFLATED)
        start, length = payload_span(good)
        items = {}
        for i in range(length):
            data = bytearray(good)
            data[start + i] ^= 0x10
            items[f"byte {i}"] = bytes(data)
        for n in range(0, length, 7):
            items[f"cut {n}"] = good[:start + n] + good[start + length:]
        for case, outcome in corpus(tmp_path, tree, items).items():
            assert_clean_verdict(outcome, allow_ok=True)
            if outcome["kind"] == "ok":  # a change zlib would not notice either
                assert outcome["table"] == host_view(pickle_table(node_table(tree))), case

    @pytest.mark.parametrize("form", ["empty archive", "other member only", "not a zip",
                                      "zero bytes"])
    def test_unusable_archive_on_the_command_line(self, tmp_path, tree, form):
        cert = tmp_path / "cert.korvex"
        if form == "empty archive":
            zipfile.ZipFile(cert, "w").close()
        elif form == "other member only":
            zip_payload(cert, pickle_table(node_table(tree)), member="certificate.pk")
        elif form == "not a zip":
            write(cert, b"this is plain text, not an archive\n" * 10)
        elif form == "zero bytes":
            write(cert, b"")
        one_error_line(validate(tree, cert))

    @pytest.mark.parametrize("form", ["directory", "missing"])
    def test_certificate_naming_no_file_is_refused_by_the_command_line(self, tmp_path, tree, form):
        cert = tmp_path if form == "directory" else tmp_path / "cert.korvex"
        r = run_cli("validate_certificate", "-p", tree, "-c", cert)
        assert r.returncode == 2 and r.stdout == ""
        assert "--certificate-file" in r.stderr

    def test_library_callers_get_the_archive_errors(self, tmp_path, tree):
        empty = tmp_path / "empty.zip"
        zipfile.ZipFile(empty, "w").close()
        text = write(tmp_path / "text.zip", b"not a zip at all" * 20)
        cases = [
            {"id": "missing", "cert": str(tmp_path / "missing.zip"), "dir": str(tree)},
            {"id": "directory", "cert": str(tmp_path), "dir": str(tree)},
            {"id": "not a zip", "cert": str(text), "dir": str(tree)},
            {"id": "empty archive", "cert": str(empty), "dir": str(tree)},
        ]
        out = deserialize_in_child(cases)
        expected = {"missing": "FileNotFoundError", "directory": "IsADirectoryError",
                    "not a zip": "BadZipFile", "empty archive": "KeyError"}
        for case, type_name in expected.items():
            assert out[case]["kind"] == "archive", out[case]
            assert out[case]["type"] == type_name, out[case]
            assert out[case]["log"] == []

    def test_sizes_and_offsets_that_lie(self, tmp_path, tree):
        good = archive_of(pickle_table(node_table(tree)))
        with zipfile.ZipFile(io.BytesIO(good)) as zf:
            info = zf.getinfo("Certificate.pk")
        cd = good.rindex(b"PK\x01\x02")
        eocd = good.rindex(b"PK\x05\x06")
        items = {}

        def patch(name, offset, fmt, value):
            data = bytearray(good)
            struct.pack_into(fmt, data, offset, value)
            items[name] = bytes(data)

        lh = info.header_offset
        for field, off in [("local compressed", lh + 18), ("local uncompressed", lh + 22),
                           ("central compressed", cd + 20), ("central uncompressed", cd + 24),
                           ("central local offset", cd + 42), ("eocd cd size", eocd + 12),
                           ("eocd cd offset", eocd + 16)]:
            for value in (0, 1, 0x7FFFFFFF, 0xFFFFFFFE):
                patch(f"{field}={value:#x}", off, "<I", value)
        for field, off in [("local name length", lh + 26), ("local extra length", lh + 28),
                           ("central name length", cd + 28), ("central extra length", cd + 30),
                           ("eocd entries", eocd + 10), ("eocd comment length", eocd + 20)]:
            for value in (0, 0xFFFF):
                patch(f"{field}={value:#x}", off, "<H", value)
        patch("encrypted flag", cd + 8, "<H", 1)
        patch("unknown method", cd + 10, "<H", 99)
        out = corpus(tmp_path, tree, items)
        for case, outcome in out.items():
            assert_clean_verdict(outcome, allow_ok=True)
            if outcome["kind"] == "ok":
                assert outcome["table"] == host_view(pickle_table(node_table(tree))), case


# --- members that claim more than they hold -------------------------------------------------

PEAK_CHILD = """
import resource, sys
from mavelin.core.validation import CertificateValidator
v = CertificateValidator(sys.argv[2], sys.argv[1], chunk_size=2048, transformation_step=4)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    v.deserealize_certificate()
    print("ok")
except SystemExit as e:
    print("exit", e.code)
except Exception as e:
    print(type(e).__name__, e)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


def load_in_child(tree, cert):
    """Outcome line and peak memory growth in MiB of one certificate load in a fresh child."""
    from support import run_python
    r = run_python(PEAK_CHILD, str(tree), str(cert), warnings_as_errors=False, timeout=120)
    assert r.returncode == 0, r.stderr
    outcome, growth = r.stdout.splitlines()[-2:]
    return outcome, int(growth)


def test_sparse_member_declaring_gigabytes_costs_no_memory(tmp_path, tree):
    # A stored member that claims 3 GiB, in a sparse file that really is that long.
    payload = pickle_table(node_table(tree))
    good = archive_of(payload)
    start, length = payload_span(good)
    with zipfile.ZipFile(io.BytesIO(good)) as zf:
        info = zf.getinfo("Certificate.pk")
    cd = good.rindex(b"PK\x01\x02")
    claim = 3 << 30
    head = bytearray(good[:start])
    struct.pack_into("<II", head, info.header_offset + 18, claim, claim)
    central = bytearray(good[cd:])
    struct.pack_into("<II", central, 20, claim, claim)
    eocd = central.rindex(b"PK\x05\x06")
    struct.pack_into("<I", central, eocd + 16, start + claim)
    cert = tmp_path / "sparse.korvex"
    with open(cert, "wb") as f:
        f.write(head + payload)
        f.seek(start + claim)
        f.write(central)
    outcome, growth = load_in_child(tree, cert)
    assert outcome == "exit 1", outcome
    assert growth < 64, growth


def test_deflate_bomb_is_corrupted_at_its_declared_size(tmp_path, tree):
    # 1 KiB declared, about 1 GiB once inflated.
    import zlib
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    stream = c.compress(b"\0" * (1 << 24))
    stream = stream + b"".join(c.compress(b"\0" * (1 << 24)) for _ in range(63)) + c.flush()
    good = archive_of(b"x" * 1024, compress_type=zipfile.ZIP_DEFLATED)
    start, length = payload_span(good)
    bomb = bytearray(good[:start] + stream + good[start + length:])
    shift = len(stream) - length
    cd = good.rindex(b"PK\x01\x02") + shift
    struct.pack_into("<I", bomb, 18, len(stream))
    struct.pack_into("<I", bomb, cd + 20, len(stream))
    eocd = bytes(bomb).rindex(b"PK\x05\x06")
    struct.pack_into("<I", bomb, eocd + 16, cd)
    cert = write(tmp_path / "bomb.korvex", bytes(bomb))
    outcome, growth = load_in_child(tree, cert)
    assert outcome == "exit 1", outcome
    assert growth < 64, growth


def test_every_refused_archive_says_it_is_corrupted_and_why(tmp_path, tree):
    good = archive_of(pickle_table(node_table(tree)))
    with zipfile.ZipFile(io.BytesIO(good)) as zf:
        info = zf.getinfo("Certificate.pk")
    cd = good.rindex(b"PK\x01\x02")
    eocd = good.rindex(b"PK\x05\x06")
    items = {"truncated": good[:len(good) // 2], "plain text": b"not an archive\n" * 9}
    for value in (0x7FFFFFFF, 0xFFFFFFFE, 1):
        for name, off in (("cd offset", eocd + 16), ("local offset", cd + 42)):
            data = bytearray(good)
            struct.pack_into("<I", data, off, value)
            items[f"{name} {value:#x}"] = bytes(data)
    # A zip64 extra whose header offset no file can have.
    extra = struct.pack("<HHQ", 1, 8, 1 << 63)
    data = bytearray(good[:cd + 46 + 14] + extra + good[cd + 46 + 14:])
    struct.pack_into("<IH", data, cd + 42, 0xFFFFFFFF, 0)
    struct.pack_into("<H", data, cd + 30, len(extra))
    struct.pack_into("<I", data, len(data) - 22 + 12, len(good) - cd + len(extra))
    items["zip64 offset 2**63"] = bytes(data)
    data = bytearray(good)
    struct.pack_into("<I", data, info.header_offset, 0)
    items["local signature"] = bytes(data)
    out = corpus(tmp_path, tree, items)
    for case, outcome in out.items():
        assert outcome["kind"] == "archive", (case, outcome)
        text = outcome["text"].strip("'\"")
        assert "Certificate file is corrupted: " in text, (case, outcome)
        assert "Invalid argument" not in text and "offset-sized" not in text, (case, outcome)


@pytest.mark.parametrize("unit", [b"]", b")", b"(]]]]]]]]e", b"\x8c\x00"])
def test_hostile_payload_memory_is_a_small_multiple_of_its_size(tmp_path, tree, unit):
    # 3 MiB of the cheapest object-making opcodes (empty lists, empty tuples, list items, empty
    # strings): decoding stops at its table budget instead of growing about 45 bytes per byte.
    payload = b"\x80\x04" + unit * ((3 << 20) // len(unit)) + b"."
    cert = write(tmp_path / "hostile.korvex", archive_of(payload))
    outcome, growth = load_in_child(tree, cert)
    assert outcome == "exit 1", outcome
    assert growth <= 14 * 3, growth  # MiB: the member itself and the decoder's tables


PEAK_VALIDATE = """
import sys
from mavelin.utils import validate_certificate
def peak():  # this process's own high-water mark, in KiB (ru_maxrss keeps the forking parent's)
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("VmHWM")).split()[1])
before = peak()
try:
    validate_certificate(sys.argv[1], sys.argv[2])
    print("ok")
except SystemExit as e:
    print("exit", e.code)
print((peak() - before) // 1024)
"""


@pytest.mark.parametrize("flood,method", [("empty strings in a node", zipfile.ZIP_STORED)] + [
    (flood, zipfile.ZIP_DEFLATED)
    for flood in ("empty strings in a node", "list items", "nested marks", "a path of 200 MB")])
def test_a_hostile_certificate_costs_at_most_its_budget(tmp_path, tree, flood, method):
    # 16 bytes per byte on disk and 64 MiB, deflated or not, whichever way the payload is read.
    from support import run_python
    n = 20 << 20
    payload = {
        "empty strings in a node": b"\x80\x04}\x94(" + b"\x8c\x00" * (n // 2) + b".",
        "list items": b"\x80\x04](" + b"K\x01" * (n // 2) + b"e.",
        "nested marks": b"\x80\x04" + b"(" * n + b".",
        "a path of 200 MB": _table_with(_short(NODE_MODULE) + _short(NODE_CLASS) + b"\x93)\x81}"
                                        + _short("id") + b"K\x01s" + _short("file_path")
                                        + b"\x8d" + struct.pack("<Q", 10 * n) + b"a" * (10 * n)
                                        + b"sb"),
    }[flood]
    cert = write(tmp_path / "flood.korvex", archive_of(payload, compress_type=method))
    r = run_python(PEAK_VALIDATE, str(tree), str(cert), warnings_as_errors=False, timeout=300)
    assert r.returncode == 0, r.stderr
    outcome, growth = r.stdout.splitlines()[-2:]
    assert outcome == "exit 1" and "Certificate file is corrupted: " in r.stderr, r.stderr[-300:]
    budget_mib = (16 * cert.stat().st_size >> 20) + 64
    assert int(growth) <= budget_mib + 8, (growth, budget_mib)  # and the allocator's slack


def refused_payloads(tree):
    table = pickle_table(node_table(tree), protocol=4)
    global_of = lambda module, name: f"c{module}\n{name}\n".encode()  # noqa: E731
    at_protocol_2 = pickle_table(node_table(tree), protocol=2)
    assert global_of(NODE_MODULE, NODE_CLASS) in at_protocol_2
    return {
        # case: (payload, what the reason names)
        "truncated pickle": (table[:len(table) // 2], "of the payload"),
        "GLOBAL of another class": (
            at_protocol_2.replace(global_of(NODE_MODULE, NODE_CLASS),
                                  global_of("mavelin.core.validation", "CertificateValidator")),
            "reference to a foreign global at byte"),
        "os.system by GLOBAL": (b"\x80\x02cos\nsystem\n.", "reference to a foreign global"),
        "unknown opcode": (b"\x80\x04\xff.", "unsupported opcode at byte 2"),
        "list instead of a dict": (b"\x80\x04]" + _file_node() + b"a.", "payload is not a dict"),
        "text instead of a node": (_table_with(_short("a.txt")), "node is not a FileNode"),
        "memo out of sequence": (b"\x80\x04}" + _short("k") + b"r\xff\xff\xff\xff.",
                                 "memo index out of sequence at byte"),
        "memo flood past the budget": (b"\x80\x04" + b"]\x94" * (1 << 20) + b".",
                                       "too many objects at byte"),
        "object flood past the budget": (b"\x80\x04" + b"]" * (3 << 20) + b".",
                                         "too many objects at byte"),
        "lone surrogate in a key": (b"\x80\x04}\x8c\x08node_\xed\xb3\xbf" + _file_node() + b"s.",
                                    "node key holds a lone surrogate"),
    }


def test_every_refused_payload_says_it_is_corrupted_and_why(tmp_path, tree):
    payloads = refused_payloads(tree)
    items = {case: archive_of(payload) for case, (payload, _why) in payloads.items()}
    data = archive_of(pickle_table(node_table(tree)))
    start, _length = payload_span(data)
    flipped = bytearray(data)
    flipped[start + 5] ^= 0xFF
    items["damaged member data"] = bytes(flipped)
    whys = {case: why for case, (_payload, why) in payloads.items()}
    whys["damaged member data"] = "Bad CRC-32 for file 'Certificate.pk'"
    out = corpus(tmp_path, tree, items)
    for case, outcome in out.items():
        assert outcome["kind"] == "exit", (case, outcome)
        assert_clean_verdict(outcome)
        assert whys[case] in outcome["log"][0][2], (case, outcome)


@pytest.mark.parametrize("case", ["GLOBAL of another class", "list instead of a dict",
                                  "memo flood past the budget", "lone surrogate in a key"])
def test_a_refused_payload_on_the_command_line_says_why(tmp_path, tree, case):
    payload, why = refused_payloads(tree)[case]
    zip_payload(tree / "Certificates" / ARCHIVE, payload)
    r = validate(tree, timeout=60)
    assert r.returncode == 1
    r.assert_clean()
    [(level, name, message)] = [t for t in r.log if t[0] == "ERROR"]
    assert says_corrupted(message) and why in message, r.stdout
