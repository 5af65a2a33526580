#!/usr/bin/env python3
"""Writes the corpus of odd but readable scan and project files, one file per rule the readers
follow. The files are committed; run this again only to change one, and change the table of
points in CorpusTest.cpp with it (saying why in the commit)."""
import io
import os
import struct
import warnings
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(*values):
    return b"".join(struct.pack("<f", v) for v in values)


def u16(*values):
    return b"".join(struct.pack("<H", v) for v in values)


def u32(*values):
    return b"".join(struct.pack("<I", v) for v in values)


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(data)


# --- qvk scan files, in layouts the structural reader walks ----------------------------------

XYZ = b"property float32 x\nproperty float32 y\nproperty float32 z\n"
POINTS = f32(1, 2, 3) + f32(4, 5, 6) + f32(7, 8, 9)


def qvk(vertex_line, cloud_lines=b"", body=POINTS, clouds=b""):
    return b"QVK\nformat binary_little_endian 1.3\n" + vertex_line + b"\n" + XYZ + cloud_lines + b"end_header\n" + body + clouds


CLOUD_ID = b"property uint16 id\n"
write("qvk-count-after-two-blanks.qvk", qvk(b"element vertex 3", b"element Clouds  1\n" + CLOUD_ID, clouds=u16(5)))
write("qvk-count-of-a-word.qvk", qvk(b"element vertex 3", b"element Clouds abc\n" + CLOUD_ID, clouds=u16(5)))
write("qvk-count-of-nothing.qvk", qvk(b"element vertex 3", b"element clouds \n" + CLOUD_ID, clouds=u16(5)))
write("qvk-count-with-a-tail.qvk", qvk(b"element vertex 3abc", b"element clouds 1\x00\n" + CLOUD_ID, clouds=u16(5)))
RADIANS = b"property list uint16 float32 radians\n"
write("qvk-rotation-of-no-number.qvk",
      qvk(b"element vertex 3", b"element clouds 1\n" + CLOUD_ID + RADIANS, clouds=u16(5) + u16(3) + f32(0, float("inf"), 1)))
write("qvk-calibration-of-no-number.qvk",
      qvk(b"element vertex 3", b"element clouds 1\nproperty float32 cameraOriginX\n" + CLOUD_ID, clouds=f32(float("nan")) + u16(5)))
write("qvk-point-of-no-number.qvk", qvk(b"element vertex 3", body=f32(1, 2, 3) + f32(4, float("nan"), 6) + f32(7, 8, 9)))
write("qvk-point-at-the-origin.qvk", qvk(b"element vertex 3", body=f32(1, 2, 3) + f32(0, 0, 0) + f32(7, 8, 9)))
write("qvk-cut-in-a-point.qvk", qvk(b"element vertex 3", body=POINTS[:30]))
INDEX = b"property list uint32 uint32 vertexIndicies\n"
write("qvk-cut-in-an-index-list.qvk",
      qvk(b"element vertex 3", b"element clouds 1\n" + CLOUD_ID + INDEX, clouds=u16(5) + u32(3) + u32(1, 2)))

# --- qvkx project files ----------------------------------------------------------------------

POINT = f32(1, 2, 3, 0, 0, 1) + bytes([10, 20, 30])
EMPTY = bytes([0, 0, 0xC0, 0x7F])


def cloud(properties, slots):
    return b"QVK\nformat binary_little_endian 2.0\n" + b"".join(b"property " + p + b"\n" for p in properties) + b"end_header\n" + slots


PLAIN = cloud([b"cameraHeight 2", b"radians 0.5"], POINT + POINT)
QVTX = (b'<?xml version="1.0" encoding="UTF-8"?>\n<qvtx version="1.0"><textures><texture><cameraPositionX>1</cameraPositionX>'
        b"<filename>a.png</filename></texture></textures></qvtx>\n")
IMAGE = b"\x89PNG\r\n\x1a\n" + b"\x00" * 8  # the reader copies the photo as it is


def project(name, members):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        for member, data in members:
            info = zipfile.ZipInfo(member, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)
    write(name, buffer.getvalue())
    return buffer.getvalue()


project("qvkx-values-of-no-number.qvkx",
        [("a.qvk", cloud([b"cameraHeight 2", b"ID inf", b"intrinsic (unset) (unset) (unset) (unset)", b"bedNormalY ",
                          b"radians 0.5"], POINT + EMPTY))])
project("qvkx-values-with-tails.qvkx",
        [("a.qvk", cloud([b"cameraHeight 2", b"cameraOriginX 1.5abc", b"laser 1\x00\x00", b"distortion 0 0.1x 0 0",
                          b"radians 0.5"], POINT + POINT))])
project("qvkx-rotations-out-of-order.qvkx",
        [("a.qvk", cloud([b"cameraHeight 1", b"radians 2 0 1"], POINT + EMPTY + POINT))])
project("qvkx-member-name-too-long.qvkx", [("a.qvk", PLAIN), ("x" * 300 + ".png", IMAGE)])
project("qvkx-member-outside-the-folder.qvkx", [("a.qvk", PLAIN), ("../escape.qvk", PLAIN)])

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # a repeated name is the rule being kept
    project("qvkx-member-repeated.qvkx", [("a.qvk", PLAIN), ("a.qvk", cloud([b"cameraHeight 1", b"radians 0"], POINT))])
project("qvkx-description-ends-in-zeros.qvkx", [("a.qvk", PLAIN), ("CloudData.qvtx", QVTX + b"\x00" * 64), ("a.png", IMAGE)])
QVT = f32(1, 2, 3, 0, 0, 1, 0, 1, 0) + bytes([5]) + b"a.png"
project("qvkx-binary-description-ends-in-zeros.qvkx", [("a.qvk", PLAIN), ("CloudData.qvt", QVT + b"\x00" * 40), ("a.png", IMAGE)])
project("qvkx-cut-in-a-point.qvkx", [("a.qvk", PLAIN[:-10])])
# A member whose checksum no longer fits its bytes: that layer is left out, the other read.
damaged = bytearray(project("qvkx-member-damaged.qvkx", [("CloudData_1_1_0.qvk", PLAIN), ("CloudData_2_2_0.qvk", PLAIN)]))
for at in (damaged.find(b"CloudData_2_2_0.qvk") - 30 + 14, damaged.rfind(b"CloudData_2_2_0.qvk") - 46 + 16):
    damaged[at] ^= 0x55
write("qvkx-member-damaged.qvkx", bytes(damaged))
