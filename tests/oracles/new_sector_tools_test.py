#!/usr/bin/env python3
"""The sectors of the create commands as independent tools see them.

Each sector is written by kel_sector_tool, placed at the start of a 1.44 MB image
and read by file (all five), by RecognizeFsKind after the round trip through a file,
and, for the 1.44 MB floppy preset, which is a complete FAT12 boot sector, by
minfo, blkid, fsck.fat and mtools, and byte for byte against the BPB that
mkfs.fat writes for the same floppy.

usage: new_sector_tools_test.py --tool kel_sector_tool --work DIR
"""

import os
import shutil

from oracle_lib import tool_and_work_dir, Table, decode, find_int, find_str, run

FLOPPY_BYTES = 1474560
SECTOR = 512

# What file prints for each sector: (what, pattern, base, expected). Sectors per
# cluster 0 keeps minfo and blkid away from all but the preset.
FILE_CASES = [
    (1, "New FAT12", "fat12", 1, [
        ("OEM name", r'OEM-ID "(.{8})"', None, "Morvane!"),
        ("jump target - 2", r"code offset 0x([0-9a-f]+)\+2", 16, 0x56),
        ("FAT type", r"FAT \((\d+) bit\)", 10, 12),
    ]),
    (2, "New FAT16", "fat16", 2, [
        ("OEM name", r'OEM-ID "(.{8})"', None, "Morvane!"),
        ("jump target - 2", r"code offset 0x([0-9a-f]+)\+2", 16, 0x56),
        ("media", r"Media descriptor 0x([0-9a-f]+)", 16, 0xF8),
        ("FAT type", r"FAT \((\d+) bit\)", 10, 16),
    ]),
    (3, "New FAT32", "fat32", 4, [
        ("OEM name", r'OEM-ID "(.{8})"', None, "Morvane!"),
        ("jump target - 2", r"code offset 0x([0-9a-f]+)\+2", 16, 0x56),
        ("media", r"Media descriptor 0x([0-9a-f]+)", 16, 0xF8),
        ("FAT type", r"FAT \((\d+) bit\)", 10, 32),
        ("reserved sectors", r"reserved sectors (\d+)", 10, 0),
        ("sectors per FAT", r"sectors/FAT (\d+)", 10, 0),
        ("FS information sector", r"infoSector (\d+)", 10, 0),
    ]),
    (4, "New NTFS", "ntfs", 3, [
        ("OEM name", r'OEM-ID "(.{8})"', None, "NTFS    "),
        ("jump target - 2", r"code offset 0x([0-9a-f]+)\+2", 16, 0x56),
        ("media", r"Media descriptor 0x([0-9a-f]+)", 16, 0xF8),
        ("seen as NTFS", r"; (NTFS),", None, "NTFS"),
        ("clusters per file record", r"clusters/RecordSegment (\d+)", 10, 0),
        ("clusters per index block", r"clusters/index block (\d+)", 10, 0),
        ("serial", r"serial number 0x?([0-9a-f]+)", 16, 0),
    ]),
    (5, "1.44 MB floppy preset", "floppy", 1, [
        ("OEM name", r'OEM-ID "(.{8})"', None, "Morvane!"),
        ("jump target - 2", r"code offset 0x([0-9a-f]+)\+2", 16, 0x56),
        ("root entries", r"root entries (\d+)", 10, 224),
        ("total sectors", r"sectors (\d+) \(volumes <=32 MB\)", 10, 2880),
        ("sectors per FAT", r"sectors/FAT (\d+)", 10, 9),
        ("sectors per track", r"sectors/track (\d+)", 10, 18),
        ("FAT type", r"FAT \((\d+) bit\)", 10, 12),
    ]),
]

# The preset as minfo prints it.
PRESET_MINFO = [
    ("banner", r'^banner:"(.*)"$', None, "Morvane!"),
    ("sector size", r"^sector size: (\d+) bytes", 10, 512),
    ("cluster size", r"^cluster size: (\d+) sectors", 10, 1),
    ("reserved sectors", r"^reserved \(boot\) sectors: (\d+)", 10, 1),
    ("FATs", r"^fats: (\d+)", 10, 2),
    ("root entries", r"^max available root directory slots: (\d+)", 10, 224),
    ("small size", r"^small size: (\d+) sectors", 10, 2880),
    ("media", r"^media descriptor byte: 0x([0-9a-f]+)", 16, 0xF0),
    ("sectors per FAT", r"^sectors per fat: (\d+)", 10, 9),
    ("sectors per track", r"^sectors per track: (\d+)", 10, 18),
    ("heads", r"^heads: (\d+)", 10, 2),
    ("hidden sectors", r"^hidden sectors: (\d+)", 10, 0),
]

