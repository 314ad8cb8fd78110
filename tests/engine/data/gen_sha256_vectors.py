#!/usr/bin/env python3
"""Writes sha256_vectors.txt: SHA-256 digests computed by Python's hashlib for the engine tests.

Line formats (tab-separated):
  text  <repeat>  <ascii text>  <hex digest>    digest of the text repeated <repeat> times
  len   <length>  <hex digest>                  digest of pattern(length), see below

pattern(L)[j] = (j * 131 + L * 7 + 1) mod 256, for j in 0 .. L-1 (a different message per length).
Run from this directory: python3 gen_sha256_vectors.py
"""
import hashlib

# Published short vectors of FIPS 180 (NIST examples), plus the empty message.
TEXTS = [
    (1, ""),
    (1, "abc"),
    (1, "abcdbcdecdefdefgefghfghighijhijkijkljklmmnomnopnopq"),
    (1, "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
    (1000000, "a"),
]


def pattern(length):
    return bytes((j * 131 + length * 7 + 1) % 256 for j in range(length))


def main():
    with open("sha256_vectors.txt", "w", encoding="ascii", newline="\n") as out:
        for repeat, text in TEXTS:
            digest = hashlib.sha256((text * repeat).encode("ascii")).hexdigest()
            out.write(f"text\t{repeat}\t{text}\t{digest}\n")
        for length in range(0, 1101):
            out.write(f"len\t{length}\t{hashlib.sha256(pattern(length)).hexdigest()}\n")


if __name__ == "__main__":
    main()
