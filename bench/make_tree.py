#!/usr/bin/env python3
"""Writes the benchmark's input tree: a deterministic set of files, half of
the bytes text-like (words from a synthetic vocabulary in lines) and half
incompressible (pseudo-random bytes), in nested folders.

The same --size and --seed always give the same tree, byte for byte, so
figures measured on different days compare. File sizes are log-uniform from
256 B to 4 MiB, which gives about 2500 files per GiB.

With --small-files N it writes instead N files of 0 to 1 KiB (uniform; three
quarters text-like, a quarter random) in N / 100 folders, the many-small-
files tree.
"""

import argparse
import math
import os
import random
import sys

MIN_FILE = 256
MAX_FILE = 4 << 20
TEXT_CHUNK = 1 << 20  # text is made and written in pieces of about this size


def vocabulary(rng):
    """65536 slots of words drawn from a synthetic vocabulary: every word has
    one slot, the rest are shared out by Zipf's law, as in natural text."""
    letters = "etaoinshrdlucmfwypvbgkjqxz"
    letter_weights = [12, 9, 8, 7.5, 7, 6.7, 6.3, 6, 6, 4.3, 4, 2.8, 2.8, 2.4, 2.2, 2.4, 2, 1.9, 1, 1.5, 2, 0.8, 0.2,
                      0.1, 0.2, 0.1]
    words = set()
    while len(words) < 30000:
        n = max(1, min(14, int(rng.gauss(6, 2.5))))
        words.add("".join(rng.choices(letters, letter_weights, k=n)))
    words = sorted(words)
    rng.shuffle(words)
    harmonic = sum(1.0 / r for r in range(1, len(words) + 1))
    spare = 65536 - len(words)
    slots = []
    for rank, word in enumerate(words, 1):
        slots += [word] * (1 + int(spare / (rank * harmonic)))
    slots += words[:65536 - len(slots)]
    return slots


class TextMaker:
    """Text-like bytes: words by table lookup with random 16-bit indexes,
    each followed by a space, a line break, punctuation or a number."""

    def __init__(self, rng):
        self.rng = rng
        self.words = vocabulary(rng)
        numbers = [f" {rng.randint(0, 99999)} " for _ in range(5)]
        seps = [" "] * 200 + ["\n"] * 18 + [", "] * 10 + [". "] * 8 + [".\n"] * 6 + ["; ", ": "] * 3 + numbers
        self.seps = seps + [" "] * (256 - len(seps))

    def make(self, size):
        """Exactly `size` bytes."""
        out = []
        produced = 0
        while produced < size:
            n = TEXT_CHUNK // 6
            words = memoryview(self.rng.randbytes(2 * n)).cast("H")
            seps = self.rng.randbytes(n)
            w, s = self.words, self.seps
            chunk = "".join([w[i] + s[j] for i, j in zip(words, seps)]).encode()
            out.append(chunk)
            produced += len(chunk)
        return b"".join(out)[:size]


def file_sizes(rng, total):
    """Log-uniform sizes that add up to exactly `total`."""
    sizes = []
    left = total
    lo, hi = math.log(MIN_FILE), math.log(MAX_FILE)
    while left > 0:
        s = min(left, int(math.exp(rng.uniform(lo, hi))))
        sizes.append(s)
        left -= s
    return sizes


def write_small_files(destination, count, rng, text, noise):
    # One long run of text, cut into the files: making text per file would
    # take longer than everything else.
    sizes = [rng.randint(0, 1024) for _ in range(count)]
    corpus = text.make(sum(sizes))
    at = 0
    folders = max(1, count // 100)
    for i, size in enumerate(sizes):
        folder = os.path.join(destination, f"k{i % folders:04d}")
        if i < folders:
            os.makedirs(folder)
        random_file = i % 4 == 3
        data = noise.randbytes(size) if random_file else corpus[at:at + size]
        at += size
        with open(os.path.join(folder, f"p{i:06d}.{'bin' if random_file else 'txt'}"), "wb") as f:
            f.write(data)
    print(f"{count} files of 0-1 KiB in {folders} folders, {sum(sizes)} bytes", file=sys.stderr)


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper()
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("destination", help="folder to create; must not exist")
    ap.add_argument("--size", default="1G", help="total bytes, e.g. 1G, 256M (default 1G)")
    ap.add_argument("--seed", type=int, default=2024)
    ap.add_argument("--small-files", type=int, default=0, metavar="N", help="N files of 0-1 KiB instead")
    args = ap.parse_args()

    total = parse_size(args.size)
    os.makedirs(args.destination)  # fails when it exists: the tree is never mixed with another
    rng = random.Random(args.seed)
    text = TextMaker(random.Random(rng.getrandbits(64)))
    noise = random.Random(rng.getrandbits(64))
    if args.small_files:
        write_small_files(args.destination, args.small_files, rng, text, noise)
        return

    half = total // 2
    text_sizes = file_sizes(random.Random(rng.getrandbits(64)), half)
    random_sizes = file_sizes(random.Random(rng.getrandbits(64)), total - half)
    files = [("txt", s) for s in text_sizes] + [("bin", s) for s in random_sizes]
    rng.shuffle(files)

    for i, (kind, size) in enumerate(files):
        folder = os.path.join(args.destination, f"d{i % 16:02d}", f"s{(i // 16) % 12:02d}")
        os.makedirs(folder, exist_ok=True)
        data = text.make(size) if kind == "txt" else noise.randbytes(size)
        with open(os.path.join(folder, f"f{i:05d}.{kind}"), "wb") as f:
            f.write(data)
    print(f"{len(files)} files, {total} bytes ({len(text_sizes)} text-like, {len(random_sizes)} random)",
          file=sys.stderr)


if __name__ == "__main__":
    main()
