"""Shared pieces of the end-to-end scenarios: arguments, the result table,
volume images made by mkfs.fat/mkntfs, and readings of the independent tools."""

import argparse
import contextlib
import os
import re
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineenv  # noqa: E402

# Identifiers of the main dialog, its menu and the other windows.
MENU_EXIT = 40001
MENU_READ_DISK = 40005
MENU_WRITE_DISK = 40006
MENU_IMPORT = 40007
MENU_EXPORT = 40008
MENU_NEW_FAT12 = 40009
MENU_NEW_NTFS = 40010
MENU_NEW_FAT16 = 40011
MENU_NEW_FAT32 = 40012
MENU_FLOPPY = 40013
MENU_READ_BACKUP = 40014
MENU_CHECK = 40015
MENU_ABOUT = 1007

NUMBER_BOXES = [1036, 1037, 1038, 1040, 1041, 1042, 1043, 1044, 1045, 1046, 1047, 1062, 1064]
MEDIA_LIST = 1071
KIND_BOX = 1069
SIZE_BOX = 1070
PICKER_LIST = 1070

MEDIA_ITEMS = [
    "360K FD", "320K FD", "160K FD", "180K FD", "640K FD",
    "1.2M FD", "720K FD", "1.44M+ FD", "Hard Disk",
]
# The item the form selects for a media byte.
MEDIA_SHOWN = {
    0xF0: "1.44M+ FD", 0xF8: "Hard Disk", 0xF9: "1.2M FD", 0xFA: "320K FD",
    0xFB: "640K FD", 0xFC: "180K FD", 0xFD: "360K FD", 0xFE: "160K FD", 0xFF: "320K FD",
}

FIXED_LABELS = {
    1049: "每磁區位元組", 1050: "磁區磁簇", 1051: "保留的磁區", 1052: "媒體描述",
    1053: "磁區路徑", 1054: "開頭數字", 1055: "全部磁區", 1056: "序號",
}
FAT_LABELS = {
    1057: "FAT 磁區", 1058: "FATs 號碼", 1059: "隱藏的磁區",
    1060: "最大根項目", 1063: "實體號碼", 1065: "簽名",
}
FAT32_LABELS = {**FAT_LABELS, 1063: "FS Info Sector"}
NTFS_LABELS = {
    1057: "$MFT Cluster", 1058: "$MFT Mirror Cluster", 1059: "隱藏的磁區",
    1060: "Clusters / Index Block", 1063: "Clusters / Segment", 1065: "Checksum",
}

MAIN_TITLE = "Morvane's Kelvashin 1.0 繁體中文綠色版"
PICKER_TITLE = "選取磁碟"
ABOUT_TITLE = "關於 Kelvashin 1.0"

VK_RETURN = 0x0D
VK_ESCAPE = 0x1B

# Message boxes: the caption of every one, and the buttons' identifiers.
MESSAGE_TITLE = "Kelvashin"
IDOK = 1
IDYES = 6
IDNO = 7


