"""Shared helpers of the oracle tests: running tools with a deadline, reading our
own decoding of a sector (kel_sector_tool decode), parsing what the independent
tools print, and a numbered table of comparisons that prints expected and actual
for every failure."""

import argparse
import os
import re
import shutil
import subprocess
import sys

TOOL_TIMEOUT = 60  # seconds; every external command is bounded by this

# A stable, untranslated output from every tool we parse.
TOOL_ENV = dict(os.environ, LC_ALL="C", LANG="C", MTOOLS_SKIP_CHECK="1")


def tool_and_work_dir():
    """The arguments every tools test takes: --tool (kel_sector_tool) and --work,
    a folder emptied for this run."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    return args


def run(cmd, check=True, timeout=TOOL_TIMEOUT):
    """Runs cmd, returns (exit code, stdout + stderr as text)."""
    try:
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           env=TOOL_ENV, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise SystemExit("timed out after %ds: %s" % (timeout, " ".join(cmd)))
    out = p.stdout.decode("latin-1")
    if check and p.returncode != 0:
        raise SystemExit("command failed (exit %d): %s\n%s" % (p.returncode, " ".join(cmd), out))
    return p.returncode, out


def unescape(text):
    """Undoes the %XX escaping of kel_sector_tool's text fields."""
    return re.sub(r"%([0-9A-F]{2})", lambda m: chr(int(m.group(1), 16)), text)


def decode(tool, path):
    """Our decoding of the first sector of path: {field name: int or str}."""
    _, out = run([tool, "decode", path])
    fields = {}
    for line in out.splitlines():
        name, value = line.split(" ", 1)
        fields[name] = int(value) if value.isdigit() else unescape(value)
    return fields


def ntfs_size(raw, cluster_bytes):
    """Bytes of an NTFS file record or index block from its clusters-per field as we
    read it (a u32): a positive first byte counts clusters, a negative one (0x80 to
    0xFF with zero upper bytes) gives 2 to the power of its negation."""
    if 0x80 <= raw <= 0xFF:
        return 1 << (256 - raw)
    return raw * cluster_bytes


class Table:
    """Numbered comparisons: case N, check N.M. Every failure prints what the
    reference said (expected) and what our code gave (actual)."""

    def __init__(self, title):
        self.title = title
        self.checks = 0
        self.failures = []
        self.case_id = 0
        self.case_name = ""
        self.check_no = 0

    def case(self, case_id, name):
        self.case_id = case_id
        self.case_name = name
        self.check_no = 0
        print("case %d: %s" % (case_id, name))

    def check(self, what, source, expected, actual):
        self.check_no += 1
        self.checks += 1
        if expected != actual:
            line = "case %d.%d (%s) %s [%s]: expected %r, actual %r" % (
                self.case_id, self.check_no, self.case_name, what, source, expected, actual)
            self.failures.append(line)
            print("  FAIL " + line)

    def fail(self, what, detail):
        self.check_no += 1
        self.checks += 1
        line = "case %d.%d (%s) %s: %s" % (self.case_id, self.check_no, self.case_name, what,
                                           detail)
        self.failures.append(line)
        print("  FAIL " + line)

    def finish(self):
        print("%s: %d checks, %d failed" % (self.title, self.checks, len(self.failures)))
        for line in self.failures:
            print("  " + line)
        sys.exit(1 if self.failures or self.checks == 0 else 0)


def find_int(pattern, text, base=10):
    """The first group of pattern in text as an int, or None when absent."""
    m = re.search(pattern, text, re.M)
    return int(m.group(1), base) if m else None


def find_str(pattern, text):
    m = re.search(pattern, text, re.M)
    return m.group(1) if m else None
