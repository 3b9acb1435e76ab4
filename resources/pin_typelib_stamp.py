#!/usr/bin/env python3
"""Replaces the creation time that widl writes into a type library.

widl adds two custom data items to the library it writes (MSFT format):
  {DE77BA63-517C-11D1-A2DA-0000F8773CE9}  the creation time (VT_UI4, time_t)
  {DE77BA65-517C-11D1-A2DA-0000F8773CE9}  "Created by WIDL version <v> at <ctime text>"
Pinning both to the start of 1970 makes the same sources give the same bytes.

Usage: pin_typelib_stamp.py FILE.tlb
"""
import re
import struct
import sys
import uuid

TIME_GUID = uuid.UUID("DE77BA63-517C-11D1-A2DA-0000F8773CE9")
TEXT_GUID = uuid.UUID("DE77BA65-517C-11D1-A2DA-0000F8773CE9")
VT_UI4 = 19
VT_BSTR = 8
FIXED_TEXT = b"Thu Jan  1 00:00:00 1970"  # ctime() text: always 24 characters
HELP_DLL_FLAG = 0x100
GUID_SEGMENT, CUSTOM_DATA_SEGMENT, CUSTOM_DATA_GUID_SEGMENT = 5, 11, 12


def fail(message):
    sys.exit("pin_typelib_stamp: " + message)


def segments(data):
    """The (offset, length) of each of the 15 segments of an MSFT file."""
    if data[:4] != b"MSFT":
        fail("not an MSFT type library")
    varflags = struct.unpack_from("<i", data, 20)[0]
    type_count = struct.unpack_from("<i", data, 32)[0]
    position = 84 + (4 if varflags & HELP_DLL_FLAG else 0) + 4 * type_count
    return [struct.unpack_from("<2i", data, position + 16 * i) for i in range(15)]


def pin(data):
    data = bytearray(data)
    table = segments(data)
    guids = table[GUID_SEGMENT][0]
    custom_data = table[CUSTOM_DATA_SEGMENT][0]
    entries, length = table[CUSTOM_DATA_GUID_SEGMENT]
    pinned = 0
    for entry in range(entries, entries + length, 12):
        guid_offset, data_offset, _ = struct.unpack_from("<3i", data, entry)
        guid = uuid.UUID(bytes_le=bytes(data[guids + guid_offset:guids + guid_offset + 16]))
        item = custom_data + data_offset
        vt = struct.unpack_from("<H", data, item)[0]
        if guid == TIME_GUID:
            if vt != VT_UI4:
                fail("creation time is not a VT_UI4")
            struct.pack_into("<I", data, item + 2, 0)
            pinned += 1
        elif guid == TEXT_GUID:
            if vt != VT_BSTR:
                fail("creation text is not a VT_BSTR")
            size = struct.unpack_from("<i", data, item + 2)[0]
            text = bytes(data[item + 6:item + 6 + size])
            match = re.fullmatch(rb"(Created by WIDL version [0-9.]+ at ).{24}(\n?)", text, re.DOTALL)
            if match is None:
                fail("unexpected creation text %r" % text)
            data[item + 6:item + 6 + size] = match.group(1) + FIXED_TEXT + match.group(2)
            pinned += 1
    return bytes(data), pinned


def main(path):
    with open(path, "rb") as f:
        data, pinned = pin(f.read())
    if pinned not in (0, 2):
        fail("found %d of the two creation stamps in %s" % (pinned, path))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
