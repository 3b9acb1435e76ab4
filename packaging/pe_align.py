#!/usr/bin/env python3
"""Brings a PE file (DLL, EXE) to the form a signature is added to.

Authenticode signing pads the file to a multiple of 8 bytes and rewrites the
header's checksum; removing the signature (osslsigncode remove-signature)
gives back the padded file with its checksum. Padding and checksumming every
Windows binary of the release first makes the unsigned file and the signed
file without its signature byte for byte the same, so a release can be
compared with a build of the same sources whether it is signed or not.

Usage: pe_align.py FILE...   (rewritten in place; a file with a signature
already is refused)
"""
import struct
import sys


def fail(message):
    sys.exit("pe_align: " + message)


def checksum(data, field):
    """The PE checksum: the 16-bit words summed with end-around carry, the
    checksum field counted as zero, plus the file's length."""
    data = bytearray(data)
    data[field:field + 4] = b"\0\0\0\0"
    data += b"\0" * (len(data) & 1)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data) - (len(data) & 1)) & 0xFFFFFFFF


def align(path):
    data = bytearray(open(path, "rb").read())
    if data[:2] != b"MZ":
        fail(path + ": not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail(path + ": not a PE file")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if directories < optional:
        fail(path + ": unknown optional header")
    security = directories + 4 * 8  # the certificate table's directory entry
    if struct.unpack_from("<II", data, security) != (0, 0):
        fail(path + ": signed already")
    data += b"\0" * (-len(data) % 8)
    field = optional + 64
    struct.pack_into("<I", data, field, checksum(bytes(data), field))
    open(path, "wb").write(data)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    for name in sys.argv[1:]:
        align(name)
