"""Read from disk and Write to disk on the 9x family's extended path, under
Wine's win98 and winme versions, with real sectors moving.

Wine's own VWIN32 device answers Int 21h function 7305h without moving
anything, so these runs load the test double vwin32.vxd (built beside the
programs, tests/windows/vwin32) in its place. The double carries out the
services on drive letters mapped to images made by mkfs.fat here, and logs
every exchange: the control code, the seven registers as the program sent
them, the packet and the registers handed back. The checks:
  - what the form shows after Read from disk is what minfo reads in the image;
  - Write to disk changes sector 0 of the chosen image as edited, and no other
    byte of any image;
  - start-up opens the device (the double is loaded) and sends nothing;
  - each command sends the exchanges of the call table in its order: the
    picker's probes P1 for drives 1 to 25, then R1 for a read, or for a write
    R1 (the sector kept in the undo file, before the question, answered Yes)
    R1 (the drive still holds it) L1 W1 U1; for FAT32, whose boot sector
    keeps a backup in sector 6, R1 R1b (the backup, compared with sector 0
    before the question) R1 L1 W1 W1b U1, one lock around both writes, and
    the two sectors alike afterwards; with the FAT32 lock refused
    L1 L2 W1 U1; with the FAT32 unlock refused L1 W1 U1 U2; with both locks
    refused L1 L2 W1 U1 U2 (the write still runs; the unlocks fail as nothing
    is locked);
  - every register that an exchange does not set holds what the previous
    exchange handed back;
  - a win95 run through the same double takes the standard path: probes P2,
    then R2, or R2 R2 L2 W2 U2.
Each program run is a copy of kelvashin.exe whose name selects the Windows
version that Wine reports (AppDefaults), so that one prefix, X server and
wineserver serve every run."""

import hashlib
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disks  # noqa: E402
import e2ecommon as e  # noqa: E402
import wineenv  # noqa: E402

DOUBLE = "vwin32.vxd"

# Program copies and the version that each one plays; the first is the one
# that the Session itself sets up.
PROGRAMS = {"kelvashin.exe": "win98", "kelme.exe": "winme", "kel95.exe": "win95"}

FIELDS = ["ebx", "edx", "ecx", "eax", "edi", "esi", "flags"]

DRIVE_COUNT = 25  # the picker probes A: to Y:

# The call table: control code and the registers each row sets. Symbolic
# values: "packet" the packet's address, "buffer" the probe's own buffer,
# "drive" the 1-based drive, "drive-1" the 0-based one, "drive+lock" the drive
# in BL with lock level 1 in BH. A field left out keeps the value of the
# previous exchange. "packet" lists the packet's start sector and count.
ROWS = {
    "R1": dict(code=6, eax=0x7305, ebx="packet", ecx=0xFFFFFFFF, edx="drive", esi=0, packet=(0, 1)),
    "R2": dict(code=2, eax="drive-1", ebx="packet", ecx=0xFFFF, esi=0, packet=(0, 1)),
    "L1": dict(code=1, eax=0x440D, ebx="drive+lock", ecx=0x484A, edx=1, flags=1),
    "L2": dict(code=1, eax=0x440D, ebx="drive+lock", ecx=0x084A, edx=1, flags=1),
    "W1": dict(code=6, eax=0x7305, ebx="packet", ecx=0xFFFFFFFF, edx="drive", esi=0x6001,
               packet=(0, 1)),
    "W2": dict(code=3, eax="drive-1", ebx="packet", ecx=0xFFFF, packet=(0, 1)),
    "U1": dict(code=1, eax=0x440D, ebx="drive", ecx=0x486A, flags=1),
    "U2": dict(code=1, eax=0x440D, ebx="drive", ecx=0x086A, flags=1),
    # The FAT32 backup boot sector, sector 6: the same services on its packet.
    "R1b": dict(code=6, eax=0x7305, ebx="packet", ecx=0xFFFFFFFF, edx="drive", esi=0, packet=(6, 1)),
    "W1b": dict(code=6, eax=0x7305, ebx="packet", ecx=0xFFFFFFFF, edx="drive", esi=0x6001,
                packet=(6, 1)),
    "P1": dict(code=6, eax=0x7305, ebx="packet", ecx=0xFFFFFFFF, edx="drive", esi=0, packet=(1, 1)),
    "P2": dict(code=2, eax="drive-1", ebx="buffer", ecx=1, edx=0, flags=1),
}

