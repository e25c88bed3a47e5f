"""A thousand commands in a row under Wine: reads from and writes to drive A:,
imports, exports, picker cancels and create commands. The program's handle
count and memory after the last command must be where they were after the
first ten, and drive A:'s image must be unchanged (every write, its question
answered Yes, puts back the sector just read). Each write leaves one undo file
holding that sector.

Wine's own file dialog keeps one handle more after each use. So that this is
told apart from the program, baseline_plus.exe (which only opens the same file
dialog) is measured first, and the program is allowed exactly that much per
file dialog. File dialogs are a small share of the commands: under qemu-user,
every one is a small risk of the emulation hang that run_scenario retries.

Each command is confirmed before the next one starts (the form shows its
result, the picker or the file dialog is gone, the exported file is there),
so none is lost in the message queue."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2ecommon as e  # noqa: E402
import files  # noqa: E402
import wineenv  # noqa: E402

COMMANDS = 1000
BASELINE_AFTER = 10
DIALOG_EVERY = 20  # cycles of ten commands; the others open no file dialog
FLOOR_DIALOGS = 6
# Allowed growth beyond the file dialog's own. A handle left open by any one
# kind of command would add 100 or more; a sector buffer lost per command,
# 50 KB or more. Wine's own caches move the figures by a few pages.
HANDLE_SLACK = 2
MEMORY_SLACK = 1024 * 1024
DIALOG_PATIENCE_MS = 30000


def stats(driver, window):
    """Handles, private bytes and working set of the process that owns window."""
    figures = {w[0]: int(w[1]) for w in driver.call("stats", window)}
    return figures["HANDLES"], figures["PRIVATE"], figures["WORKSET"]


def file_dialog(driver, window, command, path):
    """Chooses a file command and the file. A dialog that never shows or never
    closes is taken for the emulation hang (see run_scenario), whose program
    answers nothing more: the run is cut short and made again."""
    driver.menu(window, command)
    if driver.call("file-dialog", window, files.dos_path(path), DIALOG_PATIENCE_MS,
                   timeout_s=DIALOG_PATIENCE_MS / 1000 + 15, check=False) is None:
        raise TimeoutError("file dialog not handled in %d ms" % DIALOG_PATIENCE_MS)


class Run:
    def __init__(self, driver, dialog, exported):
        self.driver = driver
        self.dialog = dialog
        self.exported = exported
        self.done = 0
        self.dialogs = 0
        self.writes = 0
        self.failures = 0

    def confirm(self, what, ok):
        """Counts a command; reports the first few that did not do their part."""
        self.done += 1
        if not ok:
            self.failures += 1
            if self.failures <= 5:
                print("command %d (%s) not confirmed" % (self.done, what), flush=True)

    def shows(self, kind, size):
        return e.wait_for(lambda: self.driver.get(self.dialog, e.KIND_BOX) == kind
                          and self.driver.get(self.dialog, e.SIZE_BOX) == size, 30)

    def create(self, command, kind):
        self.driver.menu(self.dialog, command)
        self.confirm("create %s" % kind, self.shows(kind, "0.00 MB"))

    def picker(self, command, button):
        """Opens the picker and closes it with OK on its first item (A:) or
        with Cancel."""
        self.driver.menu(self.dialog, command)
        picker = self.driver.wait_dialog(e.PICKER_TITLE, 60000, check=False)
        if picker:
            self.driver.call("click", picker, button)
        return picker is not None and self.driver.wait_gone(picker, 60000)

    def read(self):
        ok = self.picker(e.MENU_READ_DISK, 1)
        self.confirm("read A:", ok and self.shows("FAT12", "1440.00 KB"))

    def write(self):
        ok = self.picker(e.MENU_WRITE_DISK, 1)
        question = ok and self.driver.message(self.dialog, 30000, e.IDYES)
        self.writes += 1
        # The program answers a message once the write is done.
        self.confirm("write A:", bool(question) and question["buttons"] == [e.IDYES, e.IDNO]
                     and self.driver.get(self.dialog, e.KIND_BOX) == "FAT12")

    def cancel(self, command):
        self.confirm("picker cancel", self.picker(command, 2))

    def export(self):
        if os.path.exists(self.exported):
            os.remove(self.exported)
        self.dialogs += 1
        file_dialog(self.driver, self.dialog, e.MENU_EXPORT, self.exported)
        self.confirm("export", e.wait_for(
            lambda: os.path.exists(self.exported) and os.path.getsize(self.exported) == 512, 20))

    def import_(self):
        self.dialogs += 1
        file_dialog(self.driver, self.dialog, e.MENU_IMPORT, self.exported)
        self.confirm("import", self.shows("FAT12", "1440.00 KB"))

    def cycle(self, with_dialogs):
        """Ten commands; the first cycle has every kind of command."""
        self.create(e.MENU_NEW_FAT12, "FAT12")
        self.read()
        self.write()
        self.export() if with_dialogs else self.read()
        self.create(e.MENU_NEW_NTFS, "NTFS")
        self.import_() if with_dialogs else self.read()
        self.cancel(e.MENU_READ_DISK)
        self.create(e.MENU_NEW_FAT16, "FAT16")
        self.cancel(e.MENU_WRITE_DISK)
        self.create(e.MENU_NEW_FAT32, "FAT32")


def dialog_cost(session, results, path):
    """Handles that Wine's file dialog keeps per use, from a program that only
    opens it (after two uses, when its first-use caches are made)."""
    driver = session.driver
    process = session.start("baseline_plus.exe")
    window = driver.wait_main(120000)
    figures = []
    for use in range(1, FLOOR_DIALOGS + 1):
        file_dialog(driver, window, e.MENU_IMPORT, path)
        if use in (2, FLOOR_DIALOGS):
            figures.append(stats(driver, window))
    driver.call("close", window)
    results.check("floor: exit code", 0, session.wait_exit(process, 60))
    per_dialog = (figures[1][0] - figures[0][0]) / (FLOOR_DIALOGS - 2)
    print("file dialog alone: %d handles after 2 uses, %d after %d: %.2f per use; private "
          "bytes %d then %d" % (figures[0][0], figures[1][0], FLOOR_DIALOGS, per_dialog,
                                figures[0][1], figures[1][1]), flush=True)
    return per_dialog


def run_commands(session, results, image, exported, per_dialog):
    original = open(image, "rb").read()
    driver = session.driver
    program = session.start()
    dialog = driver.wait_main(120000)
    run = Run(driver, dialog, exported)
    started = time.monotonic()
    print("%9s %8s %8s %12s %12s %8s" % ("commands", "dialogs", "handles", "private",
                                         "working set", "seconds"))
    figures = {}
    cycle = 0
    while run.done < COMMANDS:
        run.cycle(cycle % DIALOG_EVERY == 0)
        cycle += 1
        if run.done == BASELINE_AFTER or run.done % 100 == 0:
            figures[run.done] = (run.dialogs,) + stats(driver, dialog)
            print("%9d %8d %8d %12d %12d %8.0f" % (run.done, *figures[run.done],
                                                   time.monotonic() - started), flush=True)
    results.check("every command confirmed", 0, run.failures)
    base, last = figures[BASELINE_AFTER], figures[run.done]
    allowed = round(per_dialog * (last[0] - base[0])) + HANDLE_SLACK
    results.check("figures available", True, min(base + last) >= 0)
    results.check("handles: %d after %d commands, %d after %d (%d file dialogs between: at "
                  "most %d more)" % (base[1], BASELINE_AFTER, last[1], run.done,
                                     last[0] - base[0], allowed),
                  True, last[1] - base[1] <= allowed)
    results.check("private bytes: %d after %d commands, %d after %d"
                  % (base[2], BASELINE_AFTER, last[2], run.done),
                  True, last[2] - base[2] <= MEMORY_SLACK)
    results.check("drive A: image unchanged", True, open(image, "rb").read() == original)
    undo = [open(path, "rb").read() for path in session.undo_files()]
    results.check("undo files: one per write, each holding sector 0", (run.writes, run.writes),
                  (len(undo), undo.count(original[:512])))
    results.check("exported file is sector 0", original[:512].hex(),
                  open(exported, "rb").read().hex())
    driver.menu(dialog, e.MENU_EXIT)
    results.check("exit code", 0, session.wait_exit(program, 120))


def main():
    args, work, template = e.prepare(__doc__, "leaks")

    def attempt(results):
        image = e.make_fat(os.path.join(work, "a.img"), 12, 1440)
        exported = os.path.join(work, "exported.bin")
        with open(exported, "wb") as f:
            f.write(e.sector0(image))
        with wineenv.Session(os.path.join(work, "session"), template, args.bin,
                             drives={"a": image}, timeout_s=45) as session:
            e.give_devices_to_c_and_z(session, work)
            with e.screenshot_on_failure(session):
                per_dialog = dialog_cost(session, results, exported)
                run_commands(session, results, image, exported, per_dialog)

    return e.run_scenario("1,000 commands", attempt)


if __name__ == "__main__":
    sys.exit(main())
