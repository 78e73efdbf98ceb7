#!/usr/bin/env python3
"""SECURITY.md against the test suite: every row of its tables of attacks
names at least one test that shows the defence, or states a limit, and
every test it names exists.

A test is named in backticks in a row's last column: `NAME` (a ctest test,
as `scripts/test` runs it) or `NAME: SCENARIO` (one scenario of that test).
A scenario exists when the files of the folder whose suite registers the
test hold it: a GoogleTest case `Suite.Case` as its TEST() definition; any
other scenario as the name a scenario record gives itself, `name="SCENARIO"`
(or `"name": "SCENARIO"`), not merely a quoted text that could be a rule's
path, a message or a log line (the scenarios of a test that runs one group
of the end-to-end harness are looked for in that group's own module,
tests/e2e/groups/GROUP.py, whichever folder registers the test). A row
without a test begins its last column with "Limit:".

    test_security.py SOURCE_DIR BUILD_DIR

The test lists ctest's tests of BUILD_DIR itself. It also checks the same
file with one test name and one scenario name misspelt, and with one
scenario replaced by a text its group's module quotes without naming a
scenario so, and requires each to be reported, so that a checker that finds
nothing, or finds any quoted text, cannot pass.
Python 3 standard library only.
"""

import json
import os
import re
import subprocess
import sys

BEGIN = "<!-- threats: begin -->"
END = "<!-- threats: end -->"
REFERENCE = re.compile(r"`([^`]+)`")
GTEST_CASE = re.compile(r"^([A-Za-z_]\w*)\.([A-Za-z_]\w*)$")


def ctest_listing(build_dir):
    """{test name: (folder of the file that registered it or None, the
    group module when the test runs one group of the end-to-end harness)}."""
    out = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True).stdout
    doc = json.loads(out)
    graph = doc.get("backtraceGraph", {})
    tests = {}
    for test in doc["tests"]:
        folder = None
        if test.get("backtrace") is not None:
            node = graph["nodes"][test["backtrace"]]
            folder = os.path.dirname(graph["files"][node["file"]])
        command = test.get("command") or []
        group = None
        for i, arg in enumerate(command[:-1]):
            if arg.endswith(os.path.join("e2e", "e2e.py")):
                group = os.path.join(os.path.dirname(arg), "groups", command[i + 1] + ".py")
        tests[test["name"]] = (folder, group)
    return tests


def rows(text):
    """(line number, cells) of every table row between the markers."""
    out = []
    inside = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.strip() == BEGIN:
            inside = True
            continue
        if line.strip() == END:
            inside = False
            continue
        if not inside or not line.startswith("|"):
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if all(set(c) <= set("-: ") for c in cells):
            continue        # the line under a table's head
        out.append((number, cells))
    return out


def files_of(folder):
    for base, _dirs, names in os.walk(folder):
        for name in sorted(names):
            if name.endswith((".py", ".cpp", ".sh", ".cmake", ".c", ".h")):
                yield os.path.join(base, name)


def scenario_name_pattern(name):
    """A scenario record's own name: name="NAME" (a keyword of dict()) or
    "name": "NAME" (a literal), either quote."""
    return re.compile(r"""(?:\bname\s*=\s*|["']name["']\s*:\s*)["']%s["']""" % name)


def scenario_found(test, where, scenario):
    folder, group = where
    if group is not None:
        candidates = [group] if os.path.isfile(group) else []
    elif folder is None:
        return False
    else:
        candidates = list(files_of(folder))
    case = GTEST_CASE.match(scenario)
    if case:
        pattern = re.compile(r"\bTEST(_F|_P)?\(\s*%s\s*,\s*%s\s*\)" % (case.group(1), case.group(2)))
    else:
        pattern = scenario_name_pattern(re.escape(scenario))
    for path in candidates:
        with open(path, encoding="utf-8", errors="replace") as f:
            if pattern.search(f.read()):
                return True
    return False