LETTERS = {"A": 1, "D": 4, "E": 5}
ITEMS = ["Disk A:", "Disk D:", "Disk E:"]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Session9x(wineenv.Session):
    """A session whose program copies each play their own Windows version."""

    def set_version(self, version):
        # Wine reads the version per program name from AppDefaults; written
        # into user.reg before the wineserver starts, as Session does.
        with open(os.path.join(self.prefix, "user.reg"), "a", encoding="ascii") as reg:
            for exe, played in PROGRAMS.items():
                key = r"Software\\Wine\\AppDefaults\\" + exe
                reg.write('\n[%s] %d\n"Version"="%s"\n' % (key, int(time.time()), played))


def read_log(path):
    """The double's log as a list of events: {"kind": ..., field: int}."""
    events = []
    if not os.path.exists(path):
        return events
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            event = {"kind": words[0]}
            for word in words[1:]:
                name, _, value = word.partition("=")
                event[name] = int(value, 16) if words[0] == "dioc" else value
            events.append(event)
    return events


def describe(event):
    """An exchange as the program sent it, as one comparable text."""
    text = "code=%d " % event["code"] + " ".join("%s=%08x" % (f, event["in." + f]) for f in FIELDS)
    if "packet.start" in event:
        text += " packet=%d,%d" % (event["packet.start"], event["packet.count"])
    return text


class Run:
    """One program run: its log, and the exchanges seen so far."""

    def __init__(self, session, results, name, exe, refuse=""):
        self.session = session
        self.results = results
        self.name = name
        self.log = os.path.join(session.work, "vwin32-%s.log" % "-".join(name.split()))
        if os.path.exists(self.log):
            os.remove(self.log)
        env = {
            "WINEDLLOVERRIDES": session.env["WINEDLLOVERRIDES"] + ";vwin32.vxd=n",
            "KELVASHIN_VWIN32_LOG": windows_path(self.log),
            "KELVASHIN_VWIN32_REFUSE": refuse,
        }
        self.seen = 0  # exchanges already checked
        # Addresses as first seen: "packet", "buffer" (the short-form probe's),
        # and the buffers of "probe", "read" and "write" packets.
        self.addresses = {}
        started = time.monotonic()
        self.process = session.start(exe, extra_env=env)
        self.dialog = session.driver.wait_main(120000)
        results.note("%s: main window after %.1f s" % (name, time.monotonic() - started))
        events = read_log(self.log)
        self.loaded = results.check("%s: start-up loads the device" % name, ["attach"],
                                    [ev["kind"] for ev in events])

    def exchanges(self):
        return [ev for ev in read_log(self.log) if ev["kind"] == "dioc"]

    def expect(self, case, rows):
        """Waits for the exchanges of one command and checks them against
        rows: a list of (row, drive)."""
        wanted = self.seen + len(rows)
        # The disk command has shown its effect already (form or image), so
        # the exchanges that remain follow within moments.
        e.wait_for(lambda: len(self.exchanges()) >= wanted, 30)
        # The command may still be sending: a short pause lets an exchange
        # too many arrive before the count is checked.
        time.sleep(0.5)
        log = self.exchanges()
        got = log[self.seen:self.seen + len(rows)]
        self.results.check("%s: number of exchanges" % case, len(rows), len(log) - self.seen)
        for index, (row, drive) in enumerate(rows):
            label = "%s: exchange %d (%s drive %d)" % (case, index + 1, row, drive)
            if index >= len(got):
                self.results.check(label, row, "nothing")
                continue
            previous = log[self.seen + index - 1] if self.seen + index > 0 else None
            self._check_row(label, row, drive, got[index], previous)
        self.seen += len(got)
        return got

    def _value(self, symbol, drive, event):
        if symbol == "drive":
            return drive
        if symbol == "drive-1":
            return drive - 1
        if symbol == "drive+lock":
            return drive + 0x100
        # An address: the same one every time it is used.
        return self.addresses.setdefault(symbol, event["in.ebx"])

    def _check_row(self, label, row, drive, event, previous):
        wanted = ROWS[row]
        expected = dict(event)
        expected["code"] = wanted["code"]
        for field in FIELDS:
            if field in wanted:
                value = wanted[field]
                expected["in." + field] = value if isinstance(value, int) else self._value(
                    value, drive, event)
            else:
                # Not set by this exchange: what the previous one handed back
                # (the block starts as zeros).
                expected["in." + field] = previous["out." + field] if previous else 0
        if "packet" in wanted:
            expected["packet.start"], expected["packet.count"] = wanted["packet"]
        self.results.check(label, describe(expected), describe(event))
        # Each kind of transfer uses one buffer throughout the run.
        if "packet.buffer" in event:
            kind = {"P1": "probe", "R1": "read", "R1b": "read", "R2": "read"}.get(row, "write")
            self.results.check("%s: the %s buffer" % (label, kind),
                               self.addresses.setdefault(kind, event["packet.buffer"]),
                               event["packet.buffer"])

    def probes(self, extended=True):
        row = "P1" if extended else "P2"
        return [(row, drive) for drive in range(1, DRIVE_COUNT + 1)]

    def finish(self):
        driver = self.session.driver
        driver.menu(self.dialog, e.MENU_EXIT)
        self.results.check("%s: exit code" % self.name, 0,
                           self.session.wait_exit(self.process, 300))
        log = self.exchanges()
        self.results.check("%s: no exchange after the last command" % self.name, self.seen,
                           len(log))
        self.results.check("%s: the device is loaded once" % self.name, 1,
                           sum(ev["kind"] == "attach" for ev in read_log(self.log)))
        # The probes read into a buffer of their own, outside the 1024 bytes
        # of SectorBuffer, which starts with the record (the buffer of writes).
        probe = self.addresses.get("probe", self.addresses.get("buffer"))
        record = self.addresses.get("write")
        if probe is not None and record is not None:
            self.results.check("%s: probe buffer outside SectorBuffer" % self.name, True,
                               probe + 512 <= record or probe >= record + 1024)


