"""Read from disk and Write to disk under Wine, on drive letters mapped to real
FAT12, FAT16, FAT32 and NTFS volumes made by mkfs.fat and mkntfs.

Run with KELVASHIN_E2E_VERSION=win95 for the 9x family (VWIN32 device, Int
25h/26h); without it Wine plays the NT family (volume device). What the form
shows is compared with minfo and file(1) on the same image; a write, its
question answered Yes, must change exactly the bound fields of sector 0 and
nothing else in the image, and fsck.fat must still accept a FAT volume whose
edit keeps it consistent.

In Wine's default version (and once in win95) the safety of a write as well:
the question names the drive, what it holds and the undo file, with No the
default; Enter on it (No) leaves the image byte-identical; the undo file holds
the sector that a Yes replaced, and importing it and writing it back restores
the image byte for byte. In win95 a drive whose root link is removed after the
picker listed it fails the write's first read: one error box names it, and
nothing is written."""

import os
import re
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2ecommon as e  # noqa: E402
import files  # noqa: E402
import wineenv  # noqa: E402


def expected_fat_form(image, generic=False, fat32=False):
    """The form for a FAT image, from minfo; the generic layout (a FAT32
    volume, which is not recognised) from the raw bytes where minfo has no name."""
    info = e.minfo(image)
    raw = e.sector0(image)
    total = info.get("small_size") or info.get("big_size")
    bps = info["bytes_per_sector"]
    if info.get("small_size"):
        size = "%0.2f KB" % (total * bps / 1024.0)
    else:
        size = "%0.2f MB" % (total * bps / 1048576.0)
    form = {
        1036: info["bytes_per_sector"], 1037: info["sectors_per_cluster"], 1038: info["reserved"],
        1040: info["sectors_per_track"], 1041: info["heads"], 1042: total,
        1044: e.u16(raw, 22), 1045: info["fats"], 1046: info["hidden"],
        1047: info.get("root_entries", 0), 1062: raw[36], 1064: raw[38],
        "media": e.MEDIA_SHOWN.get(info["media"]), "size": size,
    }
    if fat32:
        # Shown in the FAT32 layout: this program recognises FAT32 volumes,
        # and shows their size from BPB_TotSec32 in MB.
        form.update({1043: info["serial"], 1044: info["big_fatlen"], 1062: info["info_sector"],
                     1064: raw[66], "kind": "FAT32"})
    elif generic:
        form["kind"] = "FAT16" if total // info["sectors_per_cluster"] > 4085 else "FAT12"
    else:
        form[1043] = info["serial"]
        form[1044] = info["sectors_per_fat"]
        form[1062] = info["drive_id"]
        form[1064] = info["dos4"]
        form["kind"] = raw[54:59].decode("ascii")
    return {k: str(v) if isinstance(v, int) else v for k, v in form.items()}


def expected_ntfs_form(image):
    """The form for an NTFS image, from file(1); the fields it leaves out when
    they hold their usual values from the raw bytes."""
    text = e.run(["file", "-b", image]).stdout
    raw = e.sector0(image)

    def number(pattern, base=10):
        match = re.search(pattern, text)
        if not match:
            raise RuntimeError("file(1) printed no %r: %s" % (pattern, text))
        return int(match.group(1), base)

    total = number(r"NTFS, sectors/track \d+, sectors (\d+)")
    serial = number(r"serial number ([0-9a-f]+)", 16)
    form = {
        1036: e.u16(raw, 11), 1037: number(r"sectors/cluster (\d+)"), 1038: e.u16(raw, 14),
        1040: number(r"sectors/track (\d+)"), 1041: number(r"heads (\d+)"), 1042: total,
        1043: serial, 1044: number(r"\$MFT start cluster (\d+)"),
        1045: number(r"\$MFTMirror start cluster (\d+)"), 1046: number(r"hidden sectors (\d+)"),
        1047: number(r"clusters/index block (\d+)"), 1062: number(r"RecordSegment 2\^\(-1\*(\d+)\)"),
        1064: e.u32(raw, 80),
        "media": e.MEDIA_SHOWN.get(number(r"Media descriptor 0x([0-9a-f]+)", 16)),
        "kind": "NTFS", "size": "%0.2f MB" % (total * e.u16(raw, 11) / 1048576.0),
    }
    return {k: str(v) if isinstance(v, int) else v for k, v in form.items()}


def pick(driver, results, case, letter, expected_items, shot=None, session=None):
    """Waits for the drive picker, checks its list, picks a letter with OK."""
    picker = driver.wait_dialog(e.PICKER_TITLE, 120000)
    items, selection = driver.combo(picker, e.PICKER_LIST)
    results.check("%s: picker list" % case, expected_items, items)
    results.check("%s: first item selected" % case, 0 if items else -1, selection)
    if shot:
        results.note("screenshot %s" % session.screenshot(shot))
    wanted = "Disk %s:" % letter
    if letter is None:
        driver.call("click", picker, 2)
    elif wanted in items:
        driver.choose(picker, e.PICKER_LIST, items.index(wanted))
        driver.call("click", picker, 1)
    else:
        driver.call("click", picker, 2)
    results.check("%s: picker closes" % case, True, driver.wait_gone(picker, 120000))


