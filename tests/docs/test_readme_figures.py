#!/usr/bin/env python3
"""The figures README.md states about the build against what the build
makes: the stripped production executable's size ("about N KiB") must be
within 5 % of the built file's.

    test_readme_figures.py SOURCE_DIR EXECUTABLE
"""

import os
import re
import sys

# How far a figure "about N KiB" may be from the file (the file changes a
# little with every change of the code; the README is not rewritten for each).
TOLERANCE = 0.05


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    root, exe = argv[1], argv[2]
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        text = " ".join(f.read().split())
    stated = re.findall(r"stripped production executable is about ([\d,]+) KiB", text)
    if len(stated) != 1:
        print("FAILED: README.md states the executable's size %d times, not once" % len(stated))
        return 1
    if not os.path.isfile(exe):
        print("FAILED: %s has not been built" % exe)
        return 1
    kib = int(stated[0].replace(",", ""))
    size = os.path.getsize(exe)
    print("README: about %d KiB; built: %d bytes (%.1f KiB)" % (kib, size, size / 1024))
    if abs(kib * 1024 - size) > TOLERANCE * size:
        print("FAILED: the README's figure is more than %d %% away from the built file"
              % (TOLERANCE * 100))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
