#!/usr/bin/env python3
"""The administrator's guide in README.md against the source: its exit-code
table must name exactly the exit codes of SetupExitCode and, under each code,
exactly the reason words the program ends a run with that code; its result
line, log names and switches must be the program's own.

    test_admin_guide.py SOURCE_DIR
"""

import os
import re
import sys

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print(f"FAILED: {message}")


def read(root, *parts):
    with open(os.path.join(root, *parts), encoding="utf-8") as f:
        return f.read()


def exit_codes(root):
    """SETUP_EXIT_* name -> number, from the enumeration."""
    enum = re.search(r"enum SetupExitCode \{(.*?)\};", read(root, "src", "setup", "flow.h"), re.S).group(1)
    return {name: int(value) for name, value in re.findall(r"(SETUP_EXIT_\w+)\s*=\s*(\d+)", enum)}


def ends_of_runs(root, codes):
    """(code, reason) pairs of the source, and every reason word it uses.
    Direct ends: setup_end / setup_end_closing / log_result with a
    SETUP_EXIT_* code and literal reasons (a conditional reason gives each of
    its literals). Ends through variables: "code = SETUP_EXIT_X; reason = "w""
    and "== SETUP_EXIT_X ? "w"" pairs; the release fetch's own codes for the
    remaining literal of such a choice."""
    pairs, words = set(), set()
    sources = []
    for folder in ("setup", "ui"):
        d = os.path.join(root, "src", folder)
        sources += [read(d, name) for name in sorted(os.listdir(d)) if name.endswith(".cpp")]
    call = re.compile(r"\b(?:setup_end_closing|setup_end|log_result)\s*\(([^;]*?)\)\s*;", re.S)
    for text in sources:
        for args in call.findall(text):
            found = re.findall(r"\b(SETUP_EXIT_\w+)\b", args)
            literals = re.findall(r'"([a-z0-9-]+)"', args)
            words.update(literals)
            if len(found) == 1 and literals and "?" not in args.split(found[0])[0]:
                for word in literals:
                    pairs.add((codes[found[0]], word))
        for name, word in re.findall(r"\b(SETUP_EXIT_\w+);\s*(?:const char \*)?\s*reason\s*=\s*\"([a-z0-9-]+)\"", text):
            pairs.add((codes[name], word))
            words.add(word)
        for name, word in re.findall(r"==\s*(SETUP_EXIT_\w+)\s*\?\s*\"([a-z0-9-]+)\"", text):
            pairs.add((codes[name], word))
            words.add(word)
        for word in re.findall(r"reason\s*=\s*[^;]*?:\s*\"([a-z0-9-]+)\"\s*;", text):
            # The last literal of the choice over the release fetch's result:
            # every code the fetch returns that the choice does not name.
            words.add(word)
            named = {codes[n] for n in re.findall(r"==\s*(SETUP_EXIT_\w+)\s*\?", text)}
            returned = {int(n) for n in re.findall(r"\breturn (\d);", read(root, "src", "cloud", "cloud_fetch.cpp"))}
            rest = returned - named - {0}
            check(rest == {1, 2}, f"the release fetch's other codes are 1 and 2, not {sorted(rest)}")
            for number in rest:
                pairs.add((number, word))
    return pairs, words


def guide_table(readme):
    m = re.search(r"<!-- exit-codes: begin -->\n(.*?)<!-- exit-codes: end -->", readme, re.S)
    check(m is not None, "the README has the exit-code table between its markers")
    rows = {}
    for line in (m.group(1).splitlines() if m else []):
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if cells and cells[0].isdigit():
            rows[int(cells[0])] = (set(re.findall(r"`([a-z0-9-]+)`", cells[1])), cells)
    return rows


def main(root):
    readme = read(root, "README.md")
    guide = readme.split("## Administrator's guide", 1)[-1].split("\n## ", 1)[0]
    check("## Administrator's guide" in readme, "the README has the administrator's guide")
    codes = exit_codes(root)
    pairs, words = ends_of_runs(root, codes)
    check(len(codes) == 8 and len(words) >= 20, f"the source parse found codes {codes} and words {sorted(words)}")
    rows = guide_table(readme)

    check(sorted(rows) == sorted(codes.values()), f"the guide's codes {sorted(rows)} are {sorted(codes.values())}")
    for code, word in sorted(pairs):
        check(code in rows and word in rows[code][0], f"the guide lists `{word}` under exit code {code}")
    listed = {(code, word) for code, (ws, _) in rows.items() for word in ws}
    for code, word in sorted(listed):
        check((code, word) in pairs, f"the guide's `{word}` under {code} is an end of a run in the source")
    for word in sorted(words):
        check(any(word in ws for ws, _ in rows.values()), f"the reason word {word} is in the guide")
    for code, (_, cells) in rows.items():
        check(len(cells) == 4 and all(cells), f"exit code {code}: meaning and what to do are given")

    # The result line, the log names and the work folder, as the program writes them.
    log = read(root, "src", "common", "log.cpp")
    check('"RESULT code=%d reason=%s"' in log, "log.cpp writes the result line")
    check("RESULT\ncode=N reason=WORD" in guide or "RESULT code=N reason=WORD" in guide,
          "the guide shows the result line")
    sources = "".join(read(root, "src", *p) for p in (("setup", "flow.cpp"), ("common", "log.cpp"),
                                                       ("machine", "work_folder.cpp"),
                                                       ("machine", "rollback.cpp"), ("setup", "stages.cpp")))
    for written, shown in (("online-setup.log", "online-setup.log"), ("install.log", "install.log"),
                           ("online-setup-%ls.log", "online-setup-YYYYMMDD-HHMMSS.log"),
                           ("install-%ls.log", "install-YYYYMMDD-HHMMSS.log"),
                           ("VornquillAI-Setup", "VornquillAI-Setup"),
                           ("VornquillAI-Setup-%hs", "VornquillAI-Setup-<32 hex digits>")):
        check(written in sources, f"the program writes {written}")
        check(shown in guide, f"the guide names {shown}")
    check("%04u%02u%02u-%02u%02u%02u" in read(root, "src", "common", "log_format.cpp"),
          "kept logs carry YYYYMMDD-HHMMSS")

    # Every switch the program accepts, and no other.
    options = read(root, "src", "setup", "options.cpp")
    accepted = set(re.findall(r'T16\("(/[A-Z]+)"\)', options))
    shown = set(re.findall(r"^\| `(/[A-Z]+)", guide, re.M)) | set(re.findall(r", `(/[A-Z]+)", guide))
    check(len(accepted) == 9, f"options.cpp accepts nine switches: {sorted(accepted)}")
    check(shown == accepted, f"the guide's switches {sorted(shown)} are the accepted ones {sorted(accepted)}")

    print(f"{len(pairs)} ends of runs, {len(rows)} exit codes; "
          f"{'0 failed' if not failures else str(len(failures)) + ' failed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
