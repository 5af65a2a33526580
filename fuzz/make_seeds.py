#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets: make_seeds.py <corpus folder> (qvk_reader and
zip_reader subfolders are made in it). Seeds are made here rather than kept in the tree. One qvk
seed is larger than libFuzzer's default 4 KiB input length, which lifts that cap; give -max_len
(say 1048576) to go further."""
import io
import os
import struct
import sys
import zipfile


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
    root = sys.argv[1]
    seeds = {
        "qvk_reader": {"writer.qvk": qvk_file(False), "older.qvk": qvk_file(True), "structural.qvk": structural(),
                       "large.qvk": large_qvk()},
        "zip_reader": {
            "plain.zip": zip_seed([("CloudData.qvk", qvk_file(False), False), ("sub/b.txt", b"hello", False)]),
            "link.zip": zip_seed([("l", "sub", True), ("sub/x", b"1", False), ("l/y", b"2", False)]),
            "slip.zip": zip_seed([("../up.txt", b"no", False), ("a\\b.txt", b"ok", False)]),
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
