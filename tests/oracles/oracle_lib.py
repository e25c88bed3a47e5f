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


# --- The boot sector check's case table (tests/core/check_cases.txt) ---

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK_CASES = os.path.join(HERE, "..", "core", "check_cases.txt")
CHECK_RULES = os.path.join(HERE, "..", "..", "core", "check.h")


def rule_names():
    """{rule number: name} from the CheckRule enum, which counts from 1 in order."""
    with open(CHECK_RULES) as f:
        text = f.read()
    body = text[text.index("enum CheckRule"):]
    body = body[:body.index("};")]
    return {n: name for n, name in enumerate(re.findall(r"^\s+Rule(\w+)", body, re.M), 1)}


def read_check_cases():
    """The table's volumes {name: dict(kib, command, head)} and its cases, each a
    dict(line, volume, patches [(offset, width, value)], findings {"Rule@offset"},
    tool, text)."""
    volumes, cases, current = {}, [], None
    with open(CHECK_CASES) as f:
        for number, line in enumerate(f, 1):
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if line[0] == " ":
                volumes[current]["head"] += bytes.fromhex(words[0])
            elif words[0] == "volume":
                current = words[1]
                volumes[current] = dict(kib=int(words[2]), command=words[3:], head=b"")
            else:
                check, _, tool = line.partition("|")
                left, _, right = check.partition("->")
                words = left.split()
                patches = []
                for p in words[2:]:
                    where, value = p.split("=")
                    offset, width = where.split(":")
                    patches.append((int(offset), int(width), int(value, 0)))
                name, _, text = tool.partition(":")
                cases.append(dict(line=number, volume=words[1], patches=patches,
                                  findings=set(right.split()) - {"none"},
                                  tool=name.strip(), text=text.strip()))
    return volumes, cases


def check_findings(tool, path, names):
    """Our check of the first sector of path, as {"Rule@offset"}."""
    _, out = run([tool, "check", path])
    found = set()
    for line in out.splitlines():
        _, rule, offset, _, _ = line.split()
        found.add("%s@%s" % (names.get(int(rule), rule), offset))
    return found


def check_case_table(table, tool, work, program, first_id):
    """Makes each volume of the case table whose command runs program and checks:
    its first bytes are the table's, our check of the whole sector finds what the
    table says for each case, and where the table names fsck.fat or ntfsfix, that
    tool objects to the volume with the case's patches in sector 0 and in the
    backup boot sector (restored after each case)."""
    names = rule_names()
    volumes, cases = read_check_cases()
    for n, (name, volume) in enumerate(sorted(volumes.items())):
        if volume["command"][0] != program:
            continue
        table.case(first_id + n, "check case table: volume %s" % name)
        image = os.path.join(work, "check-%s.img" % name)
        with open(image, "wb") as f:
            f.truncate(volume["kib"] * 1024)
        run([image if a == "IMG" else a for a in volume["command"]])
        with open(image, "rb") as f:
            sector = f.read(512)
        head = volume["head"]
        table.check("first %d bytes and 55 AA" % len(head), program,
                    (head.hex(), "55aa"), (sector[:len(head)].hex(), sector[510:].hex()))
        size = int.from_bytes(sector[11:13], "little")
        backups = [0]
        if program == "mkntfs":
            backups.append(volume["kib"] * 1024 - size)  # the last sector
        elif sector[82:87] == b"FAT32":
            backups.append(int.from_bytes(sector[50:52], "little") * size)
        for c in (c for c in cases if c["volume"] == name):
            what = "line %d" % c["line"]
            saved = []
            with open(image, "r+b") as f:
                for at in backups:
                    f.seek(at)
                    saved.append((at, f.read(512)))
                    for offset, width, value in c["patches"]:
                        f.seek(at + offset)
                        f.write(value.to_bytes(width, "little"))
            table.check(what + ": findings", "kel_sector_tool check", c["findings"],
                        check_findings(tool, image, names))
            if c["tool"]:
                _, out = run([c["tool"], "-n", image], check=False)
                table.check(what + ": objects", c["tool"], c["text"],
                            c["text"] if c["text"] in out else out.strip()[-300:])
            with open(image, "r+b") as f:
                for at, data in saved:
                    f.seek(at)
                    f.write(data)
        os.remove(image)