def read_case(driver, dialog, results, case, letter, items, expected, session, shot=None,
              command=e.MENU_READ_DISK):
    driver.menu(dialog, command)
    pick(driver, results, case, letter, items, shot, session)
    e.wait_for(lambda: driver.get(dialog, e.KIND_BOX) == expected["kind"]
               and driver.get(dialog, 1042) == expected[1042], 60)
    form = e.read_form(driver, dialog)
    for key, value in expected.items():
        results.check("%s: %s" % (case, key), value, form[key])
    return form


def write_case(driver, dialog, results, case, letter, items, image, edits, expected_sector,
               backup=None):
    """Edits the form, writes it to a drive (its question answered Yes), and
    compares the whole image; backup: the 512-byte sector that must now hold
    the new sector 0 as well. Returns the question box."""
    with open(image, "rb") as f:
        before = f.read()
    for box, text in edits.items():
        driver.set(dialog, box, text)
    driver.menu(dialog, e.MENU_WRITE_DISK)
    pick(driver, results, case, letter, items)
    question = driver.message(dialog, 60000, e.IDYES)
    e.check_box(results, "%s: question" % case, question, True, "%s:" % letter)
    e.wait_for(lambda: e.sector0(image) != before[:512], 60)
    driver.get(dialog, e.KIND_BOX)  # answered once the command has ended
    with open(image, "rb") as f:
        after = f.read()
    results.check("%s: sector 0" % case, expected_sector.hex(), after[:512].hex())
    if backup is not None:
        before = replaced(before, backup, expected_sector)
    results.check("%s: rest of the image unchanged" % case, True, after[512:] == before[512:])
    return question


def check_undo_file(results, case, session, known, question, sector):
    """The one undo file made since known (the set of those before): it holds
    sector, and the question named its path. Returns its path."""
    made = sorted(session.undo_files() - known)
    results.check("%s: one undo file" % case, 1, len(made))
    if not made:
        return None
    results.check("%s: undo file holds the old sector" % case, sector.hex(),
                  open(made[0], "rb").read().hex())
    if question:
        results.check("%s: question names the undo file" % case, True,
                      files.dos_path(made[0]) in question["text"])
    return made[0]


def write_answered_no(session, dialog, results, case, letter, items, image, names, shot=None):
    """Edits the form and chooses Write to disk, then presses Enter on the
    question: No is its default, so nothing at all is written. The undo file
    is saved before the question all the same."""
    driver = session.driver
    with open(image, "rb") as f:
        before = f.read()
    known = session.undo_files()
    driver.set(dialog, 1046, "77")
    driver.menu(dialog, e.MENU_WRITE_DISK)
    pick(driver, results, case, letter, items)
    question = driver.message(dialog, 60000)
    e.check_box(results, "%s: question" % case, question, True, *names)
    if question:
        results.note("question: %s" % question["text"].replace("\n", " / "))
        if shot:
            results.note("screenshot %s" % session.screenshot(shot))
        driver.call("key", question["hwnd"], e.VK_RETURN)
        if not results.check("%s: Enter closes the question" % case, True,
                             driver.wait_gone(question["hwnd"], 30000)):
            driver.call("click", question["hwnd"], e.IDNO)
            driver.wait_gone(question["hwnd"], 30000)
    # The program answers once the command has ended.
    driver.get(dialog, e.KIND_BOX)
    driver.call("sleep", 1000)
    results.check("%s: no other window" % case, [],
                  [w[5] for w in driver.call("windows") if w[4] == "#32770" and w[1] != dialog])
    results.check("%s: image byte-identical" % case, True, open(image, "rb").read() == before)
    check_undo_file(results, case, session, known, question, before[:512])


def fsck(image):
    return subprocess.run(["fsck.fat", "-n", image], capture_output=True, timeout=120).returncode


