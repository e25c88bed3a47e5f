"""Failure paths of the disk and file commands under Wine (NT family): a read
that fails or comes up short, a write to a drive that cannot be opened for
writing or that refuses the write itself, an import of a short file, a
directory or a path too long for the file dialog, an export into a folder that
cannot take the file. In every case nothing loads (the form and the record
stay as they were) and no image file changes. A failed command shows exactly
one error box, owned by the main window, that names the drive or the file
(and, for a short file, its size); a command that the file dialog never let
through shows none.

The picker lists only drives whose probe reads a whole sector, so most failing
drives are reached the way a medium is swapped under a user: drive X: holds a
good image while the picker lists it, and its device link is turned to the
failing target before OK is pressed.

Drive W: is /dev/full: it reads as 512 zero bytes (so it is listed, its undo
file is saved and the question comes), and refuses every write.

The record is seen through Write to disk onto a scratch drive S: (the same
capture as Export, without a file dialog), its question answered Yes: the
capture leaves a record that was just displayed as it is."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2ecommon as e  # noqa: E402
import files  # noqa: E402
import wineenv  # noqa: E402
from disks import pick  # noqa: E402

PATH_BUFFER = 256  # characters of the program's path buffer, the terminator included
HANG_ATTEMPTS = 3  # runs of a step that the emulation hang cuts short


def chattr(flag, path):
    """Sets or clears the immutable attribute: a file or folder that even root
    cannot open for writing (a mode of 0444 does not stop root)."""
    result = subprocess.run(["chattr", flag, path], capture_output=True, timeout=30)
    return result.returncode == 0


def contents(paths):
    """The bytes of every file named, or None for one that is not there."""
    out = {}
    for path in paths:
        out[path] = open(path, "rb").read() if os.path.isfile(path) else None
    return out


class Scenario:
    """The program under test, the files it must not change, and a table of
    the cases run so far."""

    def __init__(self, session, results, f, listed):
        self.session = session
        self.results = results
        self.f = f
        self.listed = listed
        self.watched = [f["good"], f["swap"], f["readonly"], f["empty.img"], f["short.img"],
                        f["big"], f["path256"]]
        self.rows = []
        self.started = time.monotonic()
        self.program = None
        self.start()

    @property
    def driver(self):
        return self.session.driver

    def log(self, text):
        print("%6.1f s  %s" % (time.monotonic() - self.started, text), flush=True)

    def start(self):
        """Starts the program and loads drive A:, the sector every case starts from."""
        self.program = self.session.start()
        self.dialog = self.driver.wait_main(120000)
        self.log("read A:")
        self.driver.menu(self.dialog, e.MENU_READ_DISK)
        pick(self.driver, self.results, "1 picker", "A", self.listed)
        self.results.check("1 read A: loads", True,
                           e.wait_text(self.driver, self.dialog, 1042, "2880", 30))
        self.last_record = self.record()
        self.results.check("1 read A: record is sector 0", e.sector0(self.f["good"]).hex(),
                           self.last_record.hex())

    def restart(self, error):
        """After an emulation hang (see run_scenario): a new driver and program."""
        self.log("no answer (%s): the program is started again" % error)
        self.session.screenshot("hang-%d.png" % len(self.rows))
        self.session.stop(self.program)
        self.session.restart_driver()
        self.session.map_drive("x", self.f["swap"])
        self.start()

    def file_dialog(self, command, path, patience_ms=30000):
        """Chooses a menu command and types PATH into its file dialog. A dialog
        that refuses the name stays open: it is then cancelled, as a user would."""
        self.driver.menu(self.dialog, command)
        answer = self.driver.call("file-dialog", self.dialog, path, patience_ms,
                                  timeout_s=patience_ms / 1000 + 15, check=False)
        if answer is None and self.driver.call("file-cancel", self.dialog, 10000, timeout_s=40,
                                               check=False) is None:
            # Neither closed nor cancelled: the emulation hang (see run_scenario).
            raise TimeoutError("file dialog neither closed nor cancelled")
        return answer is not None

    def through_picker(self, command, letter, swap_to=None):
        """Chooses a drive in the picker; with swap_to, drive X:'s medium is
        swapped for it after the picker has listed the drive."""
        self.driver.menu(self.dialog, command)
        picker = self.driver.wait_dialog(e.PICKER_TITLE, 60000)
        if swap_to:
            self.session.map_drive("x", swap_to)
        self.driver.choose(picker, e.PICKER_LIST, self.listed.index("Disk %s:" % letter))
        self.driver.call("click", picker, 1)
        self.driver.wait_gone(picker, 60000)
        # The program answers a message only once the command is done or
        # waits on a message box: the first read has met the swapped medium.
        self.driver.get(self.dialog, e.KIND_BOX)
        if swap_to:
            self.session.map_drive("x", self.f["swap"])

    def record(self):
        """Writes the record to the scratch drive, whose sector 0 is cleared
        first, and returns what arrived there."""
        scratch = self.f["scratch"]
        with open(scratch, "r+b") as image:
            image.write(bytes(512))
        self.through_picker(e.MENU_WRITE_DISK, "S")
        e.check_box(self.results, "record: question", self.driver.message(self.dialog, 30000, e.IDYES),
                    True, "S:")
        e.wait_for(lambda: e.sector0(scratch) != bytes(512), 20)
        return e.sector0(scratch)

    def other_windows(self):
        """Visible dialogs besides the main window: a message box, or a picker
        or file dialog left open."""
        return [w[5] for w in self.driver.call("windows")
                if w[4] == "#32770" and w[1] != self.dialog]

    def case(self, name, action, names=None, question=None, shot=None):
        """Runs one failing command (a method of this class and its arguments).
        names: what its one error box must name (None: no box may come);
        question: what the question before a write names, answered Yes;
        shot: a screenshot of the error box under this name. Checks that the
        form, the record, the watched files and the screen are as they were."""
        self.retrying(lambda: self.run_case(name, action, names, question, shot))

    def retrying(self, step):
        """Runs step; one cut short by an emulation hang is run again with a
        new program, up to twice (the hang strikes a file dialog now and
        then, at random, and at times twice in a row)."""
        for attempt in range(1, HANG_ATTEMPTS + 1):
            try:
                return step()
            except TimeoutError as error:
                if attempt == HANG_ATTEMPTS:
                    raise
                self.restart(error)

    def run_case(self, name, action, names, question, shot):
        self.log(name)
        form_before = e.read_form(self.driver, self.dialog)
        files_before = contents(self.watched)
        action[0](*action[1:])
        boxes = True
        if question:
            boxes = e.check_box(self.results, "%s: question" % name,
                                self.driver.message(self.dialog, 30000, e.IDYES), True, *question)
        if names is None:
            # A box would come at once; give it a few seconds under emulation.
            boxes = self.results.check("%s: no message box" % name, None,
                                       self.driver.message(self.dialog, 3000))
        elif boxes:
            box = self.driver.message(self.dialog, 30000)
            if box and shot:
                self.results.note("screenshot %s" % self.session.screenshot(shot))
            if box:
                self.results.note("box: %s" % box["text"].replace("\n", " / "))
            boxes = e.check_box(self.results, "%s: error box" % name, box, False, *names)
            if box:
                self.driver.call("click", box["hwnd"], e.IDOK)
                boxes = self.results.check("%s: error box closes" % name, True,
                                           self.driver.wait_gone(box["hwnd"], 30000)) and boxes
        self.driver.call("sleep", 500)
        form_after = e.read_form(self.driver, self.dialog)
        windows = self.other_windows()
        files_after = contents(self.watched)
        record = self.record()
        check = self.results.check
        flags = [
            check("%s: form unchanged" % name, form_before, form_after),
            boxes and check("%s: no other window" % name, [], windows),
            check("%s: files unchanged" % name,
                  [], [p for p in self.watched if files_after[p] != files_before[p]]),
            check("%s: record unchanged" % name, self.last_record.hex(), record.hex()),
        ]
        self.last_record = record
        self.rows.append((name, flags))

    def table(self):
        print("%-46s %-6s %-6s %-6s %-6s" % ("case", "form", "boxes", "files", "record"))
        for name, flags in self.rows:
            print("%-46s %s" % (name, " ".join("%-6s" % ("ok" if f else "FAIL") for f in flags)))


def make_files(work):
    """The images behind the drive letters and the files offered to the
    dialogs; returns them by name."""
    f = {"work": work}
    f["good"] = e.make_fat(os.path.join(work, "good.img"), 12, 1440)
    f["scratch"] = e.make_fat(os.path.join(work, "scratch.img"), 12, 360)
    f["swap"] = e.make_fat(os.path.join(work, "swap.img"), 12, 720)
    f["readonly"] = os.path.join(work, "readonly.img")
    f["locked"] = os.path.join(work, "locked")
    for path in (f["readonly"], f["locked"]):
        if os.path.exists(path):
            chattr("-i", path)
    e.make_fat(f["readonly"], 12, 1440, "-h", "5")
    f["other"] = e.sector0(f["readonly"])  # hidden sectors 5: tells a load apart
    f["missing"] = os.path.join(work, "missing.img")
    if os.path.exists(f["missing"]):
        os.remove(f["missing"])
    for name, size, fill in (("empty.img", 0, b""), ("short.img", 100, b"\x5a"),
                             ("empty.bin", 0, b""), ("short300.bin", 300, b"\xa5")):
        with open(os.path.join(work, name), "wb") as out:
            out.write(fill * size)
        f[name] = os.path.join(work, name)
    f["big"] = os.path.join(work, "big.bin")
    with open(f["big"], "wb") as out:
        out.write(f["other"] + b"\x33" * (1048576 - 512))
    f["folder"] = os.path.join(work, "folder")
    os.makedirs(f["folder"], exist_ok=True)
    os.makedirs(f["locked"], exist_ok=True)
    # 255 characters and the terminator fill the path buffer exactly; one more
    # no longer fits, and the dialog gives no file.
    long_dir = os.path.join(work, "long")
    os.makedirs(long_dir, exist_ok=True)
    base = len(files.dos_path(long_dir)) + 1
    f["path255"] = os.path.join(long_dir, "n" * (PATH_BUFFER - 1 - base))
    f["path256"] = os.path.join(long_dir, "m" * (PATH_BUFFER - base))
    for path in (f["path255"], f["path256"]):
        with open(path, "wb") as out:
            out.write(f["other"])
    return f


def run_cases(session, results, f, can_lock):
    # The picker lists the good drives and the one without a medium (NT lists
    # a drive that is not ready); the missing, empty and short images and the
    # read-only one fail the probe, which opens for reading and writing.
    listed = ["Disk A:", "Disk J:", "Disk S:", "Disk W:", "Disk X:"] if can_lock else \
        ["Disk A:", "Disk J:", "Disk K:", "Disk S:", "Disk W:", "Disk X:"]
    s = Scenario(session, results, f, listed)
    read, write, picker = e.MENU_READ_DISK, e.MENU_WRITE_DISK, s.through_picker
    # A write reads the drive first (for its undo file): a drive that cannot
    # be read or opened stops the write there, before any question.
    s.case("2 read: drive not ready (J:)", (picker, read, "J"), ["無法讀取磁碟 J:"],
           shot="error-read.png")
    s.case("3 read: image gone (X:)", (picker, read, "X", f["missing"]), ["磁碟 X:"])
    s.case("4 read: empty image (X:)", (picker, read, "X", f["empty.img"]),
           ["無法讀取磁碟 X:", "只傳送了 0 個位元組"])
    s.case("5 read: 100-byte image (X:)", (picker, read, "X", f["short.img"]),
           ["無法讀取磁碟 X:", "只傳送了 100 個位元組"])
    undo_before = session.undo_files()
    s.case("6 write: image gone (X:)", (picker, write, "X", f["missing"]), ["磁碟 X:"])
    results.check("6 write: no file made", False, os.path.exists(f["missing"]))
    if can_lock:
        s.case("7 write: read-only image (X:)", (picker, write, "X", f["readonly"]),
               ["磁碟 X:"])
    else:
        results.note("7 skipped: chattr +i is refused here, and root writes a 0444 file")
    s.case("8 write: drive not ready (J:)", (picker, write, "J"), ["無法讀取磁碟 J:"])
    results.check("6-8 writes: no undo file for X: or J:", [],
                  sorted(os.path.basename(p) for p in session.undo_files() - undo_before
                         if os.path.basename(p)[0] in "XJ"))
    s.case("8b write: the write refused (W:)", (picker, write, "W"), ["無法寫入磁碟 W:"],
           question=["W:"], shot="error-write.png")
    undo_w = [p for p in session.undo_files() - undo_before if os.path.basename(p)[0] == "W"]
    results.check("8b write: undo file of W: holds its zeros", [bytes(512)],
                  [open(p, "rb").read() for p in undo_w])

    def dialog(command, path, patience_ms=30000):
        return (s.file_dialog, command, files.dos_path(path), patience_ms)

    # The file dialog opens a folder whose name is typed instead of closing,
    # so the program never sees it: 10 s is enough to see the dialog stay.
    folder_patience_ms = 10000
    s.case("9 import: empty file", dialog(e.MENU_IMPORT, f["empty.bin"]),
           ["無法匯入檔案 " + files.dos_path(f["empty.bin"]), "只有 0 個位元組"])
    s.case("10 import: 300-byte file", dialog(e.MENU_IMPORT, f["short300.bin"]),
           ["無法匯入檔案 " + files.dos_path(f["short300.bin"]), "只有 300 個位元組"],
           shot="error-import300.png")
    s.case("11 import: a folder", dialog(e.MENU_IMPORT, f["folder"], folder_patience_ms))
    # A path longer than the program's buffer makes the dialog fail, which
    # the program reports (a cancel would say nothing).
    s.case("12 import: 256-character path", dialog(e.MENU_IMPORT, f["path256"]),
           ["檔案對話方塊無法完成", "255"])
    nowhere = os.path.join(f["work"], "nowhere", "x.bin")
    s.case("13 export: into a missing folder", dialog(e.MENU_EXPORT, nowhere),
           ["無法匯出到檔案 " + files.dos_path(nowhere)])
    results.check("13 export: nothing made", False, os.path.exists(os.path.dirname(nowhere)))
    s.case("14 export: onto a folder", dialog(e.MENU_EXPORT, f["folder"], folder_patience_ms))
    results.check("14 export: still a folder", True, os.path.isdir(f["folder"]))
    if can_lock:
        target = os.path.join(f["locked"], "x.bin")
        s.case("15 export: into a read-only folder", dialog(e.MENU_EXPORT, target),
               ["無法匯出到檔案 " + files.dos_path(target)])
        results.check("15 export: nothing made", [], os.listdir(f["locked"]))

    # The commands that should load do load, so the cases above did not pass
    # merely because nothing ever loads.
    def import_big():
        s.log("16 import: 1 MB file")
        s.file_dialog(e.MENU_IMPORT, files.dos_path(f["big"]))
        results.check("16 import 1 MB: loads", True,
                      e.wait_text(s.driver, s.dialog, 1046, "5", 30))
        results.check("16 import 1 MB: record is its first sector", f["other"].hex(),
                      s.record().hex())

    def import_long_path():
        s.log("17 import: 255-character path")
        s.driver.menu(s.dialog, e.MENU_FLOPPY)
        e.wait_text(s.driver, s.dialog, 1046, "0", 30)
        s.file_dialog(e.MENU_IMPORT, files.dos_path(f["path255"]))
        results.check("17 import 255-character path: loads", True,
                      e.wait_text(s.driver, s.dialog, 1046, "5", 30))

    s.retrying(import_big)
    s.retrying(import_long_path)
    s.table()
    s.driver.menu(s.dialog, e.MENU_EXIT)
    results.check("18 exit code", 0, session.wait_exit(s.program, 120))


def main():
    args, work, template = e.prepare(__doc__, "failures")

    def attempt(results):
        f = make_files(work)
        can_lock = chattr("+i", f["readonly"]) and chattr("+i", f["locked"])
        # G: has no root folder: with its image missing, a probe of it would
        # read a folder, which the file dialog's thread makes risky here
        # (see give_devices_to_c_and_z). X: reads a folder only before that.
        drives = {"a": f["good"], "g": (f["missing"], False), "h": f["empty.img"],
                  "i": f["short.img"], "j": "not-ready", "k": f["readonly"], "s": f["scratch"],
                  "w": "/dev/full", "x": f["swap"]}
        try:
            with wineenv.Session(os.path.join(work, "session"), template, args.bin,
                                 drives=drives, timeout_s=45) as session:
                e.give_devices_to_c_and_z(session, work)
                with e.screenshot_on_failure(session):
                    run_cases(session, results, f, can_lock)
        finally:
            chattr("-i", f["readonly"])
            chattr("-i", f["locked"])

    return e.run_scenario("failure paths", attempt)


if __name__ == "__main__":
    sys.exit(main())