# The preset's layout as fsck.fat works it out, once the two FATs begin with the
# media byte: data from sector 1 + 2 * 9 + 224 * 32 / 512 = 33 on, 2880 - 33 clusters.
PRESET_FSCK = [
    ("bytes per sector", r"^\s*(\d+) bytes per logical sector", 10, 512),
    ("bytes per cluster", r"^\s*(\d+) bytes per cluster", 10, 512),
    ("first FAT sector", r"^First FAT starts at byte \d+ \(sector (\d+)\)", 10, 1),
    ("FATs", r"^\s*(\d+) FATs, 12 bit entries", 10, 2),
    ("root directory sector", r"^Root directory starts at byte \d+ \(sector (\d+)\)", 10, 19),
    ("data sector", r"^Data area starts at byte \d+ \(sector (\d+)\)", 10, 33),
    ("data clusters", r"^\s*(\d+) data clusters", 10, 2847),
    ("sectors total", r"^\s*(\d+) sectors total", 10, 2880),
]


def read_value(pattern, base, text):
    return find_str(pattern, text) if base is None else find_int(pattern, text, base)


def check_listed(table, source, items, text):
    for what, pattern, base, expected in items:
        table.check(what, source, expected, read_value(pattern, base, text))


def check_preset(table, tool, work, image):
    _, t = run(["minfo", "-i", image, "::"])
    check_listed(table, "minfo", PRESET_MINFO, t.split("bootsector information", 1)[-1])

    _, t = run(["blkid", "-p", "-o", "export", image])
    table.check("TYPE", "blkid", "vfat", find_str(r"^TYPE=(.*)$", t))
    table.check("VERSION", "blkid", "FAT12", find_str(r"^VERSION=(.*)$", t))

    code, t = run(["fsck.fat", "-b", image], check=False)
    table.check("boot sector check exit code", "fsck.fat -b", 0, code)

    # The BPB from offset 11 to 35 is the one mkfs.fat writes for a 1.44 MB floppy.
    reference = os.path.join(work, "mkfs-floppy.img")
    run(["mkfs.fat", "--invariant", "-i", "1234ABCD", "-C", "-F", "12", reference, "1440"])
    with open(reference, "rb") as f:
        want = f.read(36)[11:]
    with open(image, "rb") as f:
        have = f.read(36)[11:]
    table.check("BPB bytes 11 to 35", "mkfs.fat 1.44 MB", want.hex(" "), have.hex(" "))

    # With the two FATs started (media byte, then 0xFF 0xFF), the volume is usable:
    # fsck.fat finds the layout above, and mtools stores a file and reads it back.
    for fat in (1, 10):
        with open(image, "r+b") as f:
            f.seek(fat * SECTOR)
            f.write(bytes([0xF0, 0xFF, 0xFF]))
    _, t = run(["fsck.fat", "-n", "-v", image], check=False)
    check_listed(table, "fsck.fat", PRESET_FSCK, t)
    payload = os.path.join(work, "payload.bin")
    data = bytes((i * 7 + 3) & 0xFF for i in range(5000))
    with open(payload, "wb") as f:
        f.write(data)
    run(["mcopy", "-i", image, payload, "::PAYLOAD.BIN"])
    code, out = run(["mtype", "-i", image, "::PAYLOAD.BIN"], check=False)
    table.check("file stored and read back by mtools", "mtools", (0, data.hex()),
                (code, out.encode("latin-1").hex()))
    _, t = run(["fsck.fat", "-n", image], check=False)
    table.check("files and used clusters after the copy", "fsck.fat", "1 files, 10/2847",
                find_str(r": (\d+ files, \d+/\d+) clusters", t))


def main():
    args = tool_and_work_dir()

    table = Table("New sectors against file, minfo, blkid, fsck.fat, mtools, mkfs.fat")
    for case_id, name, kind, fs_kind, file_items in FILE_CASES:
        table.case(case_id, name)
        sector = os.path.join(args.work, "new-%s.bin" % kind)
        run([args.tool, "create", kind, sector])
        table.check("sector file size", "create", SECTOR, os.path.getsize(sector))
        # Exported and imported again, the sector is recognised as its own kind.
        table.check("RecognizeFsKind", "import", fs_kind, decode(args.tool, sector)["kind"])
        image = os.path.join(args.work, "new-%s.img" % kind)
        shutil.copyfile(sector, image)
        with open(image, "r+b") as f:
            f.truncate(FLOPPY_BYTES)
        _, t = run(["file", "-b", image])
        check_listed(table, "file", file_items, t)
        if kind == "floppy":
            check_preset(table, args.tool, args.work, image)
    table.finish()


if __name__ == "__main__":
    main()