def with_fields(sector, *stores):
    data = bytearray(sector)
    for offset, fmt, value in stores:
        struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def nine_x_checks(session, results, items, version, fat12, fat16):
    """The 9x family under Wine's own VWIN32 device (Int 25h/26h).

    Wine's trace of the device shows that the program takes the VWIN32 path:
    one short-form Int 25h probe per letter, then the packet forms for the
    read and the write. The record lives in the program's own data, whose
    addresses Wine's packet form takes as they are (it reads the high word of
    a buffer address as a selector, which heap addresses would not survive),
    so the sectors really reach the images."""
    driver = session.driver
    log = os.path.join(session.work, "vwin32-trace.log")
    program = session.start(extra_env={"WINEDEBUG": "-all,+vxd"}, stderr_path=log)
    dialog = driver.wait_main(120000)
    before = e.read_form(driver, dialog)
    driver.menu(dialog, e.MENU_READ_DISK)
    pick(driver, results, "1 9x picker", None, items, "picker-%s.png" % version, session)
    driver.call("sleep", 2000)
    results.check("1 9x picker cancelled: form unchanged", before, e.read_form(driver, dialog))
    with open(log, errors="replace") as trace:
        lines = [line for line in trace if "VWIN32_DIOC_DOS_INT25" in line]
    # One short-form probe (CX 1, DX 0) per letter A: to Y:, in order.
    drives = [int(re.search(r"eax=0x([0-9a-f]+)", line).group(1), 16) for line in lines]
    results.check("2 9x probes: Int 25h per drive", list(range(25)), drives)
    results.check("2 9x probes: short form", True,
                  all("ecx=0x00000001" in line and "edx=0x00000000" in line for line in lines))

    read_case(driver, dialog, results, "3 9x read FAT12 A:", "A", items, expected_fat_form(fat12), session)
    read_case(driver, dialog, results, "4 9x read FAT16 D:", "D", items, expected_fat_form(fat16), session)
    read_case(driver, dialog, results, "5 9x read FAT12 A: again", "A", items, expected_fat_form(fat12),
              session)
    known = session.undo_files()
    old = e.sector0(fat12)
    question = write_case(driver, dialog, results, "5 9x write FAT12 A:", "A", items, fat12,
                          {1046: "9"}, with_fields(old, (28, "<I", 9)))
    e.check_box(results, "5 9x write FAT12 A: question", question, True, "FAT12", "KELTEST",
                "1234-ABCD")
    check_undo_file(results, "5 9x write FAT12 A:", session, known, question, old)
    results.check("5 fsck.fat accepts FAT12 A:", 0, fsck(fat12))
    results.check("5 minfo reads the new hidden sectors", 9, e.minfo(fat12)["hidden"])

    # Wine's Int 25h/26h fail only for a drive without its root link that
    # Wine's mount manager does not know: M: is mapped while the program
    # runs, and its root link goes once the picker has listed it. The write's
    # first read fails: one error box names M:; nothing is written, and no
    # undo file is made.
    case = "5b 9x write M: without its root"
    late = os.path.join(session.work, "late.img")
    shutil.copyfile(fat12, late)
    before = open(late, "rb").read()
    session.map_drive("m", late)
    known = session.undo_files()
    driver.set(dialog, 1046, "11")
    driver.menu(dialog, e.MENU_WRITE_DISK)
    picker = driver.wait_dialog(e.PICKER_TITLE, 120000)
    listed, _ = driver.combo(picker, e.PICKER_LIST)
    results.check("%s: picker lists M:" % case, items + ["Disk M:"], listed)
    root = os.path.join(session.prefix, "dosdevices", "m:")
    target = os.readlink(root)
    os.remove(root)
    try:
        driver.choose(picker, e.PICKER_LIST, listed.index("Disk M:") if "Disk M:" in listed else 0)
        driver.call("click", picker, e.IDOK)
        driver.wait_gone(picker, 120000)
        box = driver.message(dialog, 60000)
        if box:
            results.note("box: %s" % box["text"].replace("\n", " / "))
        if e.check_box(results, case, box, False, "無法讀取磁碟 M:"):
            if box["buttons"] == [e.IDOK]:
                driver.call("click", box["hwnd"], e.IDOK)
            else:
                driver.call("click", box["hwnd"], e.IDNO)
            results.check("%s: box closes" % case, True, driver.wait_gone(box["hwnd"], 30000))
    finally:
        os.symlink(target, root)
    driver.call("sleep", 1000)
    results.check("%s: no other window" % case, [],
                  [w[5] for w in driver.call("windows") if w[4] == "#32770" and w[1] != dialog])
    results.check("%s: image byte-identical" % case, True, open(late, "rb").read() == before)
    results.check("%s: no undo file" % case, set(), session.undo_files() - known)
    with open(log, errors="replace") as trace:
        text = trace.read()
    results.check("6 the write went through Int 26h", True, "VWIN32_DIOC_DOS_INT26" in text)
    driver.menu(dialog, e.MENU_EXIT)
    results.check("7 exit code", 0, session.wait_exit(program, 300))


def restore(session, dialog, results, case, letter, items, image, undo, original):
    """Imports an undo file through the file dialog and writes it back: the
    image is as it was before the write that the undo file undoes."""
    driver = session.driver
    driver.menu(dialog, e.MENU_NEW_NTFS)
    e.wait_text(driver, dialog, e.KIND_BOX, "NTFS")
    driver.menu(dialog, e.MENU_IMPORT)
    if driver.call("file-dialog", dialog, files.dos_path(undo), 30000, timeout_s=45,
                   check=False) is None:
        # The emulation hang (see run_scenario): the run is made again.
        raise TimeoutError("file dialog not handled")
    results.check("%s: import shows the old sector" % case, True,
                  e.wait_text(driver, dialog, 1046, str(e.u32(original, 28)), 30))
    known = session.undo_files()
    written = open(image, "rb").read()
    question = write_case(driver, dialog, results, case, letter, items, image, {}, original[:512])
    results.check("%s: image restored byte for byte" % case, True,
                  open(image, "rb").read() == original)
    check_undo_file(results, case, session, known, question, written[:512])


def main():
    args = e.arguments(__doc__)
    version = os.environ.get("KELVASHIN_E2E_VERSION", "")
    name = "disks (%s)" % (version or "NT family")
    # Only Wine's default version opens the file dialog here, after which the
    # emulation hang may strike: a run cut short by it is made again.
    return e.run_scenario(name, lambda results: scenario(args, version, results))


