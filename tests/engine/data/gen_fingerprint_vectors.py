#!/usr/bin/env python3
"""Writes fingerprint_vectors.txt: file fingerprints computed with Python's hashlib and math.ceil.

Each line (tab-separated): <size> <chunk size> <step> <row digests, comma-separated, may be empty>
for a file of <size> bytes with content[j] = (j * 31 + 7) mod 251.
The computation follows the fingerprint definition literally: counted chunk loop, hex digests,
rows taking every step-th digest, each row's hex text digested again.
Run from this directory: python3 gen_fingerprint_vectors.py
"""
import hashlib
import io
import math

SIZES = [0, 1, 3, 63, 64, 65, 127, 128, 129, 2047, 2048, 2049, 4095, 4096, 4097,
         5 * 2048, 7 * 2048 + 1, 10000, 100003]
PARAMS = [(2048, 4), (4096, 2), (64, 1), (64, 7), (1, 3), (2048, 0), (2048, -1), (2048, 9),
          (100, 4), (262145, 2)]


def content(size):
    return bytes((j * 31 + 7) % 251 for j in range(size))


def fingerprint(data, chunk_size, step):
    stream = io.BytesIO(data)
    hashes = []
    for _ in range(math.ceil(len(data) / chunk_size)):
        hashes.append(hashlib.sha256(stream.read(chunk_size)).hexdigest())
    rows = []
    for s in range(step):
        rows.append(hashlib.sha256("".join(hashes[s::step]).encode("utf-8")).hexdigest())
    return rows


def main():
    with open("fingerprint_vectors.txt", "w", encoding="ascii", newline="\n") as out:
        for size in SIZES:
            data = content(size)
            for chunk_size, step in PARAMS:
                rows = fingerprint(data, chunk_size, step)
                out.write(f"{size}\t{chunk_size}\t{step}\t{','.join(rows)}\n")


if __name__ == "__main__":
    main()
