#!/usr/bin/env python3
"""Writes the pickle vectors of the certificate payload tests, using the host's own pickle.

Run once from this directory with the reference interpreter; the outputs are committed.
`--check` recomputes everything and compares it with the committed files instead (run it
with every supported interpreter).

Outputs, for each table NAME:
  NAME.table      the table, one line per node (or one `formula` line), read by the C++ tests
  NAME.p4.pkl     pickle.dumps(table, 4), or NAME.p4.sha256 ("<hex digest> <length>") when large
  NAME.p2.pkl     pickle.dumps(table, 2) for the tables the decoder tests read at protocol 2

Table file syntax:
  formula COUNT FP_EVERY ROWS   nodes 1..COUNT, see formula_table()
  node ID PATH NROWS ROW...     ID: little-endian two's complement in hex; NROWS "-" for
                                no fingerprint attribute; ROW "~" for an empty row, else
                                strings joined by ","; a string is x<hex of UTF-8> or
                                r<count>*<hex>, the hex unit repeated (surrogatepass UTF-8)
"""
import dataclasses
import hashlib
import os
import pickle
import sys
import types

MASK = (1 << 64) - 1
LARGE = 300_000  # streams at least this long are stored as digest and length


def install_record_module():
    """A module mavelin.core.models whose FileNode is built like the real record."""
    names = ["mavelin", "mavelin.core", "mavelin.core.models"]
    mods = [types.ModuleType(n) for n in names]
    for n, m in zip(names, mods):
        sys.modules[n] = m
    mods[0].core, mods[1].models = mods[1], mods[2]
    source = (
        "from dataclasses import dataclass\n"
        "@dataclass\n"
        "class FileNode:\n"
        "    id: int\n"
        "    file_path: str\n"
        "    def set_fingerprint(self, fingerprint):\n"
        "        self.__hash_fingerprint = fingerprint\n"
        "    def get_fingerprint(self):\n"
        "        return self.__hash_fingerprint\n"
    )
    exec(compile(source, "models.py", "exec"), mods[2].__dict__)
    return mods[2].FileNode


FileNode = install_record_module()


def digest(n, j):
    return "".join(f"{(n * 0x9E3779B97F4A7C15 + j * 0xBF58476D1CE4E5B9 + k) & MASK:016x}" for k in range(4))


def formula_table(count, fp_every, rows):
    table = {}
    for n in range(1, count + 1):
        node = FileNode(n, f"dir{n % 13}/sub{n % 7}/file_{n}.txt")
        if fp_every and n % fp_every == 0:
            node.set_fingerprint([[digest(n, j)] for j in range(rows)])
        table[f"node_id_{n}"] = node
    return table


def fresh(s):
    """A new str object equal to s (never a cached or interned one)."""
    assert len(s) >= 2, "short strings may be shared singletons"
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


def repeat(unit, count):
    return "".join([unit] * count)


def listed_table(specs):
    table = {}
    for i, (node_id, path, fp) in enumerate(specs, 1):
        node = FileNode(node_id, fresh(path))
        if fp is not None:
            node.set_fingerprint([[fresh(s) for s in row] for row in fp])
        table[f"node_id_{i}"] = node
    return table


def special_specs():
    ids = [0, 1, 255, 256, 65535, 65536, 2**31 - 1, 2**31, -1, -128, -129, -2**31, -2**31 - 1,
           2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64, 2**2039 - 1, 2**2039, -2**2039,
           -2**2039 - 1, 10**30, -10**30]
    paths = ["dir/файл.txt", "日本語/ファイル.dat", "emoji/\U0001F600.bin",
             os.fsdecode(b"bad/\xff\xfe.bin"), "lone/\ud800high", "pair/\ud83d\ude00split",
             "new\nline.txt", "tab\tand\\back\r", "sp ace/\u00fc\u00df", "ab"]
    paths.append("p" * 255)
    paths.append("q" * 256)
    fps = [None, [], [[digest(1, 0)]], [[digest(2, j)] for j in range(4)],
           [[f"r{j}"] for j in range(1000)], [[f"s{j}"] for j in range(1001)],
           [["first", "second"], [], ["third"]], [[f"t{j}" for j in range(1001)]]]
    specs = []
    for i, node_id in enumerate(ids):
        path = paths[i % len(paths)]
        if i >= len(paths):
            path = f"{i:02d}/{path}"[: len(path)] if len(path) in (255, 256) else f"{i:02d}/{path}"
        specs.append((node_id, path, fps[i] if i < len(fps) else fps[i % 4]))
    return specs