def scenario(args, version, results):
    nine_x = version in ("win95",)
    default = not version
    work = os.path.join(args.work, "disks-" + (version or "nt"))
    os.makedirs(work, exist_ok=True)
    fat12 = e.make_fat(os.path.join(work, "fat12.img"), 12, 1440)
    fat16 = e.make_fat(os.path.join(work, "fat16.img"), 16, 16384, "-h", "0")
    fat32 = e.make_fat(os.path.join(work, "fat32.img"), 32, 40960, "-s", "1")
    ntfs = e.make_ntfs(os.path.join(work, "ntfs.img"))
    missing = os.path.join(work, "missing.img")
    drives = {"a": fat12, "d": fat16, "e": fat32, "f": ntfs}
    if nine_x:
        # Wine's Int 25h returns carry clear on a failed read whenever the
        # drive's root is mapped, so the missing and the empty drive get no
        # root: then the read fails as it does on Windows 9x.
        drives["g"] = (missing, False)
        drives["h"] = ("not-ready", False)
        # C: (the prefix) has a root but no device: Wine's Int 25h still
        # answers with carry clear, so the 9x probe lists it.
        items = ["Disk A:", "Disk C:", "Disk D:", "Disk E:", "Disk F:"]
    else:
        # No root for the missing drive: its open then fails outright, where
        # with a root Wine opens the folder, and a probe that reads a folder
        # after the file dialog (the undo file's import) is what halts a
        # program under qemu-user (see give_devices_to_c_and_z).
        drives["g"] = (missing, False)
        drives["h"] = "not-ready"
        items = ["Disk A:", "Disk D:", "Disk E:", "Disk F:", "Disk H:"]

    template = wineenv.template_prefix(args.template_root)
    with wineenv.Session(os.path.join(work, "session"), template, args.bin,
                         version=version or None, drives=drives) as session:
        driver = session.driver
        if nine_x:
            nine_x_checks(session, results, items, version, fat12, fat16)
            return
        program = session.start()
        dialog = driver.wait_main(120000)

        # Reading each kind of volume.
        read_case(driver, dialog, results, "1 read FAT12 A:", "A", items, expected_fat_form(fat12),
                  session, shot="picker-%s.png" % (version or "nt"))
        read_case(driver, dialog, results, "2 read FAT16 D:", "D", items, expected_fat_form(fat16), session)
        read_case(driver, dialog, results, "3 read FAT32 E:", "E", items,
                         expected_fat_form(fat32, fat32=True), session)
        read_case(driver, dialog, results, "4 read NTFS F:", "F", items, expected_ntfs_form(ntfs), session)

        # Cancel leaves the form as it was.
        before = e.read_form(driver, dialog)
        driver.menu(dialog, e.MENU_READ_DISK)
        pick(driver, results, "5 read cancelled", None, items)
        driver.call("sleep", 2000)
        results.check("5 read cancelled: form unchanged", before, e.read_form(driver, dialog))

        # Writing: read a volume, change the hidden sectors, write it back.
        read_case(driver, dialog, results, "6 read FAT12 A: again", "A", items, expected_fat_form(fat12), session)
        original = open(fat12, "rb").read()
        if default:
            write_answered_no(session, dialog, results, "6a write FAT12 A: answered No", "A", items,
                              fat12, ["要取代磁碟 A: 的啟動磁區嗎", "FAT12", "KELTEST", "1234-ABCD"],
                              shot="question-write.png")
        known = session.undo_files()
        question = write_case(driver, dialog, results, "6 write FAT12 A:", "A", items, fat12,
                              {1046: "7"}, with_fields(original[:512], (28, "<I", 7)))
        undo = default and check_undo_file(results, "6 write FAT12 A:", session, known, question,
                                           original[:512])
        results.check("6 fsck.fat accepts FAT12 A:", 0, fsck(fat12))
        results.check("6 minfo reads the new hidden sectors", 7, e.minfo(fat12)["hidden"])

        read_case(driver, dialog, results, "7 read FAT16 D: again", "D", items, expected_fat_form(fat16), session)
        write_case(driver, dialog, results, "7 write FAT16 D:", "D", items, fat16, {1046: "63"},
                   with_fields(e.sector0(fat16), (28, "<I", 63)))
        results.check("7 fsck.fat accepts FAT16 D:", 0, fsck(fat16))

        if not nine_x:
            read_case(driver, dialog, results, "8 read FAT32 E: again", "E", items,
                      expected_fat_form(fat32, fat32=True), session)
            question = write_case(driver, dialog, results, "8 write FAT32 E:", "E", items, fat32,
                                  {1046: "32"}, with_fields(e.sector0(fat32), (28, "<I", 32)), 6)
            tools_accept_backup(results, "8 write FAT32 E:", fat32, question, 6)
            # NTFS: the untouched 64-bit fields are written back whole, the
            # serial number among them.
            read_case(driver, dialog, results, "9 read NTFS F: again", "F", items,
                      expected_ntfs_form(ntfs), session)
            raw = e.sector0(ntfs)
            question = write_case(driver, dialog, results, "9 write NTFS F:", "F", items, ntfs,
                                  {1046: "4096"}, with_fields(raw, (28, "<I", 4096)), e.u64(raw, 40))
            tools_accept_backup(results, "9 write NTFS F:", ntfs, question, e.u64(raw, 40))

        if default:
            items = backup_checks(session, dialog, results, work, items)
            rebuild_checks(session, dialog, results, work, items)
        if undo:
            e.give_devices_to_c_and_z(session, work)
            restore(session, dialog, results, "10 undo file of A: written back", "A", items, fat12,
                    undo, original)

        driver.menu(dialog, e.MENU_EXIT)
        results.check("11 exit code", 0, session.wait_exit(program, 300))
        if default:
            large_sector_checks(session, results, work, items)


