#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus from the anchor cases in tests/data/golden.

Each case's parameter block becomes the fuzzer's 30-byte header (fields taken
raw where they lie outside the folded ranges) followed by at most MAX_PIXELS
of its pixel bytes. Run from the repository root:
    python3 fuzz/make_corpus.py
"""
import pathlib
import struct

GOLDEN = pathlib.Path("tests/data/golden")
CORPUS = pathlib.Path("fuzz/corpus")
MAX_PIXELS = 2048


def source_kind(w, h, bc, src_size):
    stride = ((w * bc + 31) // 32) * 4
    needed = (h - 1) * stride + (w * bc + 7) // 8 if w and h else 0
    if src_size == stride * h:
        return 0, 0
    if src_size == needed:
        return 1, 0
    if needed and src_size == needed - 1:
        return 2, 0
    if src_size == 0:
        return 3, 0
    return 4, min(src_size, 0xFFFF)


def seed(case):
    raw = case.read_bytes()
    w, h, bc, q, s, order, mode, src_size, cap = struct.unpack_from("<9I", raw)
    flags = 0
    if w > 40:
        flags |= 1
    if h > 40:
        flags |= 2
    if bc not in (8, 16, 24, 32):
        flags |= 4
    if s > 3:
        flags |= 8
    if (mode & 0xFF) > 1:
        flags |= 16
    bc_field = bc if flags & 4 else (8, 16, 24, 32).index(bc)
    src_kind, free = source_kind(w, h, bc, src_size)
    out_kind = 4 if cap <= 0xFFFF else 0
    if out_kind == 4:
        free = cap if src_kind != 4 else free  # one free size: the source wins
    header = struct.pack("<BIIHBBBIBBHII", flags, w, h, bc_field, q & 0xFF, s & 0xFF, order & 0xFF, mode,
                         src_kind, out_kind, free, 0, 0)
    return header + raw[36:36 + MAX_PIXELS]


def main():
    index = (GOLDEN / "index.txt").read_text().splitlines()
    cases = [GOLDEN / (line.split()[0] + ".bin") for line in index if " anchor-" in line]
    CORPUS.mkdir(parents=True, exist_ok=True)
    for old in CORPUS.glob("seed_*"):
        old.unlink()
    for n, case in enumerate(cases):
        (CORPUS / f"seed_{n:03d}").write_bytes(seed(case))


if __name__ == "__main__":
    main()
