#!/usr/bin/env python3
"""Writes small seed inputs for the qvkx, qvt and STL fuzz targets: make_format_seeds.py <corpus folder>
(qvkx_reader, qvt_reader and stl_importer subfolders are made in it). Seeds are made, not kept."""
import os
import struct
import sys

NAN_SLOT = b"\x00\x00\xc0\x7f"


def point(x, y, z):
    return struct.pack("<6f3B", x, y, z, 0, 0, 1, 255, 128, 0)


def cloud_file(height, rotations, slots):
    lines = ["QVK", "format binary_little_endian 2.0", "comment seed", "property cameraOriginX 1.00000000",
             "property ID 3", "property laser 1", "property cloudHeight 960", "property cameraHeight %d" % height,
             "property intrinsic 1400 1400 640 480", "property distortion 0 0 0 0",
             "property radians " + " ".join("%.8f" % r for r in rotations), "end_header"]
    return ("\n".join(lines) + "\n").encode() + b"".join(slots)


QVTX = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<qvtx version="1.0" client="Zovi vud Ide" clientVersion="2.5.37">
    <textures>
        <texture>
            <cameraPositionX>1.5</cameraPositionX>
            <intrinsic>1 0 3 0 2 4 0 0 1</intrinsic>
            <distortion>0.1 0 0 0</distortion>
            <filename>a.png</filename>
        </texture>
    </textures>
</qvtx>
"""


def qvt_record(name):
    return struct.pack("<9fB", *range(9), len(name)) + name


def stl(facets):
    out = "solid ascii\n"
    for n, corners in facets:
        out += "  facet normal %s\n    outer loop\n" % n
        out += "".join("      vertex %s\n" % c for c in corners)
        out += "    endloop\n  endfacet\n"
    return (out + "endsolid ascii\n").encode()


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus"
    seeds = {
        "qvkx_reader": {
            # The first byte picks the decoder: even a cloud file, odd a texture description.
            "cloud": b"\x00" + cloud_file(3, [0.5, 1.0], [point(1, 2, 3), NAN_SLOT, point(4, 5, 6), NAN_SLOT, NAN_SLOT, point(7, 8, 9)]),
            "cloud_short": b"\x00" + cloud_file(2, [0.0], [point(1, 2, 3)])[:-5],
            "qvtx": b"\x01" + QVTX,
        },
        "qvt_reader": {
            "two": qvt_record(b"a.png") + qvt_record(b"photo-2.png"),
            "unnamed": qvt_record(b"") + qvt_record(b"b.png"),
        },
        "stl_importer": {
            "shared": stl([("0 0 1", ["0 0 0", "1 0 0", "0 1 0"]), ("0 1 0", ["0 0 0", "0 1 0", "0 0 1"]),
                           ("1 0 0", ["0 0 0", "0 0 1", "1 0 0"]), ("0 0 -1", ["0 0 0", "-1e-4 0.25 0", "3 0.2 1e+3"])]),
            "upper": b"SOLID ASCII\r\n  FACET NORMAL 0 0 1 \r\n    VERTEX 1 2 3\r\nENDSOLID",
        },
    }
    for target, files in seeds.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