# The check's box: no finding, a finding list, and the note that follows
# either after Read from disk under Wine, which does not give the partition's
# start.
CHECK_CLEAN = "檢查啟動磁區：沒有發現問題。"
CHECK_FOUND = "檢查啟動磁區發現下列問題：\n"
PARTITION_NOTE = "\n\n註：系統沒有告知分割區的起點，所以沒有檢查「隱藏的磁區」（%d）。"
BACKUP_UPDATED = "備份啟動磁區（磁區 %d）會一併更新"
BACKUP_KEPT = "備份啟動磁區（磁區 %d）維持不變，因為它已經和目前的啟動磁區不同。"


def replaced(data, sector, sector_bytes):
    """data with the 512-byte sector replaced."""
    return data[:sector * 512] + sector_bytes + data[sector * 512 + 512:]


def tools_accept_backup(results, case, image, question, backup):
    """After a write that updated the backup too: the question said it would,
    and fsck.fat (FAT32) or ntfsfix (NTFS) finds the pair alike."""
    if question:
        results.check("%s: question says the backup is updated" % case, True,
                      BACKUP_UPDATED % backup in question["text"])
    if e.sector0(image)[3:11] == b"NTFS    ":
        fixed = subprocess.run(["ntfsfix", "-n", image], capture_output=True, text=True,
                               timeout=120)
        results.check("%s: ntfsfix -n accepts the alternate boot sector" % case, (0, True),
                      (fixed.returncode, "alternate boot sector... OK" in fixed.stdout))
    else:
        checked = subprocess.run(["fsck.fat", "-n", image], capture_output=True, text=True,
                                 timeout=120)
        results.check("%s: fsck.fat -n sees no backup difference" % case, (0, False),
                      (checked.returncode, "differences between boot sector and its backup"
                       in checked.stdout))


def check_command(driver, dialog, results, case, expected_text=None):
    """Check boot sector: one box with OK alone, closed with OK; its text is
    expected_text when given. Returns the text."""
    driver.menu(dialog, e.MENU_CHECK)
    box = driver.message(dialog, 60000, e.IDOK)
    e.check_box(results, case, box, False)
    text = box["text"] if box else None
    if expected_text is not None:
        results.check("%s: text" % case, expected_text, text)
    return text


