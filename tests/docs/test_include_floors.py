#!/usr/bin/env python3
"""Every include in src/ points down: an area includes headers of its own area
or of an area on a lower floor, as the README's layout section gives the
floors. A missing area, an unknown area or an include that runs back up is a
failure naming the file and line.
  test_include_floors.py SOURCE_ROOT"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"')
FLOOR_ROW = re.compile(r'^\s+floor (\d+)\s+src/([a-z_]+)/')


def floors_from_readme(root):
    floors = {}
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Layout\n", 1)
    if len(section) != 2:
        raise SystemExit("FAIL: README.md has no Layout section")
    for line in section[1].split("\n## ", 1)[0].splitlines():
        m = FLOOR_ROW.match(line)
        if m:
            floors[m.group(2)] = int(m.group(1))
    return floors


def check(root, floors):
    problems = []
    src = os.path.join(root, "src")
    for area in sorted(os.listdir(src)):
        folder = os.path.join(src, area)
        if not os.path.isdir(folder) or area == "resources":
            continue
        if area not in floors:
            problems.append(f"src/{area}/ has no floor in the README's layout section")
            continue
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1)
                    if not os.path.isdir(os.path.join(src, target)):
                        continue  # data from outside src/, such as a test build's table
                    where = f"src/{area}/{name}:{number}"
                    if target in floors and target != area and floors[target] >= floors[area]:
                        problems.append(
                            f"{where} includes {target}/ (floor {floors[target]}) from "
                            f"{area}/ (floor {floors[area]}): includes must point down")
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    floors = floors_from_readme(root)
    if not floors:
        print("FAIL: the README's layout section names no floors")
        return 1
    problems = check(root, floors)
    for p in problems:
        print("FAIL:", p)
    if problems:
        return 1
    print(f"ok: every include of src/ points down ({len(floors)} areas on "
          f"{len(set(floors.values()))} floors)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
