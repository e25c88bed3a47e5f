"""Import and Export through the real file dialog under Wine: an exported file
holds the record with the form's edits; importing it shows them again, and a
second export gives the same file byte for byte. A volume image imports its
first 512 bytes; a cancelled dialog writes nothing; a short file changes
nothing that the form shows, and one error box names it and its size.

In Wine's default version, an export onto an existing file asks first: No
keeps the file as it was, Yes replaces it, and neither leaves a file of its
own behind in the folder."""

import glob
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2ecommon as e  # noqa: E402
import wineenv  # noqa: E402

EXPORT_TITLE = "匯出檔案?"
IMPORT_TITLE = "匯入檔案?"


def dos_path(path):
    """The Windows name of a file of this machine (Wine's drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def file_command(driver, dialog, results, case, command, path, title):
    driver.menu(dialog, command)
    answer = driver.call("file-dialog", dialog, dos_path(path), 60000, timeout_s=75, check=False)
    results.check("%s: file dialog handled" % case, True, answer is not None)
    if answer:
        results.check("%s: dialog title" % case, title, answer[0][2])


def replace_cases(driver, dialog, results, work, target, old):
    """Exports onto an existing file (target, holding old): the question
    names it; No keeps it, Yes replaces it with the form's record."""
    driver.set(dialog, 1046, "4321")
    for case, answer in (("3a export onto a file, No", e.IDNO),
                         ("3b export onto a file, Yes", e.IDYES)):
        file_command(driver, dialog, results, case, e.MENU_EXPORT, target, EXPORT_TITLE)
        question = driver.message(dialog, 30000, answer)
        e.check_box(results, "%s: question" % case, question, True, dos_path(target), "已經存在")
        driver.get(dialog, e.KIND_BOX)  # answers once the command has ended
        if answer == e.IDNO:
            driver.call("sleep", 1000)
            results.check("%s: file kept" % case, old.hex(), open(target, "rb").read().hex())
        else:
            e.wait_for(lambda: open(target, "rb").read() != old, 30)
            results.check("%s: file replaced" % case, 4321, e.u32(open(target, "rb").read(), 28))
            results.check("%s: only the hidden sectors differ" % case, old[:28] + old[32:],
                          open(target, "rb").read()[:28] + open(target, "rb").read()[32:])
        results.check("%s: no new file left in the folder" % case, [],
                      glob.glob(os.path.join(work, "kel*")))
        results.check("%s: no other window" % case, [], [
            w[5] for w in driver.call("windows") if w[4] == "#32770" and w[1] != dialog])


def main():
    args, work, template = e.prepare(__doc__, "files")
    return e.run_scenario("import and export", lambda results: scenario(args, work, template, results))


