#!/usr/bin/env python3
"""Boots the template's boot program in a real PC BIOS (QEMU's SeaBIOS).

The sector of a create command is put at the start of a 1.44 MB floppy image and
booted with qemu-system-i386 (no display, no network, QMP monitor on a socket,
SeaBIOS's debug port logged to a file). The test proves, by reading the text screen
at 0xB8000 and the debug log:
  1. the whole boot message is printed, exactly, on its own rows;
  2. then nothing more happens until a key is pressed: the screen stays the same
     for a few seconds, the CPU sits halted inside the BIOS (segment F000, not in
     the boot program), and the BIOS bootstrap (INT 19h) has run only once;
  3. a key press makes the boot program call INT 19h: the debug log shows it
     entered a second time, the floppy is booted again and the message appears a
     second time.
Every wait polls against a deadline; QEMU is always stopped.

usage: boot_qemu_test.py --tool kel_sector_tool --work DIR --kind fat12|floppy
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time

from oracle_lib import Table, run

FLOPPY_BYTES = 1474560
SCREEN = 0xB8000
COLUMNS, ROWS = 80, 25
TEST_DEADLINE = 90       # seconds for the whole test, QEMU start included
BOOT_DEADLINE = 40       # seconds for the first message
STABLE_SECONDS = 3.0     # the screen must not change for this long before the key
POLL = 0.2
HANDLE_19 = "enter handle_19:"


def teletype_rows(message):
    """The rows that BIOS teletype output of message gives from column 0: CR goes
    to column 0, LF one row down, a character at column 79 wraps."""
    rows = [[]]
    row, col = 0, 0
    for ch in message:
        if ch == "\r":
            col = 0
        elif ch == "\n":
            row += 1
        else:
            while len(rows) <= row:
                rows.append([])
            line = rows[row]
            line.extend(" " * (col + 1 - len(line)))
            line[col] = ch
            col += 1
            if col == COLUMNS:
                col, row = 0, row + 1
    texts = ["".join(r).rstrip() for r in rows]
    while texts and texts[-1] == "":
        texts.pop()
    return texts


class Qmp:
    """A minimal QMP client: one command at a time, events skipped, every read
    bounded by the socket timeout."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.settimeout(10)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise SystemExit("QMP socket never came up: " + path)
                time.sleep(POLL)
        self.reader = self.sock.makefile("r")
        self._line()  # greeting
        self.command("qmp_capabilities")

    def _line(self):
        line = self.reader.readline()
        if not line:
            raise SystemExit("QEMU closed its monitor")
        return json.loads(line)

    def command(self, name, **arguments):
        msg = {"execute": name}
        if arguments:
            msg["arguments"] = arguments
        self.sock.sendall((json.dumps(msg) + "\n").encode())
        while True:
            reply = self._line()
            if "error" in reply:
                raise SystemExit("QMP %s failed: %s" % (name, reply["error"]))
            if "return" in reply:
                return reply["return"]

    def hmp(self, line):
        return self.command("human-monitor-command", **{"command-line": line})

    def close(self):
        self.sock.close()


class Machine:
    def __init__(self, image, work, sockdir):
        self.work = work
        self.debug_log = os.path.join(work, "seabios-debug.log")
        self.screen_file = os.path.join(work, "screen.bin")
        self.qmp_path = os.path.join(sockdir, "qmp.sock")
        cmd = ["qemu-system-i386", "-nodefaults", "-machine", "pc", "-accel", "tcg",
               "-m", "16", "-vga", "std", "-display", "none", "-nic", "none",
               "-no-reboot",
               "-drive", "if=floppy,format=raw,snapshot=on,file=" + image, "-boot", "a",
               "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
               "-chardev", "file,id=dbg,path=" + self.debug_log,
               "-device", "isa-debugcon,iobase=0x402,chardev=dbg"]
        self.log = open(os.path.join(work, "qemu.log"), "wb")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        self.qmp = None

    def connect(self):
        self.qmp = Qmp(self.qmp_path, time.monotonic() + 15)

    def alive(self):
        return self.proc.poll() is None

    def screen_rows(self):
        if os.path.exists(self.screen_file):
            os.remove(self.screen_file)
        self.qmp.command("pmemsave", val=SCREEN, size=COLUMNS * ROWS * 2,
                         filename=self.screen_file)
        with open(self.screen_file, "rb") as f:
            cells = f.read()
        return [cells[r * COLUMNS * 2:(r + 1) * COLUMNS * 2:2].decode("latin-1").rstrip()
                for r in range(ROWS)]

    def handle_19_count(self):
        with open(self.debug_log, "r", encoding="latin-1") as f:
            return f.read().count(HANDLE_19)

    def registers(self):
        """(halted, CS selector) of the CPU, from the monitor's register dump."""
        text = self.qmp.hmp("info registers")
        halted = "HLT=1" in text
        cs = text.split("CS =", 1)[1].split()[0] if "CS =" in text else "?"
        return halted, cs

    def stop(self):
        try:
            if self.qmp is not None and self.alive():
                self.qmp.command("quit")
        except (OSError, SystemExit, ValueError):
            pass
        finally:
            if self.qmp is not None:
                self.qmp.close()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
            self.log.close()


