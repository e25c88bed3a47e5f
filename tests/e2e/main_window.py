"""The main window under Wine: every create command and the 1.44 MB preset
show what the boot sector layout says they hold; Enter, Esc and commands with
a notification code do nothing; Exit and the close box end the program with
exit code 0. A screenshot is saved after each kind's display."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2ecommon as e  # noqa: E402
import wineenv  # noqa: E402

ZERO_BOXES = {box: "0" for box in e.NUMBER_BOXES}

# Case table: command, what the form then shows. A FAT32 display shows the
# size from BPB_TotSec32 in MB, like the other kinds with a 32-bit total.
CASES = [
    ("1 new FAT12", e.MENU_NEW_FAT12, "fat12.png",
     {**ZERO_BOXES, 1036: "512", 1045: "2"}, "1.44M+ FD", "FAT12", "0.00 MB", e.FAT_LABELS),
    ("2 new FAT16", e.MENU_NEW_FAT16, "fat16.png",
     {**ZERO_BOXES, 1036: "512", 1045: "2"}, "Hard Disk", "FAT16", "0.00 MB", e.FAT_LABELS),
    ("3 new FAT32", e.MENU_NEW_FAT32, "fat32.png",
     {**ZERO_BOXES, 1036: "512", 1045: "2"}, "Hard Disk", "FAT32", "0.00 MB", e.FAT32_LABELS),
    ("4 new NTFS", e.MENU_NEW_NTFS, "ntfs.png",
     {**ZERO_BOXES, 1036: "512"}, "Hard Disk", "NTFS", "0.00 MB", e.NTFS_LABELS),
    ("5 1.44 MB preset", e.MENU_FLOPPY, "floppy.png",
     {1036: "512", 1037: "1", 1038: "1", 1040: "18", 1041: "2", 1042: "2880", 1043: "0",
      1044: "9", 1045: "2", 1046: "0", 1047: "224", 1062: "0", 1064: "0"},
     "1.44M+ FD", "FAT12", "1440.00 KB", e.FAT_LABELS),
]


def compare_form(results, case, form, boxes, media, kind, size, labels):
    for box, expected in boxes.items():
        results.check("%s: box %d" % (case, box), expected, form[box])
    results.check("%s: media list" % case, media, form["media"])
    results.check("%s: media items" % case, e.MEDIA_ITEMS, form["items"])
    results.check("%s: kind text" % case, kind, form["kind"])
    results.check("%s: size text" % case, size, form["size"])
    for label, text in labels.items():
        results.check("%s: label %d" % (case, label), text, form[label])
    for label, text in e.FIXED_LABELS.items():
        results.check("%s: fixed label %d" % (case, label), text, form[label])


def main():
    args = e.arguments(__doc__)
    results = e.Results("main window")
    template = wineenv.template_prefix(args.template_root)
    with wineenv.Session(e.work_folder(args, "main_window"), template, args.bin,
                         version=e.windows_version()) as session:
        driver = session.driver
        program = session.start()
        dialog = driver.wait_main(120000)
        results.check("0 title", e.MAIN_TITLE, driver.title(dialog))

        # Right after start the form is empty.
        form = e.read_form(driver, dialog)
        results.check("0 empty boxes", {b: "" for b in e.NUMBER_BOXES}, {b: form[b] for b in e.NUMBER_BOXES})
        results.check("0 empty media list", ([], None), (form["items"], form["media"]))
        results.check("0 empty kind and size", ("", ""), (form["kind"], form["size"]))
        results.check("0 template labels", e.FAT_LABELS, {k: form[k] for k in e.FAT_LABELS})

        for case, command, shot, boxes, media, kind, size, labels in CASES:
            # Each display changes the kind text or a label, so wait for it.
            driver.menu(dialog, command)
            e.wait_for(lambda: driver.get(dialog, e.KIND_BOX) == kind
                       and driver.get(dialog, 1057) == labels[1057]
                       and driver.get(dialog, 1042) == boxes[1042], 60)
            form = e.read_form(driver, dialog)
            compare_form(results, case, form, boxes, media, kind, size, labels)
            results.note("screenshot %s" % session.screenshot(shot))

        # Enter, Esc and the commands they send do nothing; neither does a
        # menu command that carries a notification code.
        before = e.read_form(driver, dialog)
        driver.set(dialog, 1046, "77")
        driver.call("key", dialog, e.VK_RETURN)
        driver.call("key", dialog, e.VK_ESCAPE)
        driver.call("command", dialog, 1, 0)
        driver.call("command", dialog, 2, 0)
        driver.call("command", dialog, e.MENU_NEW_NTFS, 1)
        driver.call("command", dialog, e.MENU_EXIT, 1)
        driver.call("sleep", 3000)
        after = e.read_form(driver, dialog)
        results.check("6 Enter/Esc/notifications: program runs", None, session.wait_exit(program, 1))
        results.check("6 Enter/Esc/notifications: main window stays", True,
                      driver.call("title", dialog, check=False) is not None)
        before[1046] = "77"
        results.check("6 Enter/Esc/notifications: form unchanged", before, after)

        # Exit ends the program with exit code 0.
        driver.menu(dialog, e.MENU_EXIT)
        results.check("7 Exit: exit code", 0, session.wait_exit(program, 300))

        # So does the close box.
        program = session.start()
        dialog = driver.wait_main(120000)
        driver.call("close", dialog)
        results.check("8 close box: exit code", 0, session.wait_exit(program, 300))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
