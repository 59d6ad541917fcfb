#!/usr/bin/python3
# How many GIF, TGA and WebP files of varied kinds, written by ImageMagick and
# Pillow, dibjpeg converts, how close each JPEG is to ImageMagick's reading
# of the file, and why it refuses the others.
#   bench/format_acceptance.py build/dev/cli/dibjpeg
import collections, os, subprocess, sys, tempfile
from PIL import Image, ImageDraw

IM = "/usr/bin/convert-im6.q16"
program = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp(prefix="dibjpeg-acceptance-")


def sources():
    """Images of several sizes and kinds: gradients, shapes, noise, gray, 1 x 1."""
    for w, h in [(37, 23), (640, 480), (1, 1)]:
        im = Image.new("RGB", (w, h))
        im.putdata([(x * 255 // max(w - 1, 1), y * 255 // max(h - 1, 1), (x ^ y) & 255)
                    for y in range(h) for x in range(w)])
        ImageDraw.Draw(im).ellipse((w // 4, h // 4, w // 2, h // 2), fill=(250, 30, 30))
        yield im
    yield Image.effect_noise((300, 200), 60).convert("RGB")


def alpha(im):
    out = im.convert("RGBA")
    out.putalpha(Image.linear_gradient("L").resize(im.size))
    return out


def frames(im):
    return [im.rotate(180), im.transpose(Image.FLIP_LEFT_RIGHT)]


files = []


def pil(name, im, **kw):
    path = os.path.join(work, name)
    im.save(path, **kw)
    files.append(path)


def magick(name, src, *args):
    path = os.path.join(work, name)
    subprocess.run([IM, src, *args, path], check=True)
    files.append(path)


for n, im in enumerate(sources()):
    src = os.path.join(work, f"src{n}.png")
    alpha(im).save(src)
    # GIF: 9 a source
    pil(f"{n}_pil.gif", im)
    pil(f"{n}_pil_transparent.gif", im.quantize(32), transparency=0)
    pil(f"{n}_pil_gray.gif", im.convert("L"))
    pil(f"{n}_pil_anim.gif", im, save_all=True, append_images=frames(im), disposal=2, loop=0)
    pil(f"{n}_pil_anim_optimised.gif", im, save_all=True, append_images=frames(im), optimize=True)
    magick(f"{n}_im.gif", src, "-alpha", "off")
    magick(f"{n}_im_alpha.gif", src)
    magick(f"{n}_im_interlaced_16.gif", src, "-alpha", "off", "-colors", "16", "-interlace", "GIF")
    magick(f"{n}_im_mono.gif", src, "-alpha", "off", "-monochrome")
    # TGA: 9 a source
    pil(f"{n}_pil_rgb.tga", im)
    pil(f"{n}_pil_rgba_rle.tga", alpha(im), compression="tga_rle")
    pil(f"{n}_pil_l_top.tga", im.convert("L"), orientation=1)
    pil(f"{n}_pil_la.tga", alpha(im).convert("LA"))
    pil(f"{n}_pil_p_rle_top.tga", im.quantize(100), compression="tga_rle", orientation=1)
    magick(f"{n}_im.tga", src, "-alpha", "off")
    magick(f"{n}_im_alpha_rle.tga", src, "-compress", "RLE")
    magick(f"{n}_im_gray_rle.tga", src, "-alpha", "off", "-colorspace", "gray", "-compress", "RLE")
    magick(f"{n}_im_palette.tga", src, "-alpha", "off", "-type", "palette")
    # WebP: 9 a source
    pil(f"{n}_pil_lossy.webp", im, quality=80)
    pil(f"{n}_pil_lossless.webp", im, lossless=True)
    pil(f"{n}_pil_alpha_lossy.webp", alpha(im), quality=50)
    pil(f"{n}_pil_alpha_lossless.webp", alpha(im), lossless=True, exact=True)
    pil(f"{n}_pil_anim.webp", im, save_all=True, append_images=frames(im), lossless=True)
    pil(f"{n}_pil_anim_lossy_alpha.webp", alpha(im), save_all=True, append_images=frames(alpha(im)), quality=70)
    magick(f"{n}_im_q90.webp", src, "-alpha", "off", "-quality", "90")
    magick(f"{n}_im_lossless_alpha.webp", src, "-define", "webp:lossless=true")
    magick(f"{n}_im_method0.webp", src, "-alpha", "off", "-define", "webp:method=0", "-quality", "30")

# Each file is converted twice (alpha dropped, and on white) at quality 95,
# 4:4:4, and each JPEG compared with ImageMagick's reading of the file's
# first frame (turned as its header says) in the same way.
counts = collections.Counter()
reasons = collections.Counter()
worst = {}
low = []  # runs under 30 dB
for path in files:
    kind = path.rsplit(".", 1)[1].upper()
    for white in (False, True):
        options = ["--background", "white"] if white else []
        jpeg = path + (".white.jpg" if white else ".jpg")
        run = subprocess.run([program, "-q", "95", "-s", "444", *options, path, jpeg], capture_output=True,
                             text=True)
        counts[kind, run.returncode == 0] += 1
        if run.returncode != 0:
            reasons[run.stderr.split(": ", 2)[-1].strip()] += 1
            continue
        ref = jpeg + ".ref.png"
        subprocess.run([IM, path + "[0]", "-auto-orient", *(["-background", "white", "-alpha", "remove"] if white
                                                           else ["-alpha", "off"]), ref], check=True)
        compare = subprocess.run([IM.replace("convert", "compare"), "-metric", "PSNR", jpeg, ref, "null:"],
                                 capture_output=True, text=True)
        psnr = float(compare.stderr.split()[0].replace("inf", "99"))
        if psnr < 30:
            low.append(f"{os.path.basename(path)}{' on white' if white else ''}: {psnr:.1f} dB")
        if psnr < worst.get(kind, (99, ""))[0]:
            worst[kind] = (psnr, os.path.basename(path) + (" on white" if white else ""))
for kind in ("GIF", "TGA", "WEBP"):
    print(f"{kind}: {(counts[kind, True] + counts[kind, False]) // 2} files, "
          f"{counts[kind, True]} runs converted, {counts[kind, False]} refused; "
          f"lowest PSNR against ImageMagick {worst[kind][0]:.1f} dB ({worst[kind][1]})")
for line in low:
    print(f"  under 30 dB: {line}")
for reason, n in reasons.most_common():
    print(f"  {n} x {reason}")
subprocess.run(["rm", "-rf", work])
