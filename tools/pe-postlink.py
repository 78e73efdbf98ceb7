#!/usr/bin/python3
"""Points the PE load configuration data directory at _load_config_used.

GNU ld keeps the _load_config_used structure in the image but leaves data
directory 10 empty, so the loader would never see DependentLoadFlags. This
step reads the structure's address from the link map, checks that the bytes
there are the expected structure, and writes the directory entry (RVA and the
structure's own Size field). The file is rewritten in place; running it twice
gives the same bytes.

usage: pe-postlink.py IMAGE.exe LINK.map
"""
import re
import struct
import sys

import pefile

LOAD_CONFIG_INDEX = 10


def symbol_address(map_path, name):
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(name) + r"\s*$")
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                return int(m.group(1), 16)
    return None


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    image, map_path = sys.argv[1], sys.argv[2]
    address = symbol_address(map_path, "_load_config_used")
    if address is None:
        sys.stderr.write("pe-postlink: _load_config_used is not in %s\n" % map_path)
        return 1
    pe = pefile.PE(image)
    rva = address - pe.OPTIONAL_HEADER.ImageBase
    size = struct.unpack("<I", pe.get_data(rva, 4))[0]
    flags = struct.unpack("<H", pe.get_data(rva + 0x4E, 2))[0]
    if size < 0x50 or size > 0x400 or flags != 0x800:
        sys.stderr.write("pe-postlink: no load configuration at RVA 0x%x (Size 0x%x, flags 0x%x)\n"
                         % (rva, size, flags))
        return 1
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG_INDEX]
    entry.VirtualAddress = rva
    entry.Size = size
    data = pe.write()
    pe.close()
    with open(image, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