def backup_checks(session, dialog, results, work, items):
    """Backup boot sectors and the check, in Wine's default version, on two
    drives mapped now: J: a FAT32 and K: an NTFS volume, fresh from mkfs.fat
    and mkntfs for each case.
      - The check finds nothing on either volume read from disk, and notes
        that the hidden sectors went unchecked; with 3 sectors per cluster in
        the form it names that field and its value, and that the drive's
        backup differs from the form at that byte.
      - FAT32 whose two copies claim more sectors than the drive holds and the
        media byte 0xF0 (FAT[0] is F8): the check offers both values from the
        drive, and Yes puts them into the form, the drive untouched.
      - FAT32 with sector 0 zeroed: Read backup from disk finds sector 6 and
        shows it; writing it restores the volume byte for byte.
      - NTFS whose sector 0 lost its boot code and MFT fields but still names
        its backup (the last sector): restored byte for byte the same way; the
        question says the differing backup is kept.
      - FAT32 whose backup already differs: the question says the backup is
        kept; the write leaves it as it was, and the check then names it.
    Returns the picker's list with J: and K:."""
    driver = session.driver
    fat32 = e.make_fat(os.path.join(work, "backup-fat32.img"), 32, 40960, "-s", "1")
    ntfs = e.make_ntfs(os.path.join(work, "backup-ntfs.img"))
    fat32_data = open(fat32, "rb").read()
    ntfs_data = open(ntfs, "rb").read()
    ntfs_backup = e.u64(ntfs_data, 40)
    drive_j = os.path.join(work, "drive-j.img")
    drive_k = os.path.join(work, "drive-k.img")

    def put(path, data):
        with open(path, "wb") as f:
            f.write(data)

    put(drive_j, fat32_data)
    put(drive_k, ntfs_data)
    session.map_drive("j", drive_j)
    session.map_drive("k", drive_k)
    items = sorted(items + ["Disk J:", "Disk K:"])
    fat32_form = expected_fat_form(fat32, fat32=True)
    ntfs_form = expected_ntfs_form(ntfs)

    case = "12 check FAT32 J:"
    read_case(driver, dialog, results, case, "J", items, fat32_form, session)
    check_command(driver, dialog, results, case,
                  CHECK_CLEAN + PARTITION_NOTE % e.u32(fat32_data, 28))
    case = "12 check 3 sectors per cluster"
    driver.set(dialog, 1037, "3")
    text = check_command(driver, dialog, results, case) or ""
    results.note("check: %s" % text.replace("\n", " / "))
    results.check("%s: a finding list" % case, True, text.startswith(CHECK_FOUND))
    lines = text.split("\n")
    results.check("%s: the field, its value, the rule and the rebuild" % case, True,
                  "1. 「磁區磁簇」為 3：應為 1 到 128 之間 2 的次方。"
                  "可用「工具」功能表的「重建啟動磁區」從磁碟找回正確的值。" in lines)
    results.check("%s: the drive's backup differs at that byte" % case, True,
                  any(line.endswith("「備份啟動磁區」（磁區 6）與啟動磁區在位移 13 不同。")
                      for line in lines))
    case = "12 check NTFS K:"
    read_case(driver, dialog, results, case, "K", items, ntfs_form, session)
    check_command(driver, dialog, results, case,
                  CHECK_CLEAN + PARTITION_NOTE % e.u32(ntfs_data, 28))

    case = "12 check J: corrections from the drive"
    total = e.u32(fat32_data, 32)
    wrong = with_fields(fat32_data[:512], (32, "<I", total + 8080), (21, "B", 0xF0))
    put(drive_j, replaced(replaced(fat32_data, 0, wrong), 6, wrong))
    read_case(driver, dialog, results, case + ", read", "J", items,
              {"kind": "FAT32", 1042: str(total + 8080), "media": e.MEDIA_SHOWN[0xF0]}, session)
    driver.menu(dialog, e.MENU_CHECK)
    box = driver.message(dialog, 60000, e.IDYES)
    e.check_box(results, case, box, True, "「全部磁區」：%d → %d" % (total + 8080, total),
                "「媒體描述」：0xF0 → 0xF8", "要把這些值填入表單嗎？")
    results.note("check with corrections: %s" % (box or {}).get("text", "").replace("\n", " / "))
    e.wait_for(lambda: driver.get(dialog, 1042) == str(total), 30)
    form = e.read_form(driver, dialog)
    for key, value in fat32_form.items():
        results.check("%s, after Yes: %s" % (case, key), value, form[key])
    results.check("%s: the drive is not written" % case, True,
                  open(drive_j, "rb").read() == replaced(replaced(fat32_data, 0, wrong), 6, wrong))

    case = "13 FAT32 J: sector 0 zeroed"
    put(drive_j, replaced(fat32_data, 0, bytes(512)))
    read_case(driver, dialog, results, case + ", read backup", "J", items, fat32_form, session,
              command=e.MENU_READ_BACKUP)
    question = write_case(driver, dialog, results, case + ", written", "J", items, drive_j, {},
                          fat32_data[:512])
    results.check("%s: the question names no backup" % case, True,
                  question is not None and "備份啟動磁區" not in question["text"])
    results.check("%s: image restored byte for byte" % case, True,
                  open(drive_j, "rb").read() == fat32_data)

    case = "14 NTFS K: sector 0 damaged"
    damaged = bytearray(ntfs_data[:512])
    damaged[48:64] = bytes(16)  # the $MFT and $MFTMirr clusters
    damaged[84:510] = bytes(426)  # the boot code
    put(drive_k, replaced(ntfs_data, 0, bytes(damaged)))
    read_case(driver, dialog, results, case + ", read backup", "K", items, ntfs_form, session,
              command=e.MENU_READ_BACKUP)
    question = write_case(driver, dialog, results, case + ", written", "K", items, drive_k, {},
                          ntfs_data[:512])
    results.check("%s: the question says the backup is kept" % case, True,
                  question is not None and BACKUP_KEPT % ntfs_backup in question["text"])
    results.check("%s: image restored byte for byte" % case, True,
                  open(drive_k, "rb").read() == ntfs_data)

    case = "15 FAT32 J: backup differs"
    put(drive_j, replaced(fat32_data, 6, with_fields(fat32_data[:512], (28, "<I", 99))))
    read_case(driver, dialog, results, case + ", read", "J", items, fat32_form, session)
    question = write_case(driver, dialog, results, case + ", written", "J", items, drive_j,
                          {1046: "5"}, with_fields(fat32_data[:512], (28, "<I", 5)))
    results.check("%s: the question says the backup is kept" % case, True,
                  question is not None and BACKUP_KEPT % 6 in question["text"])
    read_case(driver, dialog, results, case + ", read again", "J", items,
              {**fat32_form, 1046: "5"}, session)
    check_command(driver, dialog, results, case + ", check",
                  CHECK_FOUND + "\n1. 「備份啟動磁區」（磁區 6）與啟動磁區在位移 28 不同。"
                  + PARTITION_NOTE % 5)
    return items


MENU_REBUILD = 40016
MTOOLS = {**os.environ, "MTOOLS_SKIP_CHECK": "1"}


