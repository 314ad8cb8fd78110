#!/usr/bin/env python3
"""Writes utf8_vectors.txt: verdicts of Python's own UTF-8 decoder, strict and with surrogatepass.

Line formats (space-separated):
  pair <b0>  <256 hex digits>   for every second byte b1 (digit index): bit 0 = b0 b1 80 80
                                 decodes strictly, bit 1 = it decodes with surrogatepass,
                                 bit 2 = b0 b1 alone decodes strictly, bit 3 = with surrogatepass
  case <hex bytes> <strict 0/1> <surrogatepass 0/1>   one message
Run from this directory: python3 gen_utf8_vectors.py
"""


def decodes(data, errors):
    try:
        data.decode("utf-8", errors)
        return True
    except UnicodeDecodeError:
        return False


def verdicts(data):
    return int(decodes(data, "strict")), int(decodes(data, "surrogatepass"))


def cases():
    # Third and fourth bytes of long sequences, at and beyond the continuation range.
    for lead, second in ((0xE0, 0xA0), (0xE1, 0x80), (0xED, 0x9F), (0xED, 0xA0), (0xEF, 0xBF),
                         (0xF0, 0x90), (0xF3, 0xBF), (0xF4, 0x8F)):
        for other in (0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFF):
            yield bytes([lead, second, other, 0x80])
            yield bytes([lead, second, 0x80, other])
            yield bytes([lead, second, other])
    # Code points at the edges, surrogate pairs, everything in one text.
    for cp in (0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF):
        yield chr(cp).encode("utf-8")
    yield b"\xed\xa0\x80\xed\xb0\x80"  # a pair encoded as two surrogates
    yield b"\xed\xbf\xbf"
    yield "plain ascii text, \u00e9, \u20ac and \U0001f600".encode("utf-8")
    yield b""
    # The eight-byte ASCII step: a bad or multi-byte sequence at every position of 24 bytes.
    for pos in range(24):
        for insert in (b"\x80", b"\xc3\xa9", b"\xed\xa0\x80", b"\xf0\x9f\x98\x80", b"\xc3", b"\xff"):
            yield b"a" * pos + insert + b"b" * (24 - pos)
            yield b"a" * pos + insert  # ends with it


def main():
    with open("utf8_vectors.txt", "w", encoding="ascii", newline="\n") as out:
        for b0 in [0x00, 0x7F] + list(range(0x80, 0x100)):
            digits = []
            for b1 in range(256):
                full = verdicts(bytes([b0, b1, 0x80, 0x80]))
                short = verdicts(bytes([b0, b1]))
                digits.append("%x" % (full[0] | full[1] << 1 | short[0] << 2 | short[1] << 3))
            out.write(f"pair {b0:02x} {''.join(digits)}\n")
        for data in cases():
            strict, passing = verdicts(data)
            out.write(f"case {data.hex() or '-'} {strict} {passing}\n")


if __name__ == "__main__":
    main()
