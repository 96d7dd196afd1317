"""Reads the thumbnails the thumbnail test left behind with a JPEG parser of
its own (no imaging library) and checks that each is a baseline or
progressive JPEG of the expected size."""
import os
import struct
import sys

SOF_MARKERS = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}


def jpeg_size(data):
    if data[:2] != b"\xff\xd8":
        raise ValueError("no SOI marker")
    pos = 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            raise ValueError("marker expected at %d" % pos)
        marker = data[pos + 1]
        if marker == 0xFF:
            pos += 1
            continue
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            pos += 2
            continue
        (length,) = struct.unpack(">H", data[pos + 2:pos + 4])
        if marker in SOF_MARKERS:
            precision, height, width, components = struct.unpack(">BHHB", data[pos + 4:pos + 10])
            return width, height, components
        pos += 2 + length
    raise ValueError("no SOF marker")


def main(folder):
    manifest = os.path.join(folder, "expected.txt")
    with open(manifest, encoding="utf-8") as f:
        lines = [line.split() for line in f if line.strip()]
    if not lines:
        print("no thumbnails listed in", manifest)
        return 1
    failures = 0
    for name, width, height in lines:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        try:
            actual = jpeg_size(data)
        except ValueError as e:
            print("%s: not a JPEG: %s" % (name, e))
            failures += 1
            continue
        if actual != (int(width), int(height), 3):
            print("%s: %dx%d with %d components, expected %sx%s in colour" % ((name,) + actual + (width, height)))
            failures += 1
        if not data.rstrip(b"\x00").endswith(b"\xff\xd9"):
            print("%s: no EOI marker" % name)
            failures += 1
    print("%d thumbnails checked, %d failures" % (len(lines), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
