#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets: make_seeds.py [corpus folder, by default fuzz/corpus]
(one subfolder a target is made in it). Seeds are made here rather than kept in the tree. One qvk
seed is larger than libFuzzer's default 4 KiB input length, which lifts that cap; give -max_len
(say 1048576) to go further."""
import io
import os
import struct
import sys
import warnings
import zipfile

# A seed repeats a member's name on purpose.
warnings.filterwarnings("ignore", "Duplicate name", UserWarning)


def qvk_header(vertices, clouds, older):
    lines = ["QVK", "format binary_little_endian 1.3", "comment seed", "element vertex %d" % vertices]
    lines += ["property float32 %s" % p for p in ("x", "y", "z", "nx", "ny", "nz")]
    lines += ["property byte %s" % p for p in ("red", "green", "blue")]
    lines.append("element Clouds %d" % clouds)
    lines += ["property float32 %s" % p for p in ("cameraOriginx", "cameraOriginy", "cameraOriginz",
                                                  "laserOriginX", "laserOriginY", "laserOriginZ", "headHeight")]
    lines += ["property uint16 ID", "property byte laser"]
    lines += ["property uint16 %s" % p for p in ("height", "slices", "cameraWidth", "cameraHeight")]
    normals = ("L1NX", "L1NY", "L1NZ", "L2NX", "L2NY", "L2NZ") if older else ("LNX", "LNY", "LNZ")
    lines += ["property float32 %s" % p for p in ("BEDX", "BEDY", "BEDZ", "BDNX", "BDNY", "BDNZ", "LSNX", "LSNY", "LSNZ") + normals]
    lines += ["property list uint16 float32 radians", "property list uint32 uint32 vertexIndicies", "end_header"]
    return ("\n".join(lines) + "\n").encode()


def qvk_file(older):
    body = bytes(27) + struct.pack("<6f3B", 1, 2, 3, 0, 0, 1, 255, 128, 0) + struct.pack("<6f3B", 4, 5, 6, 0, 1, 0, 1, 2, 3)
    cloud = struct.pack("<7fHBHHHH", 1, 2, 3, 4, 5, 6, 7, 1, 0, 960, 1, 1280, 960)
    cloud += struct.pack("<%df" % (15 if older else 12), *range(15 if older else 12))
    cloud += struct.pack("<Hf", 1, 0.5) + struct.pack("<III", 2, 1, 2)
    return qvk_header(3, 1, older) + body + cloud


def qvk_clouds(points, clouds, origin=1.0):
    # Vertices at (i, 1, 1) and clouds of (camera height, rotations, index entries), as a qvk file
    # leaves a scan: no slices, a radians list and an index list each.
    body = bytes(27) + b"".join(struct.pack("<6f3B", i, 1, 1, 0, 0, 1, 10, 20, 30) for i in range(1, points + 1))
    for height, radians, index in clouds:
        body += struct.pack("<7fHBHHHH", origin, 2, 3, 4, 5, 6, 7, 1, 0, 960, 0, 1280, height) + struct.pack("<12f", *range(12))
        body += struct.pack("<H%df" % len(radians), len(radians), *radians)
        body += struct.pack("<I%dI" % len(index), len(index), *index)
    return qvk_header(points + 1, len(clouds), False) + body


def large_qvk():
    # Beyond libFuzzer's default 4 KiB length, so that long inputs (many records, long lists) are tried.
    count = 3000
    body = b"".join(struct.pack("<6f3B", i, 1, 2, 0, 0, 1, i % 256, 0, 0) for i in range(count))
    cloud = struct.pack("<7fHBHHHH", 1, 2, 3, 4, 5, 6, 7, 1, 0, 960, 1, 1280, 960) + struct.pack("<12f", *range(12))
    cloud += struct.pack("<Hf", 1, 0.5) + struct.pack("<I", count) + struct.pack("<%dI" % count, *range(count))
    return qvk_header(count, 1, False) + body + cloud


def structural():
    header = ("qvk\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float32 x\nproperty float32 y\n"
              "property float32 z\nproperty byte red\nproperty uint32 flags\nelement clouds 1\nproperty byte laser\n"
              "property float32 l1nx\nproperty uint16 id\nproperty list uint16 float32 radians\n"
              "property list uint32 uint32 vertexindicies\nproperty list uint16 double other\nend_header\n").encode()
    body = struct.pack("<3fBI", 1, -1, 0, 255, 7) + struct.pack("<3fBI", 0, 0, 0, 1, 0)
    body += struct.pack("<BfH", 3, 0.25, 9) + struct.pack("<Hff", 2, 1, 2) + struct.pack("<II", 1, 1) + struct.pack("<Hd", 1, 3.0)
    return header + body


NAN_SLOT = b"\x00\x00\xc0\x7f"


def point(x, y, z):
    return struct.pack("<6f3B", x, y, z, 0, 0, 1, 255, 128, 0)


def cloud_file(height, rotations, slots):
    lines = ["QVK", "format binary_little_endian 2.0", "comment seed", "property cameraOriginX 1.00000000",
             "property ID 3", "property laser 1", "property cloudHeight 960", "property cameraHeight %d" % height,
             "property intrinsic 1400 1400 640 480", "property distortion 0 0 0 0",
             "property radians " + " ".join("%.8f" % r for r in rotations), "end_header"]
    return ("\n".join(lines) + "\n").encode() + b"".join(slots)


def points(*xs):
    return [point(x, 1, 1) for x in xs]


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


def zip_seed(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data, link in entries:
            info = zipfile.ZipInfo(name, (2017, 4, 15, 13, 33, 26))
            info.create_system = 3
            info.external_attr = ((0o120777 if link else 0o100644) << 16)
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return out.getvalue()


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus"
    seeds = {
        "qvk_reader": {"writer.qvk": qvk_file(False), "older.qvk": qvk_file(True), "structural.qvk": structural(),
                       "large.qvk": large_qvk(),
                       # A count with no number in it, and a cloud left out for a rotation no float is.
                       "clouds_inf.qvk": qvk_file(False).replace(b"element Clouds 1", b"element Clouds inf"),
                       "inf_rotation.qvk": qvk_clouds(2, [(1, [0.0], [1]), (1, [float("inf")], [2])])},
        "zip_reader": {
            "plain.zip": zip_seed([("CloudData.qvk", qvk_file(False), False), ("sub/b.txt", b"hello", False)]),
            "link.zip": zip_seed([("l", "sub", True), ("sub/x", b"1", False), ("l/y", b"2", False)]),
            "slip.zip": zip_seed([("../up.txt", b"no", False), ("a\\b.txt", b"ok", False)]),
            # Names the file system refuses: too long, and a file where a folder would be.
            "refused.zip": zip_seed([("b" * 252 + ".png", b"1", False), ("x", b"2", False), ("x/y.png", b"3", False),
                                     ("c.txt", b"4", False)]),
        },
        "qvkx_reader": {
            # The first byte picks the decoder: even a cloud file, odd a texture description.
            "cloud": b"\x00" + cloud_file(3, [0.5, 1.0], [point(1, 2, 3), NAN_SLOT, point(4, 5, 6), NAN_SLOT, NAN_SLOT, point(7, 8, 9)]),
            "cloud_short": b"\x00" + cloud_file(2, [0.0], [point(1, 2, 3)])[:-5],
            "qvtx": b"\x01" + QVTX,
            # Rotations listed downwards, two of them equal: each slice keeps its own block.
            "cloud_descending": b"\x00" + cloud_file(1, [0.0, -0.1, -0.1, -0.2], points(1, 2, 3, 4)),
            "cloud_nan_lens": b"\x00" + cloud_file(1, [0.0], points(1)).replace(b"1400 1400", b"1400 nan"),
            # Cut right after a texture's end tag, and a stray end tag after one.
            "qvtx_cut": b"\x01" + QVTX[:QVTX.index(b"</texture>") + 10],
            "qvtx_stray": b"\x01" + QVTX.replace(b"</texture>", b"</texture></texture>"),
            # The zeroed end a crash leaves, after a whole texture.
            "qvtx_zeroed": b"\x01" + QVTX[:QVTX.index(b"</texture>") + 10] + b"\x00\x01\xff",
        },
        "qvkx_project": {
            "two_clouds.qvkx": zip_seed([("CloudData_0_1_0.qvk", cloud_file(3, [0.5, 1.0], [point(1, 2, 3), NAN_SLOT, point(4, 5, 6),
                                                                                             NAN_SLOT, NAN_SLOT, point(7, 8, 9)]), False),
                                         ("CloudData_1_1_1.qvk", cloud_file(2, [0.0], [point(1, 2, 3)])[:-5], False),
                                         ("CloudData.qvtx", QVTX, False), ("a.png", b"\x89PNG\r\n\x1a\n", False)]),
            "qvt.qvkx": zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]), False),
                                  ("CloudData.qvt", qvt_record(b"a.png") + qvt_record(b"a.png"), False), ("a.png", b"img", False)]),
        },
        # The first byte picks the reader: even the qvk reader, odd the qvkx reader.
        "round_trip": {
            "writer.qvk": b"\x00" + qvk_file(False),
            "older.qvk": b"\x00" + qvk_file(True),
            "structural.qvk": b"\x00" + structural(),
            # One row a slice and 30000 index entries: more slices than a project holds.
            "tall.qvk": b"\x00" + qvk_clouds(1, [(1, [0.0], [1] * 30000)]),
            # A second cloud of four rotations and eight entries of a 960-row camera.
            "four.qvk": b"\x00" + qvk_clouds(10, [(960, [0.0], [1, 2]), (960, [0.0, 0.5, 1.0, 1.5], list(range(3, 11)))]),
            "two_clouds.qvkx": b"\x01" + zip_seed([("CloudData_0_1_0.qvk", cloud_file(3, [0.5, 1.0], [point(1, 2, 3), NAN_SLOT, point(4, 5, 6),
                                                                                                  NAN_SLOT, NAN_SLOT, point(7, 8, 9)]), False),
                                              ("CloudData.qvtx", QVTX, False), ("a.png", b"\x89PNG\r\n\x1a\n", False)]),
            "qvt.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]), False),
                                       ("CloudData.qvt", qvt_record(b"a.png") + qvt_record(b"a.png"), False), ("a.png", b"img", False)]),
            "huge_rotation.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]).replace(b"0.00000000\n", b"1e300\n"), False)]),
            "huge_lens.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]).replace(b"1400 1400", b"1400 1e300"), False)]),
            "inf_texture.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]), False),
                                               ("CloudData.qvtx", QVTX.replace(b">1.5<", b">inf<"), False), ("a.png", b"img", False)]),
            "empty.qvkx": b"\x01" + zip_seed([("CloudData_%d.qvk" % i, cloud_file(1, [0.0], [NAN_SLOT]), False) for i in range(4)]),
            "twice.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]), False),
                                          ("CloudData.qvk", cloud_file(1, [0.0], [point(7, 7, 7)]), False)]),
            # Rotations listed downwards, two equal, in a project and in a qvk file.
            "descending.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0, -0.1, -0.1, -0.2], points(1, 2, 3, 4)), False)]),
            "descending.qvk": b"\x00" + qvk_clouds(3, [(1, [0.0, -0.1, -0.2], [1, 2, 3])]),
            # Values no float keeps, in a project's cloud file and in a qvk cloud record.
            "inf_origin.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], points(1)).replace(b"1.00000000\n", b"-inf\n"), False)]),
            "nan_origin.qvk": b"\x00" + qvk_clouds(1, [(1, [0.0], [1])], origin=float("nan")),
            "cut_qvtx.qvkx": b"\x01" + zip_seed([("CloudData.qvk", cloud_file(1, [0.0], [point(1, 1, 1)]), False),
                                             ("CloudData.qvtx", QVTX.replace(b"</textures>", b"<texture><filename>b.png</filen"), False),
                                             ("a.png", b"img", False), ("b.png", b"img", False)]),
        },
        "qvt_reader": {
            "two": qvt_record(b"a.png") + qvt_record(b"photo-2.png"),
            "unnamed": qvt_record(b"") + qvt_record(b"b.png"),
            "infinite": struct.pack("<9fB", 0, 0, float("inf"), 0, 0, float("nan"), 0, 0, 0, 5) + b"a.png",
            "zeroed": qvt_record(b"a.png") + bytes(40),
        },
        "stl_importer": {
            "shared": stl([("0 0 1", ["0 0 0", "1 0 0", "0 1 0"]), ("0 1 0", ["0 0 0", "0 1 0", "0 0 1"]),
                           ("1 0 0", ["0 0 0", "0 0 1", "1 0 0"]), ("0 0 -1", ["0 0 0", "-1e-4 0.25 0", "3 0.2 1e+3"])]),
            "blanks": b"solid ascii\r\n\tfacet\tnormal 0 0 1\r\n\touter loop\r\n\tvertex 1 0 0\r\n\tvertex 0 1 0\r\n"
                      b"\tvertex 0 0 1\r\n\tendloop\r\n\tendfacet\r\n  facet  normal 1 0 0\n vertex 1 0 0\n vertex 0 1 0\n"
                      b" vertex 0 0 1\nendfacet\nendsolid\n",
            "upper": b"SOLID ASCII\r\n  FACET NORMAL 0 0 1 \r\n    VERTEX 1 2 3\r\n    VERTEX 4 5 6\r\n    VERTEX 1 2 4\r\n"
                     b"  ENDFACET\r\nENDSOLID",
        },
    }
    # The corpus of odd but readable files the tests read, each as its reader takes it.
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "formats", "corpus")
    for name in sorted(os.listdir(corpus)):
        if name.endswith((".qvk", ".qvkx")):
            with open(os.path.join(corpus, name), "rb") as f:
                seeds["round_trip"]["corpus-" + name] = (b"\x01" if name.endswith(".qvkx") else b"\x00") + f.read()
    for target, files in seeds.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