def count_blocks(rows, block):
    """How many times the rows of block appear, consecutively and exactly, on screen."""
    n = 0
    for i in range(len(rows) - len(block) + 1):
        if rows[i:i + len(block)] == block:
            n += 1
    return n


def wait_for(machine, deadline, what, predicate):
    """Polls the screen until predicate(rows) holds; returns the rows, or None."""
    while time.monotonic() < deadline:
        if not machine.alive():
            return None
        rows = machine.screen_rows()
        if predicate(rows):
            return rows
        time.sleep(POLL)
    print("  gave up waiting for " + what)
    return None


def show(rows):
    return "\n".join("    |" + r for r in rows if r) or "    (empty screen)"


def boot_test(table, machine, block):
    start = time.monotonic()
    test_end = start + TEST_DEADLINE

    # 1. The whole message, on its own rows.
    rows = wait_for(machine, min(test_end, start + BOOT_DEADLINE), "the boot message",
                    lambda r: count_blocks(r, block) >= 1)
    if rows is None:
        table.fail("boot message on screen",
                   "not shown; screen:\n" + show(machine.screen_rows() if machine.alive() else []))
        return
    table.check("boot message copies on screen", "VGA text", 1, count_blocks(rows, block))
    print("  message shown after %.1f s" % (time.monotonic() - start))

    # 2. Nothing more until a key: screen stable, CPU halted in the BIOS, INT 19h once.
    time.sleep(POLL)
    reference = machine.screen_rows()
    changed = None
    cpu_samples = []
    stable_end = time.monotonic() + STABLE_SECONDS
    while time.monotonic() < stable_end and time.monotonic() < test_end:
        time.sleep(POLL * 2)
        rows = machine.screen_rows()
        if rows != reference and changed is None:
            changed = rows
        halted, cs = machine.registers()
        cpu_samples.append((halted, cs.lower()))
    table.check("screen unchanged while waiting for a key", "VGA text", show(reference),
                show(changed) if changed is not None else show(reference))
    # The boot program runs in segment 0000; the BIOS keyboard wait in F000.
    table.check("CPU samples inside the boot program while waiting", "info registers", [],
                [s for s in cpu_samples if s[1] == "0000"])
    table.check("CPU seen halted in the BIOS while waiting", "info registers", True,
                (True, "f000") in cpu_samples)
    table.check("INT 19h entries before the key", "SeaBIOS debug log", 1,
                machine.handle_19_count())

    # 3. A key press restarts the BIOS boot sequence and the message comes again.
    machine.qmp.command("send-key", keys=[{"type": "qcode", "data": "ret"}])
    rows = wait_for(machine, test_end, "the second boot message",
                    lambda r: machine.handle_19_count() >= 2 and count_blocks(r, block) >= 2)
    table.check("INT 19h entries after the key", "SeaBIOS debug log", 2,
                machine.handle_19_count() if machine.alive() else "QEMU ended")
    table.check("boot message copies after the key", "VGA text", 2,
                count_blocks(rows, block) if rows is not None else 0)
    if rows is None and machine.alive():
        print("  screen after the key:\n" + show(machine.screen_rows()))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--kind", required=True, choices=["fat12", "floppy"])
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)

    names = {"fat12": "New FAT12", "floppy": "1.44 MB floppy preset"}
    table = Table("Boot program of the %s sector in SeaBIOS" % names[args.kind])
    table.case(1, names[args.kind] + " booted from a 1.44 MB floppy")

    image = os.path.join(args.work, "floppy.img")
    run([args.tool, "create", args.kind, image])
    with open(image, "r+b") as f:
        f.truncate(FLOPPY_BYTES)
    _, message = run([args.tool, "message"])
    block = teletype_rows(message)
    print("  expecting on screen:\n" + show(block))

    sockdir = tempfile.mkdtemp(prefix="kel-qemu-")  # short: socket paths are limited
    machine = None
    try:
        machine = Machine(image, args.work, sockdir)
        machine.connect()
        boot_test(table, machine, block)
    finally:
        if machine is not None:
            machine.stop()
        shutil.rmtree(sockdir, ignore_errors=True)
    table.finish()


if __name__ == "__main__":
    main()
