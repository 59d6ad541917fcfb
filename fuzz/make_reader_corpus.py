#!/usr/bin/env python3
"""Writes the reader fuzzer's seed corpus: small valid files of every kind the
command-line program reads, each behind the fuzzer's flag byte (1 white
background, 2 length unknown, 4 repair PNG checksums, 8 page 2). Run from the
repository root, with a Python that has Pillow (python3-pil) for the GIF,
WebP, TIFF and JPEG seeds:
    /usr/bin/python3 fuzz/make_reader_corpus.py
"""
import pathlib
import struct
import zlib

CORPUS = pathlib.Path("fuzz/reader_corpus")
W, H = 5, 3


def pixel(x, y):
    return (40 * x + 20, 80 * y + 30, 255 - 30 * x - 40 * y)


def bmp(bits, rows, palette=(), compression=0, info=40, masks=(), top_down=False):
    """rows: the pixel data as stored (bottom-up unless top_down)."""
    entry = 3 if info == 12 else 4
    tables = b"".join(struct.pack("<I", m) for m in masks) + b"".join(
        bytes(e[::-1]) + (b"" if entry == 3 else b"\0") for e in palette)
    offset = 14 + info + len(tables)
    if info == 12:
        header = struct.pack("<IHHHH", 12, W, H, 1, bits)
    else:
        header = struct.pack("<IiiHHIIiiII", info, W, -H if top_down else H, 1, bits, compression,
                             len(rows), 2835, 2835, len(palette), 0).ljust(info, b"\0")
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, offset) + header + tables + rows


def pad(row):
    return row + b"\0" * (-len(row) % 4)


def pack(indexes, bits):
    out, acc, n = bytearray(), 0, 0
    for i in indexes:
        acc, n = acc << bits | i, n + bits
        if n == 8:
            out.append(acc)
            acc, n = 0, 0
    if n:
        out.append(acc << (8 - n))
    return bytes(out)


def bmps():
    grey = [(i, i, i) for i in range(0, 256, 17)]
    colours = [(r, g, b) for r in (0, 255) for g in (0, 128, 255) for b in (0, 255)]
    index = lambda x, y: (x + 2 * y) % len(colours)
    rows = lambda f: b"".join(pad(b"".join(f(x, y) for x in range(W))) for y in range(H - 1, -1, -1))
    bgr = lambda x, y: bytes(pixel(x, y)[::-1])
    yield "bmp24", bmp(24, rows(bgr))
    yield "bmp24_os2", bmp(24, rows(bgr), info=12)
    yield "bmp32_v5_alphabitfields", bmp32_v5(rows(lambda x, y: bgr(x, y) + b"\x80"))
    yield "bmp32_fourth_byte_alpha", bmp(32, rows(lambda x, y: bgr(x, y) + bytes([x * 60])))
    yield "bmp16_565", bmp(16, rows(lambda x, y: struct.pack("<H", x << 11 | y << 5 | x)), compression=3,
                           masks=(0xF800, 0x7E0, 0x1F))
    yield "bmp16_555", bmp(16, rows(lambda x, y: struct.pack("<H", x << 10 | y << 5 | x)))
    yield "bmp8_grey", bmp(8, rows(lambda x, y: bytes([x + y])), palette=grey)
    yield "bmp4_colour_top_down", bmp(4, b"".join(pad(pack([index(x, y) for x in range(W)], 4)) for y in range(H)),
                                      palette=colours, top_down=True)
    yield "bmp1", bmp(1, b"".join(pad(pack([(x + y) % 2 for x in range(W)], 1)) for y in range(H)),
                      palette=[(0, 0, 0), (255, 255, 255)])
    # RLE8: a run, a literal, an end of line, a move, the end of the bitmap.
    rle8 = bytes([3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 1, 1, 2, 5, 0, 1])
    yield "bmp8_rle8", bmp(8, rle8, palette=colours, compression=1)
    rle4 = bytes([5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 0, 4, 0x89, 0, 1])
    yield "bmp4_rle4", bmp(4, rle4, palette=colours, compression=2)