def read(run, case, letter, image, extended=True, fat32=False):
    driver = run.session.driver
    form = disks.read_case(driver, run.dialog, run.results, case, letter, ITEMS,
                           disks.expected_fat_form(image, fat32=fat32), run.session)
    rows = run.probes(extended) + [("R1" if extended else "R2", LETTERS[letter])]
    run.expect(case, rows)
    return form


def write(run, case, letter, image, hidden, images, locking, locked=True, backup=None):
    """Edits the hidden-sector count, writes to the drive, and checks the
    image and the exchanges (locking: the rows after the probes); backup: the
    sector that must now hold the new sector 0 too. Returns the question."""
    before = {path: digest(path) for path in images if path != image}
    question = disks.write_case(run.session.driver, run.dialog, run.results, case, letter, ITEMS,
                                image, {1046: str(hidden)},
                                disks.with_fields(e.sector0(image), (28, "<I", hidden)), backup)
    drive = LETTERS[letter]
    extended = locking[0][0] == "L1"
    # Two reads come first: the sector saved in the undo file before the
    # question, and the check, after Yes, that the drive still holds it.
    reads = [("R1" if extended else "R2", drive)] * 2
    if backup is not None:
        reads.insert(1, ("R1b", drive))  # the backup, compared before the question
    got = run.expect(case, run.probes(extended) + reads + [(row, drive) for row, _ in locking])
    for index, (row, refused) in enumerate(locking):
        position = DRIVE_COUNT + len(reads) + index
        if position < len(got):
            event = got[position]
            run.results.check("%s: %s refused by the double" % (case, row), refused,
                              event["refused"] == 1)
            if row in ("W1", "W1b", "W2"):
                run.results.check("%s: %s with the volume locked" % (case, row), locked,
                                  event["locked"] == 1)
                run.results.check("%s: %s moved one sector" % (case, row), 512, event["moved"])
    for path, value in before.items():
        run.results.check("%s: %s unchanged" % (case, os.path.basename(path)), value,
                          digest(path))
    return question