def rebuild_checks(session, dialog, results, work, items):
    """Rebuild boot sector on J: (FAT32, two directories, a file) and K: (NTFS,
    a file), both boot sector copies zeroed: the result asks, Yes the default;
    Yes, then Write to disk, Yes, puts in sector 0 the fields the structures
    tell as the formatter wrote them. The backup, empty and at the place the new
    sector names (the old sector 0 names none), is filled: the question says so,
    and both copies are equal afterwards. fsck.fat -n and ntfsfix -n accept the
    volumes; mdir and ntfsls list the files."""
    driver = session.driver
    fat32 = e.make_fat(os.path.join(work, "rebuild-fat32.img"), 32, 40960, "-s", "1")
    e.run(["mmd", "-i", fat32, "::/DIRA", "::/DIRB"], env=MTOOLS)
    e.run(["mcopy", "-i", fat32, e.__file__, "::/DIRA/HELLO.TXT"], env=MTOOLS)
    ntfs = e.make_ntfs(os.path.join(work, "rebuild-ntfs.img"))
    e.run(["ntfscp", "-f", ntfs, e.__file__, "hello.txt"])
    # Not compared: the geometry, serial and boot code (guessed), NTFS's hidden
    # sectors (Wine does not give the partition's start).
    for letter, image, backup, kind, ranges, tools in (
            ("J", fat32, 6, "FAT32", [(11, 24), (32, 67), (71, 88)],
             (["fsck.fat", "-n"], ["mdir", "-i", "%s", "::/DIRA"], "HELLO    TXT")),
            ("K", ntfs, os.path.getsize(ntfs) // 512 - 1, "NTFS", [(11, 14), (40, 72)],
             (["ntfsfix", "-n"], ["ntfsls", "%s"], "hello.txt"))):
        case = "17 rebuild %s %s:" % (kind, letter)
        original = open(image, "rb").read()
        drive = os.path.join(work, "drive-%s.img" % letter.lower())
        with open(drive, "wb") as f:
            f.write(replaced(replaced(original, 0, bytes(512)), backup, bytes(512)))
        driver.menu(dialog, MENU_REBUILD)
        pick(driver, results, case, letter, items)
        box = driver.message(dialog, 120000, e.IDYES)
        results.note("result: %s" % (box or {"text": ""})["text"].replace("\n", " / "))
        results.check("%s: the result, Yes the default" % case, ([e.IDYES, e.IDNO], e.IDYES, True),
                      box and (box["buttons"], box["default"],
                               "已從磁碟 %s: 本身的結構重建 %s 啟動磁區。" % (letter, kind) in box["text"]))
        results.check("%s: the form shows it" % case, True,
                      e.wait_text(driver, dialog, e.KIND_BOX, kind, 60))
        before = open(drive, "rb").read()
        driver.menu(dialog, e.MENU_WRITE_DISK)
        pick(driver, results, case + " write", letter, items)
        e.check_box(results, "%s: write question" % case, driver.message(dialog, 60000, e.IDYES),
                    True, "%s:" % letter, "（磁區 %d）目前是空的" % backup)
        e.wait_for(lambda: e.sector0(drive) != before[:512], 60)
        driver.get(dialog, e.KIND_BOX)  # answered once the write has ended
        after = open(drive, "rb").read()
        sector, kept = after[:512], after[backup * 512:backup * 512 + 512]
        results.check("%s: the fields the structures tell, 55 AA" % case,
                      [original[a:b].hex() for a, b in ranges + [(510, 512)]],
                      [sector[a:b].hex() for a, b in ranges + [(510, 512)]])
        results.check("%s: the backup filled with sector 0, nothing else written" % case,
                      (True, True), (kept == sector, replaced(
                          replaced(after, 0, before[:512]), backup, bytes(512)) == before))
        checker, lister, listed = tools
        checked = subprocess.run(checker + [drive], capture_output=True, text=True, timeout=120)
        results.note("%s: %s" % (checker[0], checked.stdout.replace("\n", " / ")))
        results.check("%s: %s -n content" % (case, checker[0]), 0, checked.returncode)
        out = subprocess.run([a.replace("%s", drive) for a in lister], capture_output=True,
                             text=True, timeout=120, env=MTOOLS).stdout
        results.check("%s: the file is listed" % case, True, listed in out)


VOLUME_REQUESTS = {"90018": "lock", "90020": "dismount", "9001c": "unlock"}


