"""The benchmark's card scans, made here and the same every time: about
1050x600 pixels, about 270 KiB, 300 dpi, like a business card scanned at
300 dpi. Paper with grain, a logo and lines of dark "words", each card
laid out by a random generator seeded with its number, written as PPM and
encoded by ImageMagick in batches."""
import os
import random
import shutil
import subprocess

WIDTH, HEIGHT = 1050, 600
QUALITY = "94"
# The grain's depth in bits: with it and QUALITY a card comes to about 270 KiB.
GRAIN_BITS = 4
VERSION = "1"
BATCH = 30


def _layout(number):
    """The card's pixels without grain, as PPM rows."""
    rng = random.Random(number * 7919 + 17)
    paper = bytes((rng.randint(236, 250), rng.randint(234, 248), rng.randint(226, 242)))
    rows = [bytearray(paper * WIDTH) for _ in range(HEIGHT)]

    def rect(x0, y0, x1, y1, colour):
        fill = bytes(colour) * (x1 - x0)
        for y in range(y0, y1):
            rows[y][x0 * 3:x1 * 3] = fill

    ink = (rng.randint(10, 60), rng.randint(10, 60), rng.randint(40, 90))
    accent = (rng.randint(120, 220), rng.randint(20, 90), rng.randint(20, 90))
    x, y = rng.randint(50, 120), rng.randint(50, 100)
    rect(x, y, x + 120, y + 120, accent)
    y = rng.randint(80, 120)
    for line in range(rng.randint(6, 9)):
        height = rng.choice((14, 18, 22, 30, 40)) if line else 44
        x = 320
        while x < WIDTH - 80:
            width = rng.randint(20, 110)
            if x + width > WIDTH - 60:
                break
            rect(x, y, x + width, y + height, ink)
            x += width + rng.randint(8, 22)
            if rng.random() < 0.12:
                break
        y += height + rng.randint(18, 34)
        if y > HEIGHT - 60:
            break
    return b"".join(rows)


def _ppm(number, grain):
    pixels = _layout(number)
    # One grain for all cards, read from a place of each card's own.
    offset = (number * 104729) % (len(grain) - len(pixels))
    noise = grain[offset:offset + len(pixels)]
    mixed = (int.from_bytes(pixels, "little") ^ int.from_bytes(noise, "little")).to_bytes(len(pixels), "little")
    return b"P6\n%d %d\n255\n" % (WIDTH, HEIGHT) + mixed


def image_magick():
    """ImageMagick's mogrify from Debian's package (a machine may put other
    programs of its names earlier on PATH); None when it is not installed."""
    for name in ("/usr/bin/mogrify-im6.q16", "/usr/bin/mogrify"):
        if os.path.exists(name):
            return name
    return None


def ensure(folder, count):
    """Paths of count card scans in folder, made once."""
    names = ["card%04d.jpg" % n for n in range(1, count + 1)]
    stamp = os.path.join(folder, "made-by-version")
    made = 0
    if os.path.exists(stamp):
        with open(stamp) as f:
            version, _, number = f.read().strip().partition(" ")
        made = int(number) if version == VERSION else 0
    if made < count:
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        table = bytes(b & ((1 << GRAIN_BITS) - 1) for b in range(256))
        grain = random.Random(20240613).randbytes(WIDTH * HEIGHT * 3 * 2).translate(table)
        mogrify = image_magick()
        if not mogrify:
            raise RuntimeError("ImageMagick is not installed (tools/setup.sh installs it)")
        for start in range(1, count + 1, BATCH):
            batch = range(start, min(count, start + BATCH - 1) + 1)
            ppms = []
            for number in batch:
                path = os.path.join(folder, "card%04d.ppm" % number)
                with open(path, "wb") as f:
                    f.write(_ppm(number, grain))
                ppms.append(path)
            subprocess.run([mogrify, "-format", "jpg", "-quality", QUALITY, "-density", "300",
                            "-units", "PixelsPerInch", *ppms], check=True)
            for path in ppms:
                os.remove(path)
        with open(stamp, "w") as f:
            f.write("%s %d\n" % (VERSION, count))
    return [os.path.join(folder, name) for name in names]