def check(text, tests):
    """The list of problems of the text, each naming its line."""
    problems = []
    table = rows(text)
    if not table:
        problems.append("no table rows between %s and %s" % (BEGIN, END))
    heads = 0
    for number, cells in table:
        if cells and cells[-1] in ("Shown by", "Test or limit"):
            heads += 1
            continue
        last = cells[-1] if cells else ""
        references = REFERENCE.findall(last)
        if not references and not last.startswith("Limit:"):
            problems.append("line %d: names no test and states no limit: %s" % (number, cells[0]))
        for reference in references:
            name, _, scenario = reference.partition(": ")
            name = name.strip()
            if name not in tests:
                problems.append("line %d: no test %r" % (number, name))
            elif scenario and not scenario_found(name, tests[name], scenario.strip()):
                problems.append("line %d: test %s has no scenario %r" % (number, name,
                                                                         scenario.strip()))
    if table and heads == 0:
        problems.append("no table head ending in \"Shown by\"")
    return problems


def misspelt(text, tests):
    """The text with its first plain test name and its first scenario name
    each changed by one letter, and the two changed references."""
    changed = []
    out = text
    plain = scenario = None
    for _number, cells in rows(text):
        for reference in REFERENCE.findall(cells[-1]):
            name, _, scen = reference.partition(": ")
            if scen and scenario is None and name in tests:
                scenario = reference
            elif not scen and plain is None and name in tests:
                plain = reference
    for reference in (plain, scenario):
        if reference is None:
            continue
        wrong = reference[:-1] + ("x" if reference[-1] != "x" else "y")
        out = out.replace("`%s`" % reference, "`%s`" % wrong, 1)
        changed.append(wrong)
    return out, changed


def quoted_not_named(text, tests):
    """The text with its first reference to a scenario of an end-to-end
    group replaced by a text that the group's module quotes but no scenario
    takes as its name (a path, a reason word, a message), and that changed
    reference; (text, None) when there is none."""
    for _number, cells in rows(text):
        for reference in REFERENCE.findall(cells[-1]):
            name, _, scen = reference.partition(": ")
            group = tests.get(name, (None, None))[1]
            if not scen or group is None or not os.path.isfile(group):
                continue
            with open(group, encoding="utf-8", errors="replace") as f:
                source = f.read()
            for quoted in re.findall(r"\"([a-z][a-z0-9-]{3,})\"", source):
                if not scenario_name_pattern(re.escape(quoted)).search(source):
                    wrong = "%s: %s" % (name, quoted)
                    return text.replace("`%s`" % reference, "`%s`" % wrong, 1), wrong
    return text, None


def main():
    source_dir, build_dir = sys.argv[1], sys.argv[2]
    path = os.path.join(source_dir, "SECURITY.md")
    with open(path, encoding="utf-8") as f:
        text = f.read()
    tests = ctest_listing(build_dir)
    problems = check(text, tests)
    table = [cells for _n, cells in rows(text) if cells[-1] != "Shown by"]
    named = sum(len(REFERENCE.findall(cells[-1])) for cells in table)
    for p in problems:
        print("FAIL: SECURITY.md %s" % p)

    # The checker itself: a misspelt test and a misspelt scenario are found.
    wrong_text, changed = misspelt(text, tests)
    new = [p for p in check(wrong_text, tests) if p not in problems]
    if len(new) != len(changed):
        problems.append("misspelt references went unnoticed")
        print("FAIL: of the misspelt references %s the check reported %s" % (changed, new))
    if len(changed) != 2:
        problems.append("the table lacks a plain test or a scenario to misspell")
        print("FAIL: SECURITY.md has no plain test name or no scenario name to misspell")
    # A text that the group's module quotes without a scenario taking it as
    # its name (a rule's path, a reason word, a message) counts for nothing.
    quoted_text, decoy = quoted_not_named(text, tests)
    if decoy is None:
        problems.append("no scenario of an end-to-end group to replace")
        print("FAIL: SECURITY.md names no scenario of an end-to-end group whose module quotes "
              "another text")
    else:
        new = [p for p in check(quoted_text, tests) if p not in problems]
        if len(new) != 1:
            problems.append("a quoted text that names no scenario went unnoticed")
            print("FAIL: `%s` (quoted in the group's module, no scenario's name) gave %s"
                  % (decoy, new))
    if problems:
        return 1
    print("ok: %d rows, %d test references, each found; misspelt %s noticed; `%s` (quoted, "
          "no scenario's name) refused"
          % (len(table), named, " and ".join("`%s`" % c for c in changed), decoy))
    return 0


if __name__ == "__main__":
    sys.exit(main())