def bmp32_v5(rows):
    header = struct.pack("<IiiHHIIiiIIIIII", 124, W, H, 1, 32, 6, len(rows), 2835, 2835, 0, 0,
                         0xFF0000, 0xFF00, 0xFF, 0xFF000000).ljust(124, b"\0")
    offset = 14 + 124
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, offset) + header + rows


def pnms():
    grey = [[(x * 50 + y * 20) % 256 for x in range(W)] for y in range(H)]
    rgb = [[pixel(x, y) for x in range(W)] for y in range(H)]
    text = lambda rows: "\n".join(" ".join(str(v) for v in row) for row in rows).encode() + b"\n"
    yield "pbm_plain", b"P1\n# seed\n%d %d\n" % (W, H) + b"\n".join(
        b"".join(b"%d" % ((x + y) % 2) for x in range(W)) for y in range(H)) + b"\n"
    yield "pgm_plain", b"P2 %d %d 100\n" % (W, H) + text([[v * 100 // 255 for v in row] for row in grey])
    yield "ppm_plain", b"P3 %d %d 1000\n" % (W, H) + text([[c * 1000 // 255 for p in row for c in p] for row in rgb])
    yield "pbm", b"P4 %d %d\n" % (W, H) + b"".join(pack([(x + y) % 2 for x in range(W)], 1) for y in range(H))
    yield "pgm", b"P5 %d %d 255\n" % (W, H) + bytes(v for row in grey for v in row)
    yield "pgm16", b"P5 %d %d 65535\n" % (W, H) + b"".join(struct.pack(">H", v * 257 + 1) for row in grey for v in row)
    yield "ppm", b"P6 %d %d 255\n" % (W, H) + bytes(c for row in rgb for p in row for c in p)
    yield "pam_grey_alpha", b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" % (
        W, H) + bytes(c for row in grey for v in row for c in (v, 255 - v))
    yield "pam_rgb_alpha16", b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 65535\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (
        W, H) + b"".join(struct.pack(">4H", *(c * 257 for c in p), 40000) for row in rgb for p in row)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(colour_type, depth, samples, palette=(), trns=b"", interlaced=False, extra=b""):
    """samples(x, y): the pixel's samples in file order; extra: chunks before IDAT."""
    def row(xs, y):
        values = [s for x in xs for s in samples(x, y)]
        return b"\0" + (b"".join(struct.pack(">H", v) for v in values) if depth == 16 else pack(values, depth))
    if interlaced:
        raw = b"".join(row(range(x0, W, dx), y) for x0, y0, dx, dy in ADAM7 if x0 < W
                       for y in range(y0, H, dy))
    else:
        raw = b"".join(row(range(W), y) for y in range(H))
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, depth, colour_type, 0, 0, interlaced))
    if palette:
        out += chunk(b"PLTE", b"".join(bytes(e) for e in palette))
    if trns:
        out += chunk(b"tRNS", trns)
    return out + extra + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def profile(size, space):
    """An ICC profile header for `space` (b"RGB " or b"GRAY"), then filler."""
    head = struct.pack(">III", size, 0, 0x02100000) + b"mntr" + space + b"XYZ "
    head = (head.ljust(36, b"\0") + b"acsp").ljust(68, b"\0") + struct.pack(">III", 0xF6D6, 0x10000, 0xD32D)
    return head.ljust(132, b"\0") + bytes((i * 7 + 1) % 256 for i in range(132, size))


def iccp(data):
    return chunk(b"iCCP", b"icc\0\0" + zlib.compress(data, 9))


def ancillary():
    """Every ancillary chunk type PNG defines and one it does not, the
    compressed ones inflating to a megabyte each."""
    text = zlib.compress(b"\0" * 1000000, 9)
    return b"".join([
        chunk(b"gAMA", struct.pack(">I", 45455)), chunk(b"cHRM", struct.pack(">8I", *range(8))),
        chunk(b"sRGB", b"\0"), chunk(b"sBIT", b"\5\5\5"), chunk(b"pHYs", struct.pack(">IIB", 3780, 3780, 1)),
        chunk(b"tIME", struct.pack(">HBBBBB", 2020, 1, 2, 3, 4, 5)), chunk(b"tEXt", b"Title\0seed"),
        chunk(b"zTXt", b"Comment\0\0" + text), chunk(b"iTXt", b"XML\0\1\0en\0XML\0" + text),
        chunk(b"sPLT", b"pal\0\x08" + bytes(6 * 40)), chunk(b"eXIf", b"MM\0*" + bytes(200)),
        chunk(b"bKGD", b"\0\1\0\2\0\3"), chunk(b"prVt", bytes(300))])


def pngs():
    grey = lambda x, y: [(x * 50 + y * 20) % 256]
    yield "png_grey1", png(0, 1, lambda x, y: [(x + y) % 2])
    yield "png_grey8_trns", png(0, 8, grey, trns=struct.pack(">H", 70))
    yield "png_grey16", png(0, 16, lambda x, y: [grey(x, y)[0] * 257 + 0x7F])
    yield "png_grey_alpha8", png(4, 8, lambda x, y: grey(x, y) + [200])
    yield "png_rgb8", png(2, 8, lambda x, y: list(pixel(x, y)))
    yield "png_rgb16_interlaced", png(2, 16, lambda x, y: [c * 257 for c in pixel(x, y)], interlaced=True)
    yield "png_rgba8", png(6, 8, lambda x, y: list(pixel(x, y)) + [x * 60])
    yield "png_palette4", png(3, 4, lambda x, y: [(x + y) % 6],
                              palette=[pixel(i, 0) for i in range(6)], trns=bytes([0, 80, 160]))
    yield "png_palette2_grey_interlaced", png(3, 2, lambda x, y: [(x * y) % 4],
                                              palette=[(i * 85,) * 3 for i in range(4)], interlaced=True)
    rgb = lambda x, y: list(pixel(x, y))
    yield "png_rgb8_ancillary", png(2, 8, rgb, extra=ancillary())
    yield "png_rgb8_iccp_200k", png(2, 8, rgb, extra=iccp(profile(200000, b"RGB ")))
    yield "png_grey8_rgb_iccp", png(0, 8, grey, extra=iccp(profile(600, b"RGB ")))


def tga(kind, bits, pixels, descriptor=0, palette=b"", map_bits=0):
    """pixels: the image data as stored (raw or run-length)."""
    entries = len(palette) // ((map_bits + 7) // 8) if map_bits else 0
    return struct.pack("<BBBHHBHHHHBB", 2, 1 if map_bits else 0, kind, 0, entries, map_bits, 0, 0, W, H, bits,
                       descriptor) + b"id" + palette + pixels


def tgas():
    bgr = b"".join(bytes(pixel(x, y)[::-1]) for y in range(H) for x in range(W))
    yield "tga24", tga(2, 24, bgr)
    yield "tga32_top_right_to_left", tga(2, 32, b"".join(bytes(pixel(x, y)[::-1]) + bytes([x * 60])
                                                         for y in range(H) for x in range(W)), 0x38)
    yield "tga16_attribute", tga(2, 16, b"".join(struct.pack("<H", x << 10 | y << 5 | x | (x % 2) << 15)
                                                 for y in range(H) for x in range(W)), 1)
    # Run-length: a repeat packet of 7 crossing into the second row, then
    # one-pixel raw packets.
    yield "tga24_rle", tga(10, 24, b"\x86" + bgr[:3] + b"".join(b"\0" + bgr[i:i + 3] for i in range(21, 45, 3)))
    yield "tga8_mapped_rle", tga(9, 8, b"\x8e\1\0\2\x80\3", palette=bytes(range(12)), map_bits=24)
    yield "tga8_grey_rle", tga(11, 8, b"\x84\x10\x09" + bytes(range(10)), 0x20)
    yield "tga16_grey_alpha", tga(3, 16, bytes(i % 256 for i in range(2 * W * H)), 8)


def pillow():
    """GIF, WebP, TIFF and JPEG seeds written by Pillow: still, transparent,
    animated, paged, compressed."""
    from PIL import Image
    import io
    frames = [Image.new("RGB", (W, H), pixel(i, i)) for i in range(3)]
    frames[0].putdata([pixel(x, y) for y in range(H) for x in range(W)])

    def save(image, kind, **options):
        out = io.BytesIO()
        image.save(out, kind, **options)
        return out.getvalue()
    yield "gif", save(frames[0], "GIF")
    yield "gif_transparent_interlaced", save(frames[0].quantize(8), "GIF", transparency=2, interlace=True)
    yield "gif_frames", save(frames[0], "GIF", save_all=True, append_images=frames[1:], disposal=[1, 2, 3])
    yield "webp_lossy", save(frames[0], "WEBP", quality=50)
    yield "webp_lossless_alpha", save(frames[0].convert("RGBA"), "WEBP", lossless=True)
    yield "webp_frames", save(frames[0], "WEBP", save_all=True, append_images=frames[1:], lossless=True)
    for compression in ("raw", "tiff_lzw", "tiff_adobe_deflate", "packbits"):
        yield "tiff_rgb_" + compression, save(frames[0], "TIFF", compression=compression, dpi=(300, 300))
    yield "tiff_rgba", save(frames[0].convert("RGBA"), "TIFF")
    yield "tiff_palette", save(frames[0].quantize(8), "TIFF", compression="tiff_lzw")
    yield "tiff_grey16", save(frames[0].convert("L").convert("I").convert("I;16"), "TIFF")
    yield "tiff_bilevel_g4", save(frames[0].convert("1"), "TIFF", compression="group4")
    yield "tiff_cmyk", save(frames[0].convert("CMYK"), "TIFF")
    yield "tiff_pages", save(frames[0], "TIFF", save_all=True, append_images=frames[1:])
    yield "jpeg", save(frames[0], "JPEG", quality=90, dpi=(200, 200))
    yield "jpeg_progressive_grey", save(frames[0].convert("L"), "JPEG", progressive=True)
    yield "jpeg_cmyk", save(frames[0].convert("CMYK"), "JPEG")


def main():
    CORPUS.mkdir(parents=True, exist_ok=True)
    for old in CORPUS.iterdir():
        old.unlink()
    for name, data in list(bmps()) + list(pnms()):
        (CORPUS / name).write_bytes(b"\0" + data)
    (CORPUS / "ppm_pipe").write_bytes(b"\2" + dict(pnms())["ppm"])
    (CORPUS / "pam_grey_alpha_on_white").write_bytes(b"\1" + dict(pnms())["pam_grey_alpha"])
    for name, data in pngs():
        (CORPUS / name).write_bytes(b"\4" + data)
    (CORPUS / "png_rgba8_on_white").write_bytes(b"\5" + dict(pngs())["png_rgba8"])
    (CORPUS / "bmp32_fourth_byte_alpha_on_white").write_bytes(b"\1" + dict(bmps())["bmp32_fourth_byte_alpha"])
    for name, data in list(tgas()) + list(pillow()):
        (CORPUS / name).write_bytes(b"\0" + data)
        (CORPUS / (name + "_on_white")).write_bytes(b"\1" + data)
    for name in ("gif_frames", "webp_frames", "tiff_pages"):
        (CORPUS / (name + "_page_2")).write_bytes(b"\x08" + dict(pillow())[name])


if __name__ == "__main__":
    main()