def scenario(args, work, template, results):
    first = os.path.join(work, "first.bin")
    second = os.path.join(work, "second.bin")
    cancelled = os.path.join(work, "cancelled.bin")
    short = os.path.join(work, "short.bin")
    for path in (first, second, cancelled):
        if os.path.exists(path):
            os.remove(path)
    with open(short, "wb") as f:
        f.write(b"\x00" * 300)
    fat16 = e.make_fat(os.path.join(work, "fat16.img"), 16, 16384, "-h", "17")

    with wineenv.Session(os.path.join(work, "session"), template, args.bin,
                         version=e.windows_version(), timeout_s=60) as session:
        e.give_devices_to_c_and_z(session, work)
        driver = session.driver
        program = session.start()
        dialog = driver.wait_main(120000)

        # Export the floppy preset with two edits.
        driver.menu(dialog, e.MENU_FLOPPY)
        e.wait_text(driver, dialog, 1042, "2880")
        driver.set(dialog, 1046, "12345")
        driver.set(dialog, 1042, "100000")
        file_command(driver, dialog, results, "1 export", e.MENU_EXPORT, first, EXPORT_TITLE)
        e.wait_for(lambda: os.path.exists(first) and os.path.getsize(first) == 512, 30)
        data = open(first, "rb").read() if os.path.exists(first) else b""
        results.check("1 export: size", 512, len(data))
        if len(data) == 512:
            results.check("1 export: jump and OEM name", b"\xeb\x56\x90Morvane!", data[:11])
            results.check("1 export: hidden sectors", 12345, e.u32(data, 28))
            results.check("1 export: 16-bit total", 0, e.u16(data, 19))
            results.check("1 export: 32-bit total", 100000, e.u32(data, 32))
            results.check("1 export: media", 0xF0, data[21])
            results.check("1 export: FAT12 text", b"FAT12", data[54:59])
            results.check("1 export: signature", b"\x55\xaa", data[510:512])

        # Something else on display, then import the file again.
        driver.menu(dialog, e.MENU_NEW_NTFS)
        e.wait_text(driver, dialog, e.KIND_BOX, "NTFS")
        file_command(driver, dialog, results, "2 import", e.MENU_IMPORT, first, IMPORT_TITLE)
        e.wait_text(driver, dialog, 1042, "100000")
        form = e.read_form(driver, dialog)
        results.check("2 import: kind", "FAT12", form["kind"])
        results.check("2 import: total", "100000", form[1042])
        results.check("2 import: size", "48.83 MB", form["size"])
        results.check("2 import: hidden", "12345", form[1046])
        results.check("2 import: media", "1.44M+ FD", form["media"])

        # Exported again unchanged, the file is the same byte for byte.
        file_command(driver, dialog, results, "3 export again", e.MENU_EXPORT, second, EXPORT_TITLE)
        e.wait_for(lambda: os.path.exists(second) and os.path.getsize(second) == 512, 30)
        results.check("3 export again: same bytes", data.hex(),
                      open(second, "rb").read().hex() if os.path.exists(second) else "")

        if not e.windows_version() and os.path.exists(second):
            replace_cases(driver, dialog, results, work, second, data)

        # A whole volume image: its first 512 bytes are the record.
        file_command(driver, dialog, results, "4 import volume", e.MENU_IMPORT, fat16, IMPORT_TITLE)
        e.wait_text(driver, dialog, 1046, "17")
        info = e.minfo(fat16)
        form = e.read_form(driver, dialog)
        results.check("4 import volume: kind", "FAT16", form["kind"])
        results.check("4 import volume: total", str(info["small_size"]), form[1042])
        results.check("4 import volume: sectors per FAT", str(info["sectors_per_fat"]), form[1044])
        results.check("4 import volume: root entries", str(info["root_entries"]), form[1047])
        results.check("4 import volume: serial", str(info["serial"]), form[1043])

        # A cancelled export writes nothing.
        driver.menu(dialog, e.MENU_EXPORT)
        answer = driver.call("file-cancel", dialog, 60000, timeout_s=75, check=False)
        results.check("5 cancelled export: dialog handled", True, answer is not None)
        driver.call("sleep", 2000)
        results.check("5 cancelled export: no file", False, os.path.exists(cancelled))

        # A 300-byte file shows nothing new, and says why.
        before = e.read_form(driver, dialog)
        file_command(driver, dialog, results, "6 short import", e.MENU_IMPORT, short, IMPORT_TITLE)
        box = driver.message(dialog, 30000, e.IDOK)
        e.check_box(results, "6 short import: error box", box, False,
                    "無法匯入檔案 " + dos_path(short), "只有 300 個位元組")
        driver.call("sleep", 1000)
        results.check("6 short import: form unchanged", before, e.read_form(driver, dialog))
        results.check("6 short import: no other window", [], [
            w[5] for w in driver.call("windows") if w[4] == "#32770" and w[1] != dialog])

        driver.menu(dialog, e.MENU_EXIT)
        results.check("7 exit code", 0, session.wait_exit(program, 300))


if __name__ == "__main__":
    sys.exit(main())
