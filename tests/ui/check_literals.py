#!/usr/bin/env python3
"""Fails when ui/ holds a string literal that the user reads, other than those
on the allowlist beside this script: every text the program shows belongs in
the STRINGTABLE of resources/kelvashin.rc.

A literal counts as read by the user when it holds a character outside ASCII
or a space: names of functions, libraries, links and formats have neither.
Comments, #include lines and static_assert messages are not looked at.

    check_literals.py <ui folder> <allowlist>
"""
import pathlib
import re
import sys

LITERAL = re.compile(r'(?:\bL|\bu8|\bu)?"((?:[^"\\\n]|\\.)*)"')
COMMENT = re.compile(r'//[^\n]*|/\*.*?\*/|(?:\bL|\bu8|\bu)?"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', re.S)


ASSERTION = re.compile(r"static_assert\s*\(.*?\);", re.S)


def without_comments(code):
    """The code without comments and static_assert statements, lines kept."""
    code = COMMENT.sub(lambda m: m.group(0) if m.group(0)[0] != "/" else " ", code)
    return ASSERTION.sub(lambda m: "\n" * m.group(0).count("\n"), code)


def read_by_user(text):
    return any(ord(c) > 0x7E for c in text) or " " in text


def main():
    folder, allowlist = pathlib.Path(sys.argv[1]), sys.argv[2]
    allowed = {line.split("  #")[0].strip() for line in open(allowlist, encoding="utf-8")
               if line.strip() and not line.startswith("#")}
    found = []
    for path in sorted(folder.glob("*.[ch]*")):
        code = without_comments(path.read_text(encoding="utf-8"))
        for number, line in enumerate(code.splitlines(), 1):
            if line.lstrip().startswith("#include"):
                continue
            for m in LITERAL.finditer(line):
                if read_by_user(m.group(1)) and f'"{m.group(1)}"' not in allowed:
                    found.append(f"{path.name}:{number}: {m.group(0)}")
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} literal(s) the user reads: move them to the STRINGTABLE, "
              f"or add them to {allowlist}")
        return 1
    return 0


sys.exit(main())