def big_specs():
    """Strings at and beyond the frame size, written outside frames."""
    return [
        (1, repeat("a", 65535), None),
        (2, repeat("b", 65536), [[repeat("c", 70000), repeat("d", 70000)]]),
        (3, repeat("\u00e9", 32768), [[repeat("e", 65536)], [repeat("f", 65536)]]),
        (4, "small/after.txt", [[repeat("\U0001F600", 16384)], ["tail"]]),
    ]


def table_lines_formula(count, fp_every, rows):
    return [f"formula {count} {fp_every} {rows}"]


def encode_str(s):
    b = s.encode("utf-8", "surrogatepass")
    for unit_len in (1, 2, 4):
        if len(b) > 64 and len(b) % unit_len == 0 and b == b[:unit_len] * (len(b) // unit_len):
            return f"r{len(b) // unit_len}*{b[:unit_len].hex()}"
    return "x" + b.hex()


def encode_int(v):
    n = max(1, (v.bit_length() + 8) // 8)
    return v.to_bytes(n, "little", signed=True).hex()


def table_lines_listed(specs):
    lines = []
    for node_id, path, fp in specs:
        parts = ["node", encode_int(node_id), encode_str(path)]
        if fp is None:
            parts.append("-")
        else:
            parts.append(str(len(fp)))
            parts += [",".join(encode_str(s) for s in row) if row else "~" for row in fp]
        lines.append(" ".join(parts))
    return lines


def check_identities(table):
    """Every str other than the attribute names must be its own object."""
    seen = {}
    shared = {"id", "file_path", "_FileNode__hash_fingerprint"}
    for key, node in table.items():
        values = [key]
        for name, value in vars(node).items():
            assert name in shared
            if isinstance(value, str):
                values.append(value)
            elif isinstance(value, list):
                values += [s for row in value for s in row]
        for s in values:
            assert id(s) not in seen, f"shared str {s[:20]!r}"
            seen[id(s)] = s


def vectors():
    """(name, table lines, table, protocols to store)"""
    yield "empty", ["# no nodes"], {}, (4, 2)
    single = [(7, "only/one.txt", None)]
    yield "one_plain", table_lines_listed(single), listed_table(single), (4, 2)
    single_fp = [(7, "only/one.txt", [[digest(7, j)] for j in range(4)])]
    yield "one_fp", table_lines_listed(single_fp), listed_table(single_fp), (4, 2)
    pair = [(1, "a.txt", []), (2, "b.txt", [[digest(2, 0)]])]
    yield "two", table_lines_listed(pair), listed_table(pair), (4, 2)
    for count, protos in ((999, (4,)), (1000, (4,)), (1001, (4, 2))):
        yield f"n{count}", table_lines_formula(count, 25, 4), formula_table(count, 25, 4), protos
    specs = special_specs()
    yield "special", table_lines_listed(specs), listed_table(specs), (4, 2)
    specs = big_specs()
    yield "big_strings", table_lines_listed(specs), listed_table(specs), (4,)
    yield "n70000", table_lines_formula(70000, 1, 4), formula_table(70000, 1, 4), (4,)


def outputs():
    """file name -> bytes"""
    files = {}
    for name, lines, table, protos in vectors():
        check_identities(table)
        files[f"{name}.table"] = ("\n".join(lines) + "\n").encode()
        p4 = pickle.dumps(table, 4)
        # Protocol 5 and 3 streams of these tables differ from 4 and 2 in the header only.
        assert pickle.dumps(table, 5) == p4[:1] + b"\x05" + p4[2:]
        p2 = pickle.dumps(table, 2)
        assert pickle.dumps(table, 3) == p2[:1] + b"\x03" + p2[2:]
        for proto in protos:
            data = p4 if proto == 4 else p2
            if len(data) >= LARGE:
                files[f"{name}.p{proto}.sha256"] = f"{hashlib.sha256(data).hexdigest()} {len(data)}\n".encode()
            else:
                files[f"{name}.p{proto}.pkl"] = data
    return files


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    check = "--check" in sys.argv[1:]
    bad = 0
    for fname, data in outputs().items():
        path = os.path.join(here, fname)
        if check:
            with open(path, "rb") as f:
                if f.read() != data:
                    print("differs:", fname)
                    bad += 1
        else:
            with open(path, "wb") as f:
                f.write(data)
    print(f"{sys.version.split()[0]}: {'checked' if check else 'written'}, {bad} differences")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
