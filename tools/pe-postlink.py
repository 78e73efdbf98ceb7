#!/usr/bin/python3
"""Points the PE load configuration and delay import data directories at
their structures.

GNU ld keeps the _load_config_used structure in the image but leaves data
directory 10 empty, so the loader would never see DependentLoadFlags. This
step reads the structure's address from the link map, checks that the bytes
there are the expected structure, and writes the directory entry (RVA and the
structure's own Size field). The delay-load descriptors of the import
libraries (__DELAY_IMPORT_DESCRIPTOR_*) must lie one after another and end at
the zero descriptor vq_delay_import_end; data directory 13 is pointed at that
array. The file is rewritten in place; running it twice gives the same bytes.

usage: pe-postlink.py IMAGE.exe LINK.map
"""
import re
import struct
import sys

import pefile

LOAD_CONFIG_INDEX = 10
DELAY_IMPORT_INDEX = 13
DELAY_DESCRIPTOR_SIZE = 32


def symbol_address(map_path, name):
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(name) + r"\s*$")
    with open(map_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = pattern.match(line)
            if m:
                return int(m.group(1), 16)
    return None


def delay_descriptors(map_path):
    """Addresses of the delay-load descriptors named in the map."""
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+__DELAY_IMPORT_DESCRIPTOR_\S+\s*$")
    with open(map_path, encoding="utf-8", errors="replace") as f:
        return sorted(int(m.group(1), 16) for m in map(pattern.match, f) if m)


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

    descriptors = delay_descriptors(map_path)
    end = symbol_address(map_path, "vq_delay_import_end")
    if descriptors:
        expected = [descriptors[0] + i * DELAY_DESCRIPTOR_SIZE for i in range(len(descriptors))]
        if descriptors != expected or end != descriptors[-1] + DELAY_DESCRIPTOR_SIZE:
            sys.stderr.write("pe-postlink: delay-load descriptors are not one array ending at "
                             "vq_delay_import_end\n")
            return 1
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DELAY_IMPORT_INDEX]
        entry.VirtualAddress = descriptors[0] - pe.OPTIONAL_HEADER.ImageBase
        entry.Size = (len(descriptors) + 1) * DELAY_DESCRIPTOR_SIZE
    data = pe.write()
    pe.close()
    with open(image, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
