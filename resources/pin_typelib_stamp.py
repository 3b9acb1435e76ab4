#!/usr/bin/env python3
"""Replaces the creation time that widl writes into a type library.

widl stores "Created by WIDL version <v> at <ctime text>" as custom data of
the library; the ctime text always has 24 characters. Writing a fixed text of
the same length makes the same sources give the same bytes.

Usage: pin_typelib_stamp.py FILE.tlb
"""
import re
import sys

FIXED = b"Thu Jan  1 00:00:00 1970"


def main(path):
    with open(path, "rb") as f:
        data = f.read()
    pattern = re.compile(rb"(Created by WIDL version [0-9.]+ at )(.{24})", re.DOTALL)
    data, count = pattern.subn(lambda m: m.group(1) + FIXED, data)
    if count > 1:
        sys.exit("pin_typelib_stamp: %d stamps in %s" % (count, path))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
