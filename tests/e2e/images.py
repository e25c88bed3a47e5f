"""Open disk image under Wine (NT family), through the real window: mkfs
volumes spliced into an MBR disk (FAT16 primary, FAT32 logical) and a GPT disk
(NTFS). The picker opens by itself and lists the partitions after the drives;
reads show what minfo and file(1) show for the separate volume files; a write
to the logical partition changes its sector 0 and backup alone; the check names
a wrong hidden-sector count; a VHDX file is refused with one message.

In win95 (the VWIN32 device lists the drives) the MBR image is opened and its
first partition read: the emulation hang strikes there more often (see
run_scenario), so the run is kept short and may be made three times."""

import os
import struct
import sys
import types
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disks  # noqa: E402
import e2ecommon as e  # noqa: E402
import files  # noqa: E402
import wineenv  # noqa: E402

MENU_OPEN_IMAGE = 40017
OPEN_TITLE = "開啟磁碟映像檔"
S = 512
MBR_ITEMS = ["Image 1: 主要分割區 16.00 MB", "Image 5: 邏輯磁碟機 40.00 MB"]


def entry(disk, sector, slot, type_, start, count):
    at = sector * S + 446 + 16 * slot
    disk[at:at + 16] = struct.pack("<B3xB3xII", 0, type_, start, count)
    disk[sector * S + 510:sector * S + 512] = b"\x55\xaa"


def splice(disk, sector, path):
    data = open(path, "rb").read()
    disk[sector * S:sector * S + len(data)] = data


def mbr_image(path, fat16, fat32):
    """FAT16 at 63 (slot 1); an extended partition at 34816 whose EBR puts the
    FAT32 volume 63 sectors after it (partition 5)."""
    f16 = os.path.getsize(fat16) // S
    f32 = os.path.getsize(fat32) // S
    ebr = 34816
    disk = bytearray((ebr + 63 + f32) * S)
    entry(disk, 0, 0, 0x06, 63, f16)
    entry(disk, 0, 1, 0x05, ebr, 63 + f32)
    entry(disk, ebr, 0, 0x0B, 63, f32)
    splice(disk, 63, fat16)
    splice(disk, ebr + 63, fat32)
    open(path, "wb").write(disk)
    return ebr + 63


def gpt_image(path, ntfs):
    """A protective MBR, the GPT (both headers) and the NTFS volume at 2048 (slot 1)."""
    length = os.path.getsize(ntfs) // S
    last = 2048 + length + 33
    disk = bytearray((last + 1) * S)
    entry(disk, 0, 0, 0xEE, 1, last)
    entries = bytearray(128 * 128)
    entries[0:16] = bytes.fromhex("a2a0d0ebe5b9334487c068b6b72699c7")  # basic data
    entries[16:32] = b"K" * 16
    struct.pack_into("<QQ", entries, 32, 2048, 2048 + length - 1)
    for lba, backup, table in ((1, last, 2), (last, 1, last - 32)):
        header = bytearray(92)
        struct.pack_into("<8sIII4xQQQQ16sQIII", header, 0, b"EFI PART", 0x10000, 92, 0, lba,
                         backup, 34, last - 33, b"D" * 16, table, 128, 128,
                         zlib.crc32(entries))
        struct.pack_into("<I", header, 16, zlib.crc32(header))
        disk[lba * S:lba * S + 92] = header
        disk[table * S:table * S + len(entries)] = entries
    splice(disk, 2048, ntfs)
    open(path, "wb").write(disk)


def open_image(driver, dialog, results, case, path, items, choose=None):
    """Open disk image on path, then the picker with its first image item chosen."""
    driver.menu(dialog, MENU_OPEN_IMAGE)
    answer = driver.call("file-dialog", dialog, files.dos_path(path), 60000, timeout_s=75,
                         check=False)
    results.check("%s: dialog title" % case, OPEN_TITLE, answer and answer[0][2])
    pick_image(driver, results, case, items, choose)


def pick_image(driver, results, case, items, choose=None):
    picker = driver.wait_dialog(e.PICKER_TITLE, 120000)
    listed, selection = driver.combo(picker, e.PICKER_LIST)
    results.check("%s: image items, after the drives" % case, items, listed[len(listed) - len(items):])
    if choose is not None and choose in listed:
        driver.choose(picker, e.PICKER_LIST, listed.index(choose))
    elif choose is None:
        results.check("%s: first image item chosen" % case, items[:1],
                      listed[selection:selection + 1])
    driver.call("click", picker, 1)
    results.check("%s: picker closes" % case, True, driver.wait_gone(picker, 120000))


def read_matches(driver, dialog, results, case, expected):
    e.wait_for(lambda: driver.get(dialog, 1046) == expected[1046]
               and driver.get(dialog, 1042) == expected[1042], 60)
    form = e.read_form(driver, dialog)
    for key, value in expected.items():
        results.check("%s: %s" % (case, key), value, form.get(key))