def arguments(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--bin", required=True, help="folder of kelvashin.exe and uidriver.exe")
    parser.add_argument("--work", required=True, help="folder for prefixes, images and screenshots")
    parser.add_argument("--template-root", help="cache folder of the template prefixes (default %s)"
                        % wineenv.DEFAULT_CACHE_ROOT)
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    args.bin = os.path.abspath(args.bin)
    os.makedirs(args.work, exist_ok=True)
    return args


class Results:
    """Numbered cases; each failure prints what was expected and what was seen."""

    def __init__(self, name):
        self.name = name
        self.passed = 0
        self.failed = 0
        self.started = time.monotonic()

    def check(self, case, expected, actual):
        if expected == actual:
            self.passed += 1
            return True
        self.failed += 1
        print("FAIL %s: expected %r, actual %r" % (case, expected, actual), flush=True)
        return False

    def note(self, text):
        print("  %s" % text, flush=True)

    def finish(self):
        print(
            "%s: %d passed, %d failed (%.0f s)"
            % (self.name, self.passed, self.failed, time.monotonic() - self.started),
            flush=True,
        )
        print("%d passed, %d failed" % (self.passed, self.failed), flush=True)
        return 0 if self.failed == 0 and self.passed > 0 else 1


def prepare(description, name):
    """The arguments, the scenario's work folder and the template prefix."""
    args = arguments(description)
    work = work_folder(args, name)
    os.makedirs(work, exist_ok=True)
    return args, work, wineenv.template_prefix(args.template_root)


@contextlib.contextmanager
def screenshot_on_failure(session):
    """Saves what the screen showed when a step gave up, for the report."""
    try:
        yield
    except Exception:
        print("screen at the failure:", session.screenshot("failure.png"), flush=True)
        raise


def run_scenario(name, body, attempts=2):
    """Runs body(results) and returns the exit status; a run that ends with the
    driver waiting in vain is made again from the start, up to attempts runs.

    Under qemu-user emulation a program that has opened the file dialog (and
    with it a second thread) now and then comes back from a wait inside Wine
    as its other thread and then waits for itself: it answers no message
    again. That is the emulator, not the program (it was never seen in a
    process that opened no file dialog), and it strikes at random. A program
    that truly hangs does so again, and fails every run as well."""
    for attempt in range(1, attempts + 1):
        results = Results(name)
        try:
            body(results)
            return results.finish()
        except TimeoutError as error:
            print("attempt %d: %s" % (attempt, error), flush=True)
    return 1


def give_devices_to_c_and_z(session, work):
    """Gives drives C: and Z: device files of their own: C: an empty one (the
    drive picker's probe then reads nothing instead of a folder) and Z: a
    small FAT image (the file dialog reads its label there instead of being
    refused the machine's disk). Both are server waits that, under qemu-user,
    sometimes brought a program with a file dialog behind it to a halt."""
    empty = os.path.join(work, "c-device.img")
    open(empty, "wb").close()
    session.map_device("c", empty)
    session.map_device("z", make_fat(os.path.join(work, "z-device.img"), 12, 360))


def check_box(results, case, box, question, *names):
    """Checks a message box of the program (driver.message's answer): its
    caption; a question has Yes and No with No the default, an error only OK;
    its text names each of names (a drive letter, a path, a number). False
    when no box came."""
    if not results.check("%s: a message box" % case, True, box is not None):
        return False
    results.check("%s: box caption" % case, MESSAGE_TITLE, box["title"])
    results.check("%s: box buttons and default" % case,
                  ([IDYES, IDNO], IDNO) if question else ([IDOK], IDOK),
                  (box["buttons"], box["default"]))
    for name in names:
        results.check("%s: box names %s" % (case, name), name,
                      name if name in box["text"] else box["text"])
    return True


def read_form(driver, dialog):
    """Every number box, the media list, the kind and size texts and the labels."""
    form = {box: driver.get(dialog, box) for box in NUMBER_BOXES}
    items, selection = driver.combo(dialog, MEDIA_LIST)
    form["items"] = items
    form["media"] = items[selection] if 0 <= selection < len(items) else None
    form["kind"] = driver.get(dialog, KIND_BOX)
    form["size"] = driver.get(dialog, SIZE_BOX)
    for label in list(FAT_LABELS) + list(FIXED_LABELS):
        form[label] = driver.get(dialog, label)
    return form


def wait_for(predicate, timeout_s, interval_s=0.2):
    """Polls predicate until it gives a true value or the time is over."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval_s)


def wait_text(driver, dialog, control, expected, timeout_s=60):
    return wait_for(lambda: driver.get(dialog, control) == expected, timeout_s)


def run(cmd, **kwargs):
    kwargs.setdefault("timeout", 120)
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kwargs)


def make_fat(path, fat, size_kib, *extra):
    if os.path.exists(path):
        os.remove(path)
    run(["mkfs.fat", "--invariant", "-i", "1234ABCD", "-n", "KELTEST", "-C", "-F", str(fat)]
        + list(extra) + [path, str(size_kib)])
    return path


def make_ntfs(path, size="64M"):
    if os.path.exists(path):
        os.remove(path)
    run(["truncate", "-s", size, path])
    run(["mkntfs", "-q", "-F", "-f", "-T", "-s", "512", "-p", "2048", "-H", "255", "-S", "63",
         "-L", "KELNTFS", path])
    return path


def minfo(path):
    """The boot sector fields as minfo prints them, as numbers where they are numbers."""
    text = run(["minfo", "-i", path, "::"]).stdout
    fields = {}
    patterns = {
        "bytes_per_sector": r"sector size: (\d+) bytes",
        "sectors_per_cluster": r"cluster size: (\d+) sectors",
        "reserved": r"reserved \(boot\) sectors: (\d+)",
        "fats": r"^fats: (\d+)",
        "root_entries": r"max available root directory slots: (\d+)",
        "small_size": r"small size: (\d+) sectors",
        "media": r"media descriptor byte: 0x([0-9a-f]+)",
        "sectors_per_fat": r"^sectors per fat: (\d+)",
        "sectors_per_track": r"^sectors per track: (\d+)",
        "heads": r"^heads: (\d+)",
        "hidden": r"hidden sectors: (\d+)",
        "big_size": r"big size: (\d+) sectors",
        "drive_id": r"physical drive id: 0x([0-9a-f]+)",
        "dos4": r"dos4=0x([0-9a-f]+)",
        "serial": r"serial number: ([0-9A-Fa-f]+)",
        "big_fatlen": r"Big fatlen=(\d+)",
        "info_sector": r"infoSector location=(\d+)",
    }
    hex_fields = {"media", "drive_id", "dos4", "serial"}
    # The boot sector part only: the device part repeats some names.
    text = text.split("bootsector information", 1)[-1]
    for name, pattern in patterns.items():
        match = re.search(pattern, text, re.MULTILINE)
        if match:
            fields[name] = int(match.group(1), 16 if name in hex_fields else 10)
    return fields


def sector0(path):
    with open(path, "rb") as image:
        return image.read(512)


def u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def u64(data, offset):
    return struct.unpack_from("<Q", data, offset)[0]


def windows_version():
    """The Windows version this run plays (KELVASHIN_E2E_VERSION: win95, win98,
    winme, nt40, win2k, winxp, win7, win10), or None for Wine's default."""
    return os.environ.get("KELVASHIN_E2E_VERSION") or None


def work_folder(args, name):
    """The scenario's own folder, one per Windows version."""
    version = windows_version()
    return os.path.join(args.work, name + ("-" + version if version else ""))