def volume_events(trace, letter):
    """What the program asked of the volume device of a drive letter in Wine's
    +file trace, in order: (ReadFile or WriteFile, handle, bytes asked for, NT
    status, with the bytes moved after SUCCESS), and (lock, dismount or unlock,
    handle, 0, ""). A handle counts as the volume's from the CreateFileW of
    "\\\\.\\X:" that returned it until another CreateFileW returns the same value."""
    volume = 'CreateFileW L"\\\\\\\\.\\\\%s:"' % letter
    handles = set()
    opening = None
    asked = None
    events = []
    with open(trace, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            if ":CreateFileW L\"" in line:
                opening = volume in line
                continue
            match = re.search(r":CreateFileW returning ([0-9A-Fa-f]+)", line)
            if match:
                (handles.add if opening else handles.discard)(int(match.group(1), 16))
                continue
            match = re.search(r":DeviceIoControl \(([0-9A-Fa-f]+),([0-9a-f]+),", line)
            if match and int(match.group(1), 16) in handles and match.group(2) in VOLUME_REQUESTS:
                events.append((VOLUME_REQUESTS[match.group(2)], int(match.group(1), 16), 0, ""))
                continue
            match = re.search(r":(ReadFile|WriteFile) ([0-9A-Fa-f]+) [0-9A-Fa-f]+ (\d+) ", line)
            if match:
                handle = int(match.group(2), 16)
                asked = (match.group(1), handle, int(match.group(3))) if handle in handles else None
                continue
            match = re.search(r":Nt(?:Read|Write)File = (.*)$", line)
            if match and asked:
                events.append(asked + (match.group(1).strip(),))
                asked = None
    return events


def volume_transfers(trace, letter):
    """The transfers among volume_events: (ReadFile or WriteFile, bytes, status)."""
    return [(e[0], e[2], e[3]) for e in volume_events(trace, letter) if e[0].endswith("File")]


def large_sector_checks(session, results, work, items):
    """A drive of 4096-byte sectors, in Wine's default version: a FAT16 volume
    made by mkfs.fat with such sectors, attached to a loop device of 4096-byte
    logical sectors that drive L: names. The program runs with sectorrule.c
    beside the mmap fix: Wine then refuses, as the kernel does for unbuffered
    access, every transfer on the device that is not whole sectors.
      - The picker lists L:; Read from disk shows what minfo reads in the image.
      - A written edit changes the image's bytes 0 to 511 only, the rest of its
        first 4096-byte sector included; fsck.fat accepts the volume.
      - Wine's +file trace of the program shows the rule in force: on L:'s
        handles a 512-byte read ended in STATUS_INVALID_PARAMETER (error 87,
        from EINVAL) and so did every transfer that was not whole sectors,
        while whole-sector reads and the write moved 4096 bytes; and the
        write's session: the volume locked, read again, written, dismounted
        and unlocked through the one handle that took the lock.
    Without loop devices (losetup refused, as on some CI machines) the case is
    skipped with a note."""
    case = "16 4096-byte sectors"
    driver = session.driver
    image = os.path.join(work, "fat16-4096.img")
    if os.path.exists(image):
        os.remove(image)
    made = e.run(["mkfs.fat", "-v", "--invariant", "-i", "1234ABCD", "-n", "KELTEST", "-C",
                  "-F", "16", "-S", "4096", "-s", "1", image, "20480"]).stdout
    clusters = re.search(r"provides (\d+) clusters", made)
    results.check("%s: mkfs.fat made 16-bit FATs" % case, True, "16-bit FATs" in made)
    results.check("%s: mkfs.fat made at least 4085 clusters" % case, True,
                  clusters is not None and int(clusters.group(1)) >= 4085)
    try:
        attach = subprocess.run(["losetup", "-f", "--show", "-b", "4096", image],
                                capture_output=True, text=True, timeout=60)
    except OSError as error:
        attach = subprocess.CompletedProcess([], 1, "", str(error))
    if attach.returncode != 0 or not attach.stdout.strip():
        results.note("SKIPPED %s: no loop device (losetup: %s)"
                     % (case, (attach.stderr or "").strip() or "no device named"))
        return
    device = attach.stdout.strip()
    original = open(image, "rb").read()
    expected = with_fields(original[:512], (28, "<I", 63))
    trace = os.path.join(session.work, "sector-4096-trace.log")
    try:
        results.check("%s: the loop device's sector size" % case, "4096",
                      e.run(["blockdev", "--getss", device]).stdout.strip())
        rule = wineenv.sector_rule_preload(os.path.join(work, "sectorrule"))
        session.map_drive("l", device)
        items = sorted(items + ["Disk L:"])
        program = session.start(extra_env={"LD_PRELOAD": session.env["LD_PRELOAD"] + " " + rule,
                                           "WINEDEBUG": "-all,+file"}, stderr_path=trace)
        dialog = driver.wait_main(120000)
        read_case(driver, dialog, results, case + ", read L:", "L", items,
                  expected_fat_form(image), session)
        driver.set(dialog, 1046, "63")
        driver.menu(dialog, e.MENU_WRITE_DISK)
        pick(driver, results, case + ", write L:", "L", items)
        question = driver.message(dialog, 60000, e.IDYES)
        e.check_box(results, "%s, write L:: question" % case, question, True, "L:", "FAT16",
                    "KELTEST")
        driver.get(dialog, e.KIND_BOX)  # answered once the write has ended
        driver.menu(dialog, e.MENU_EXIT)
        results.check("%s: exit code" % case, 0, session.wait_exit(program, 300))
        subprocess.run(["blockdev", "--flushbufs", device], capture_output=True, timeout=60)
    finally:
        subprocess.run(["losetup", "-d", device], capture_output=True, timeout=60)
        session.map_device("l", None)
    after = open(image, "rb").read()
    results.check("%s: bytes 0 to 511 as written" % case, expected.hex(), after[:512].hex())
    results.check("%s: the rest of the image unchanged" % case, True, after[512:] == original[512:])
    results.check("%s: fsck.fat accepts the volume" % case, 0, fsck(image))

    transfers = volume_transfers(trace, "L")
    results.note("transfers on L: %s" % ", ".join("%s %d: %s" % t for t in transfers))
    refused = "0xc000000d"  # STATUS_INVALID_PARAMETER, error 87
    results.check("%s: a 512-byte read of L: was refused" % case, True,
                  ("ReadFile", 512, refused) in transfers)
    results.check("%s: whole sectors moved, all else refused" % case, [],
                  [t for t in transfers
                   if t[2] != (refused if t[1] % 4096 else "SUCCESS (%d)" % t[1])])
    results.check("%s: one 4096-byte write" % case, [("WriteFile", 4096, "SUCCESS (4096)")],
                  [t for t in transfers if t[0] == "WriteFile"])
    # The write's session: the volume locked, read again, written, dismounted
    # and unlocked, all through the one handle that took the lock.
    events = volume_events(trace, "L")
    locked = [i for i, event in enumerate(events) if event[0] == "lock"]
    session_events = events[locked[0]:] if locked else []
    results.note("the write's session on L: %s"
                 % ", ".join("%s %x" % (event[0], event[1]) for event in session_events))
    results.check("%s: the write's requests" % case,
                  ["lock", "ReadFile", "ReadFile", "WriteFile", "dismount", "unlock"],
                  [event[0] for event in session_events])
    results.check("%s: one handle for the whole write" % case, 1,
                  len({event[1] for event in session_events}))


if __name__ == "__main__":
    sys.exit(main())
