# Reference outcomes of the host zipfile module, printed for the ZIP engine tests to compare against.
"""Subcommands (one result per line on standard output):

write ARCHIVE PAYLOAD NAME
    zipfile writes PAYLOAD into a new ARCHIVE as member NAME; prints "ok" or the exception.
writemany ARCHIVE PAYLOAD NAME [MEMBER FILE]...
    zipfile writes PAYLOAD as member NAME, then each FILE's bytes with writestr() as MEMBER (a
    ZipInfo with NAME's time and mode 0600); prints "ok" or the exception.
list ARCHIVE
    Prints "NAME LEN CRC" for every member zipfile lists, in order, or the exception.
layout (NAME Y,M,D,H,MI,S EXTERNAL_ATTR DECLARED ACTUAL CRC)...
    For each group of six arguments, runs zipfile's writer for one member whose size is
    announced as DECLARED and turns out ACTUAL, without moving any data: the output stream
    only records where bytes land. Prints "at OFFSET HEX" for every write, in order, and
    "end" after each group.
make KIND ARCHIVE PAYLOAD_HEX
    Writes special archives with zipfile: zip64 (force_zip64), comment, deflated, empty,
    two (two members, the second named Certificate.pk), dup (the name twice, second wins),
    utf8 (a non-ASCII member name), prefix (zip64 archive after 100 junk bytes),
    far (the archive begins 5 GiB into a sparse file).
read ARCHIVE NAME
    Prints "ok LEN CRC" or the exception class name and message.
readmany NAME ARCHIVE...
    The same for each ARCHIVE, one line each.
deflate SOURCE PREFIX
    Writes raw deflate streams of SOURCE's bytes (no zlib header) at several levels, strategies
    and window sizes to PREFIX.0, PREFIX.1, ...; prints how many.
inflate LIMIT STREAM...
    For each raw deflate STREAM file: "ok LEN CRC" (what zlib inflates it to), "toolong" when it
    would give more than LIMIT bytes, "truncated" when it ends before the stream does, or "error".
mutate ARCHIVE NAME SEED COUNT
    Reads every mutant of ARCHIVE (every truncation, every byte inverted, every byte with its
    low bit flipped, then COUNT random mutants from SEED) as a file and prints one outcome per
    mutant: "ok LEN CRC" or the exception class name.
"""
import io
import os
import sys
import tempfile
import zipfile
import zlib

NAME = "Certificate.pk"


def outcome(path, name, with_message=False):
    try:
        with zipfile.ZipFile(path) as z:
            with z.open(name) as f:
                data = f.read()
        return "ok %d %08x" % (len(data), zlib.crc32(data))
    except Exception as e:  # noqa: BLE001 - every failure kind is the answer here
        if with_message:
            return "%s %s" % (type(e).__name__, e)
        return type(e).__name__


class Recorder:
    """Seekable sink that remembers where each write lands, never storing the member's data."""

    def __init__(self):
        self.pos = 0
        self.writes = []

    def write(self, b):
        self.writes.append((self.pos, bytes(b)))
        self.pos += len(b)
        return len(b)

    def tell(self):
        return self.pos

    def seek(self, pos, whence=0):
        assert whence == 0
        self.pos = pos
        return pos

    def flush(self):
        pass


def layout(name, date, attr, declared, actual, crc):
    sink = Recorder()
    zi = zipfile.ZipInfo(name, tuple(int(x) for x in date.split(",")))
    zi.external_attr = int(attr)
    zi.file_size = int(declared)
    zf = zipfile.ZipFile(sink, "w")
    with zf.open(zi, "w") as dest:
        # Stand-ins for having written ACTUAL bytes whose CRC-32 is CRC.
        dest._file_size = int(actual)
        dest._compress_size = int(actual)
        dest._crc = int(crc)
        sink.pos += int(actual)
    zf.close()
    for pos, b in sink.writes:
        print("at %d %s" % (pos, b.hex()))
    print("end")


def make(kind, archive, payload):
    if kind == "zip64":
        with zipfile.ZipFile(archive, "w") as z:
            with z.open(NAME, "w", force_zip64=True) as f:
                f.write(payload)
    elif kind == "comment":
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr(NAME, payload)
            z.comment = b"signed by the tests"
    elif kind == "deflated":
        with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_DEFLATED) as z:
            z.writestr(NAME, payload)
    elif kind == "empty":
        zipfile.ZipFile(archive, "w").close()
    elif kind == "two":
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("other.txt", b"other member")
            z.writestr(NAME, payload)
    elif kind == "dup":
        import warnings
        warnings.simplefilter("ignore")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr(NAME, b"first copy")
            z.writestr(NAME, payload)
    elif kind == "utf8":
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("Zertifikat-\u00e4\u20ac.pk", payload)
    elif kind == "prefix":
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w") as z:
            with z.open(NAME, "w", force_zip64=True) as f:
                f.write(payload)
        with open(archive, "wb") as f:
            f.write(b"#!/bin/sh\n" + b"x" * 90 + buf.getvalue())
    elif kind == "far":
        with open(archive, "wb") as f:
            f.seek(5 << 30)
            with zipfile.ZipFile(f, "w") as z:
                z.writestr(NAME, payload)
    else:
        raise SystemExit("unknown kind " + kind)


