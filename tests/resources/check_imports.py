#!/usr/bin/env python3
"""Fails when kelvashin.exe imports a function that is not on the allowlist, or
one that the allowlist says is missing from Windows 95 or NT 4.0.

    check_imports.py EXE ALLOWLIST
    check_imports.py --self-test ALLOWLIST
"""

import os
import sys

NINE_X = {"95", "98", "98SE", "Me", "none"}
NT = {"3.1", "3.5", "3.51", "4.0", "2000", "XP", "Vista", "7", "8", "8.1", "10", "none"}
OLD_NT = {"3.1", "3.5", "3.51", "4.0"}


def read_allowlist(path):
    """{(dll, function): (nine_x, nt, source)} and a list of format problems."""
    entries, problems = {}, []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            cols = [c.strip() for c in text.split("|")]
            if len(cols) != 5:
                problems.append(f"line {number}: expected 5 columns, found {len(cols)}: {text}")
                continue
            dll, func, nine_x, nt, source = cols
            if nine_x not in NINE_X:
                problems.append(f"line {number}: unknown 9x version {nine_x!r} (known: {sorted(NINE_X)})")
            if nt not in NT:
                problems.append(f"line {number}: unknown NT version {nt!r} (known: {sorted(NT)})")
            if not source:
                problems.append(f"line {number}: {func} has no source")
            key = (dll.lower(), func)
            if key in entries:
                problems.append(f"line {number}: {dll} {func} is listed twice")
            entries[key] = (nine_x, nt, source)
    return entries, problems


def check(imports, entries):
    """imports: list of (dll, function or None for an ordinal, ordinal).
    Returns one message per import that breaks the rule."""
    failures = []
    for dll, func, ordinal in imports:
        if func is None:
            failures.append(f"{dll} ordinal {ordinal}: imported by ordinal; expected an import by name")
            continue
        entry = entries.get((dll.lower(), func))
        if entry is None:
            failures.append(f"{dll} {func}: not on the allowlist; expected only listed functions")
            continue
        nine_x, nt, source = entry
        if nine_x != "95" or nt not in OLD_NT:
            failures.append(f"{dll} {func}: expected 9x 95 and NT <= 4.0, allowlist says "
                            f"9x {nine_x}, NT {nt} ({source})")
    return failures


def exe_imports(path):
    import pefile

    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    result = []
    for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        name = dll.dll.decode("ascii")
        for imp in dll.imports:
            func = imp.name.decode("ascii") if imp.name else None
            result.append((name, func, imp.ordinal))
    if getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", None):
        result.append(("(delay-load)", None, 0))
    return result


def self_test(entries):
    """The checker itself must reject what it is there to reject."""
    cases = [
        # (name, imports, number of failures expected)
        ("listed NT 3.1 function", [("KERNEL32.dll", "CloseHandle", None)], 0),
        ("dll name in other case", [("kernel32.DLL", "ReadFile", None)], 0),
        ("function not listed", [("KERNEL32.dll", "GetFileSizeEx", None)], 1),
        ("listed but only from 98", [("KERNEL32.dll", "FakeFrom98", None)], 1),
        ("listed but only from 2000", [("KERNEL32.dll", "FakeFrom2000", None)], 1),
        ("import by ordinal", [("USER32.dll", None, 12)], 1),
        ("name differs in case", [("KERNEL32.dll", "closehandle", None)], 1),
        ("listed NT 3.51 function", [("COMCTL32.DLL", "InitCommonControls", None)], 0),
        # Looked up at run time: importing them again loads their libraries
        # at start-up (or, for MoveFileExA, fails on 9x).
        ("file dialog imported", [("comdlg32.dll", "GetOpenFileNameA", None)], 1),
        ("shell imported", [("SHELL32.dll", "ShellExecuteA", None)], 1),
        ("NT-only move imported", [("KERNEL32.dll", "MoveFileExA", None)], 1),
        ("wide message box imported", [("USER32.dll", "MessageBoxW", None)], 1),
    ]
    extra = dict(entries)
    extra[("kernel32.dll", "FakeFrom98")] = ("98", "4.0", "self test")
    extra[("kernel32.dll", "FakeFrom2000")] = ("95", "2000", "self test")
    bad = 0
    for number, (name, imports, expected) in enumerate(cases, 1):
        actual = len(check(imports, extra))
        if actual != expected:
            bad += 1
            print(f"self-test case {number} ({name}): expected {expected} failures, got {actual}")
    return bad


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--self-test":
        entries, problems = read_allowlist(sys.argv[2])
        for p in problems:
            print(p)
        bad = self_test(entries) + len(problems)
        print("self-test:", "FAILED" if bad else "ok")
        return 1 if bad else 0
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    if not os.path.isfile(sys.argv[1]):
        print(f"FAIL {sys.argv[1]} does not exist: build the Windows configuration first")
        return 1
    entries, problems = read_allowlist(sys.argv[2])
    imports = exe_imports(sys.argv[1])
    failures = problems + check(imports, entries)
    for f in failures:
        print("FAIL", f)
    print(f"{len(imports)} imports checked against {len(entries)} allowlist entries, "
          f"{len(failures)} problems")
    return 1 if failures or not imports else 0


if __name__ == "__main__":
    sys.exit(main())