def main():
    args = e.arguments(__doc__)
    results = e.Results("disks (9x family through the VWIN32 double)")
    work = os.path.join(args.work, "disks-9x")
    os.makedirs(work, exist_ok=True)
    bin_dir = os.path.join(work, "bin")
    shutil.rmtree(bin_dir, ignore_errors=True)
    os.makedirs(bin_dir)
    for exe in PROGRAMS:
        shutil.copy(os.path.join(args.bin, "kelvashin.exe"), os.path.join(bin_dir, exe))
    for name in (DOUBLE, "uidriver.exe"):
        shutil.copy(os.path.join(args.bin, name), bin_dir)

    fat12 = e.make_fat(os.path.join(work, "fat12.img"), 12, 1440)
    fat16 = e.make_fat(os.path.join(work, "fat16.img"), 16, 16384, "-h", "0")
    fat32 = e.make_fat(os.path.join(work, "fat32.img"), 32, 40960, "-s", "1")
    images = [fat12, fat16, fat32]
    # G: names a missing image and H: answers as an empty drive: neither is
    # listed on this family; C: (the prefix) has no device behind it either.
    drives = {"a": fat12, "d": fat16, "e": fat32, "g": os.path.join(work, "missing.img"),
              "h": "not-ready"}

    template = wineenv.template_prefix(args.template_root)
    with Session9x(os.path.join(work, "session"), template, bin_dir, version="win98",
                   drives=drives, timeout_s=300) as session:
        # win98: reads of FAT12 and FAT32 volumes, a locked write, and the
        # probes right after the write, which still read (ESI 0).
        run = Run(session, results, "1 win98", "kelvashin.exe")
        if not run.loaded:
            results.note("%s was not loaded: nothing else can be checked" % DOUBLE)
            return results.finish()
        read(run, "1.1 read A:", "A", fat12)
        read(run, "1.2 read E:", "E", fat32, fat32=True)
        question = write(run, "1.3 write E:", "E", fat32, 32, images,
                         [("L1", False), ("W1", False), ("W1b", False), ("U1", False)], backup=6)
        disks.tools_accept_backup(results, "1.3 write E:", fat32, question, 6)
        form = read(run, "1.4 read E: after the write", "E", fat32, fat32=True)
        results.check("1.4 read E: shows the written hidden sectors", "32", form[1046])
        results.check("1.5 fsck.fat accepts E:", 0, disks.fsck(fat32))
        run.finish()

        run = Run(session, results, "2 win98 FAT32 lock refused", "kelvashin.exe", refuse="L1")
        read(run, "2.1 read A:", "A", fat12)
        write(run, "2.2 write A:", "A", fat12, 7, images,
              [("L1", True), ("L2", False), ("W1", False), ("U1", False)])
        results.check("2.3 minfo reads the new hidden sectors of A:", 7, e.minfo(fat12)["hidden"])
        run.finish()

        run = Run(session, results, "3 win98 FAT32 unlock refused", "kelvashin.exe", refuse="U1")
        read(run, "3.1 read D:", "D", fat16)
        write(run, "3.2 write D:", "D", fat16, 63, images,
              [("L1", False), ("W1", False), ("U1", True), ("U2", False)])
        run.finish()

        run = Run(session, results, "4 win98 both locks refused", "kelvashin.exe",
                  refuse="L1,L2")
        read(run, "4.1 read A:", "A", fat12)
        write(run, "4.2 write A:", "A", fat12, 9, images,
              [("L1", True), ("L2", True), ("W1", False), ("U1", False), ("U2", False)],
              locked=False)
        run.finish()

        run = Run(session, results, "5 winme", "kelme.exe")
        read(run, "5.1 read D:", "D", fat16)
        write(run, "5.2 write D:", "D", fat16, 255, images,
              [("L1", False), ("W1", False), ("U1", False)])
        form = read(run, "5.3 read D: after the write", "D", fat16)
        results.check("5.3 read D: shows the written hidden sectors", "255", form[1046])
        results.check("5.4 fsck.fat accepts D:", 0, disks.fsck(fat16))
        run.finish()

        # win95: the standard services through the same double.
        run = Run(session, results, "6 win95", "kel95.exe")
        read(run, "6.1 read A:", "A", fat12, extended=False)
        write(run, "6.2 write A:", "A", fat12, 12, images,
              [("L2", False), ("W2", False), ("U2", False)])
        results.check("6.3 fsck.fat accepts A:", 0, disks.fsck(fat12))
        run.finish()
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