def check_hidden(driver, dialog, results, case, start):
    """The check names a wrong hidden-sector count and proposes the table's
    start; No leaves the form as it was."""
    driver.set(dialog, 1046, "5000")
    driver.menu(dialog, e.MENU_CHECK)
    box = driver.message(dialog, 30000, e.IDNO)
    results.check("%s: a box" % case, True, box is not None)
    if box:
        for part in ("「隱藏的磁區」為 5000", "應改為 %d" % start,
                     "「隱藏的磁區」：5000 → %d" % start):
            results.check("%s: names %s" % (case, part), part,
                          part if part in box["text"] else box["text"])
        results.check("%s: asks, No the default" % case, ([e.IDYES, e.IDNO], e.IDNO),
                      (box["buttons"], box["default"]))
    results.check("%s: No keeps the form" % case, "5000", driver.get(dialog, 1046))


def make_images(work):
    """The volumes, the two disks spliced from them and a VHDX file, by name."""
    made = types.SimpleNamespace()
    made.fat16 = e.make_fat(os.path.join(work, "fat16.img"), 16, 16384, "-h", "63")
    made.fat32 = e.make_fat(os.path.join(work, "fat32.img"), 32, 40960, "-s", "1", "-h", "63")
    made.ntfs = e.make_ntfs(os.path.join(work, "ntfs.img"))
    made.mbr = os.path.join(work, "two-parts.img")
    made.logical = mbr_image(made.mbr, made.fat16, made.fat32)
    made.gpt = os.path.join(work, "gpt-ntfs.img")
    gpt_image(made.gpt, made.ntfs)
    made.vhdx = os.path.join(work, "vm.vhdx")
    open(made.vhdx, "wb").write(b"vhdxfile" + bytes(65536))
    return made


def nt_steps(driver, dialog, results, made):
    """The logical partition read, written and checked; the GPT image; a VHDX."""
    driver.menu(dialog, e.MENU_READ_DISK)
    pick_image(driver, results, "2 read logical", MBR_ITEMS, MBR_ITEMS[1])
    read_matches(driver, dialog, results, "2 FAT32 logical",
                 disks.expected_fat_form(made.fat32, fat32=True))

    # 3 An edit written to partition 5: its sector 0 and backup (6) alone change.
    before = open(made.mbr, "rb").read()
    driver.set(dialog, 1041, "77")
    driver.menu(dialog, e.MENU_WRITE_DISK)
    pick_image(driver, results, "3 write logical", MBR_ITEMS, MBR_ITEMS[1])
    box = driver.message(dialog, 30000, e.IDYES)
    e.check_box(results, "3 write question", box, True, files.dos_path(made.mbr), "分割區 5")
    e.wait_for(lambda: open(made.mbr, "rb").read() != before, 30)
    after = open(made.mbr, "rb").read()
    changed = sorted({i // S for i in range(len(after)) if after[i] != before[i]})
    results.check("3 sectors changed", [made.logical, made.logical + 6], changed)
    results.check("3 heads written", 77, e.u16(after, made.logical * S + 26))

    # 4 The check against the table: a wrong hidden-sector count is named.
    check_hidden(driver, dialog, results, "4 check logical", made.logical)

    # 5 The GPT image replaces the first in the list.
    open_image(driver, dialog, results, "5 open GPT image", made.gpt, ["Image 1: GPT 分割區 64.00 MB"])
    expected = disks.expected_ntfs_form(made.ntfs)
    read_matches(driver, dialog, results, "5 NTFS", {k: expected[k] for k in (1042, 1046, "kind")})
    check_hidden(driver, dialog, results, "6 check NTFS", 2048)

    # 7 A VHDX file: one message naming the format, no picker.
    driver.menu(dialog, MENU_OPEN_IMAGE)
    driver.call("file-dialog", dialog, files.dos_path(made.vhdx), 60000, timeout_s=75, check=False)
    box = driver.message(dialog, 30000, e.IDOK)
    e.check_box(results, "7 VHDX refused", box, False, files.dos_path(made.vhdx), "VHDX")
    driver.call("sleep", 1000)
    results.check("7 no other window", [], [
        w[5] for w in driver.call("windows") if w[4] == "#32770" and w[1] != dialog])


def main():
    args, work, template = e.prepare(__doc__, "images")
    attempts = 3 if e.windows_version() == "win95" else 2
    return e.run_scenario("disk images", lambda results: scenario(args, work, template, results),
                          attempts)


def scenario(args, work, template, results):
    made = make_images(work)
    with wineenv.Session(os.path.join(work, "session"), template, args.bin,
                         version=e.windows_version(), timeout_s=60) as session:
        e.give_devices_to_c_and_z(session, work)
        driver = session.driver
        program = session.start()
        dialog = driver.wait_main(120000)

        # 1 The MBR image: the primary is read by itself, then the logical one.
        open_image(driver, dialog, results, "1 open MBR image", made.mbr, MBR_ITEMS)
        read_matches(driver, dialog, results, "1 FAT16 primary", disks.expected_fat_form(made.fat16))
        if e.windows_version() != "win95":
            nt_steps(driver, dialog, results, made)

        driver.menu(dialog, e.MENU_EXIT)
        results.check("8 exit code", 0, session.wait_exit(program, 300))


if __name__ == "__main__":
    sys.exit(main())