def xorshift(state):
    state ^= (state << 13) & 0xFFFFFFFFFFFFFFFF
    state ^= state >> 7
    state ^= (state << 17) & 0xFFFFFFFFFFFFFFFF
    return state


def mutants(data, seed, count):
    for n in range(len(data)):
        yield data[:n]
    for i in range(len(data)):
        m = bytearray(data)
        m[i] ^= 0xFF
        yield bytes(m)
    for i in range(len(data)):
        m = bytearray(data)
        m[i] ^= 0x01
        yield bytes(m)
    state = seed
    for _ in range(count):
        m = bytearray(data)
        state = xorshift(state)
        k = 1 + state % 4
        for _ in range(k):
            state = xorshift(state)
            pos = state % len(m)
            state = xorshift(state)
            m[pos] = state & 0xFF
        yield bytes(m)


def mutate(archive, name, seed, count):
    with open(archive, "rb") as f:
        data = f.read()
    fd, path = tempfile.mkstemp(prefix="zip_oracle_")
    os.close(fd)
    try:
        out = []
        for m in mutants(data, int(seed), int(count)):
            with open(path, "wb") as f:
                f.write(m)
            out.append(outcome(path, name))
        print("\n".join(out))
    finally:
        os.unlink(path)


def main(argv):
    cmd = argv[1]
    if cmd == "write":
        try:
            with zipfile.ZipFile(argv[2], "w") as z:
                z.write(argv[3], arcname=argv[4])
            print("ok")
        except Exception as e:  # noqa: BLE001
            print("%s %s" % (type(e).__name__, e))
    elif cmd == "writemany":
        try:
            with zipfile.ZipFile(argv[2], "w") as z:
                z.write(argv[3], arcname=argv[4])
                for member, source in zip(argv[5::2], argv[6::2]):
                    zi = zipfile.ZipInfo(member, z.getinfo(argv[4]).date_time)
                    zi.external_attr = 0o600 << 16
                    with open(source, "rb") as f:
                        z.writestr(zi, f.read())
            print("ok")
        except Exception as e:  # noqa: BLE001
            print("%s %s" % (type(e).__name__, e))
    elif cmd == "list":
        try:
            with zipfile.ZipFile(argv[2]) as z:
                for info in z.infolist():
                    data = z.read(info)
                    print("%s %d %08x" % (info.filename, len(data), zlib.crc32(data)))
        except Exception as e:  # noqa: BLE001
            print("%s %s" % (type(e).__name__, e))
    elif cmd == "layout":
        args = argv[2:]
        for i in range(0, len(args), 6):
            layout(*args[i:i + 6])
    elif cmd == "make":
        make(argv[2], argv[3], bytes.fromhex(argv[4]))
    elif cmd == "read":
        print(outcome(argv[2], argv[3], with_message=True))
    elif cmd == "readmany":
        for archive in argv[3:]:
            print(outcome(archive, argv[2], with_message=True))
    elif cmd == "deflate":
        with open(argv[2], "rb") as f:
            data = f.read()
        settings = [(level, zlib.Z_DEFAULT_STRATEGY, 15) for level in (0, 1, 6, 9)]
        settings += [(6, zlib.Z_FILTERED, 15), (6, zlib.Z_HUFFMAN_ONLY, 15), (9, zlib.Z_RLE, 15),
                     (6, zlib.Z_FIXED, 15), (9, zlib.Z_DEFAULT_STRATEGY, 9)]
        for i, (level, strategy, wbits) in enumerate(settings):
            c = zlib.compressobj(level, zlib.DEFLATED, -wbits, 9, strategy)
            # Several flushes: stored and empty blocks between the compressed ones.
            half = len(data) // 2
            stream = c.compress(data[:half]) + c.flush(zlib.Z_FULL_FLUSH) + c.compress(data[half:])
            with open("%s.%d" % (argv[3], i), "wb") as f:
                f.write(stream + c.flush())
        print(len(settings))
    elif cmd == "inflate":
        limit = int(argv[2])
        for name in argv[3:]:
            with open(name, "rb") as f:
                stream = f.read()
            d = zlib.decompressobj(-15)
            try:
                out = d.decompress(stream, limit + 1)
                if len(out) > limit:
                    print("toolong")
                elif not d.eof:
                    print("truncated")
                else:
                    print("ok %d %08x" % (len(out), zlib.crc32(out)))
            except zlib.error:
                print("error")
    elif cmd == "mutate":
        mutate(*argv[2:6])
    else:
        raise SystemExit("unknown command " + cmd)


if __name__ == "__main__":
    main(sys.argv)
