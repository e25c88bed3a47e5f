#!/usr/bin/env python3
"""Real FAT12, FAT16 and FAT32 volumes, made at test time by mkfs.fat, read by our
layout constants and by minfo, file, fsck.fat and blkid: RecognizeFsKind must give
1, 2 or 4, and every boot sector field must agree with what the tools print and with
the values given to mkfs.fat. Our boot sector check finds nothing in them. Then the
FAT volumes of the check's case table (tests/core/check_cases.txt): made again, and
each case's record checked and shown to fsck.fat where the table names it.

usage: fat_tools_test.py --tool kel_sector_tool --work DIR
"""

import os

from oracle_lib import (tool_and_work_dir, Table, check_case_table, check_findings, decode,
                        find_int, find_str, rule_names, run)

SERIAL = 0x1234ABCD
KIND_OF_BITS = {12: 1, 16: 2, 32: 4}

# Each case: the FAT type, the size in KiB and the fields given to mkfs.fat (or
# patched in afterwards), and what our boot sector check finds (nothing, unless
# "check" says otherwise). The values given are themselves expected values of our
# decoding. Geometry is given
# as both BPB_NumHeads and BPB_SecPerTrk (mkfs.fat -g H/S).
CASES = [
    dict(id=1, name="FAT12 1.44 MB floppy, defaults", bits=12, kib=1440, label="FLOPPY", set={}),
    dict(id=2, name="FAT12, 1024-byte sectors, one FAT", bits=12, kib=4000, label="ONEFAT",
         set=dict(BPB_BytsPerSec=1024, BPB_SecPerClus=2, BPB_RsvdSecCnt=4, BPB_RootEntCnt=112,
                  BPB_Media=0xF9, BPB_HiddSec=63, BPB_NumHeads=16, BPB_SecPerTrk=63,
                  BPB_NumFATs=1)),
    dict(id=3, name="FAT16, hidden sectors above 65535 with a 16-bit total", bits=16,
         kib=16384, label="HIDDEN",
         set=dict(BPB_SecPerClus=4, BPB_RsvdSecCnt=8, BPB_RootEntCnt=512, BPB_HiddSec=70000,
                  BPB_NumHeads=64, BPB_SecPerTrk=32, BS_DrvNum=0x81)),
    dict(id=4, name="FAT16, 4096-byte sectors, media 0xF0", bits=16, kib=40000, label="FOURK",
         set=dict(BPB_BytsPerSec=4096, BPB_SecPerClus=1, BPB_Media=0xF0, BPB_NumHeads=2,
                  BPB_SecPerTrk=36)),
    dict(id=5, name="FAT16, 32-bit total sectors", bits=16, kib=200000, label="BIGFAT16",
         set=dict(BPB_SecPerClus=16, BPB_RootEntCnt=1024, BPB_HiddSec=2048, BPB_NumHeads=255,
                  BPB_SecPerTrk=63, BPB_Media=0xF8, BS_DrvNum=0x80)),
    dict(id=6, name="FAT32, 512-byte sectors", bits=32, kib=40000, label="FAT32VOL",
         set=dict(BPB_SecPerClus=1, BPB_HiddSec=2048, BPB_NumHeads=255, BPB_SecPerTrk=63)),
    dict(id=7, name="FAT32, 1024-byte sectors, one FAT, backup at 3, drive 0x81", bits=32,
         kib=70000, label="W1",
         set=dict(BPB_BytsPerSec=1024, BPB_SecPerClus=1, BPB_RsvdSecCnt=12, BPB_NumFATs=1,
                  fat32_BPB_BkBootSec=3, BPB_Media=0xF0, BS_DrvNum=0x81, BPB_HiddSec=100000,
                  BPB_NumHeads=128, BPB_SecPerTrk=32, fat32_BPB_ExtFlags=0x80),
         # mkfs.fat has no option for the FAT mirroring flags: "mirroring off, FAT 0
         # active" is written at offset 40 of the boot sector and of its backup.
         patch=dict(offset=40, data=b"\x80\x00", sectors=(0, 3))),
]

# The extended fields, at offset 36 on in FAT12/FAT16 and at offset 64 on in FAT32.
EXTENDED = ("BS_DrvNum", "BS_BootSig", "BS_VolID", "BS_VolLab", "BS_FilSysType")

OPTION = dict(BPB_BytsPerSec="-S", BPB_SecPerClus="-s", BPB_RsvdSecCnt="-R",
              BPB_RootEntCnt="-r", BPB_Media="-M", BPB_HiddSec="-h", BPB_NumFATs="-f",
              BS_DrvNum="-D", fat32_BPB_BkBootSec="-b")


def mkfs_command(case, image):
    cmd = ["mkfs.fat", "--invariant", "-i", "%08X" % SERIAL, "-n", case["label"], "-C",
           "-F", str(case["bits"])]
    given = case["set"]
    for field, option in OPTION.items():
        if field in given:
            value = given[field]
            cmd += [option, "0x%X" % value if field in ("BPB_Media", "BS_DrvNum") else str(value)]
    if "BPB_NumHeads" in given:
        cmd += ["-g", "%d/%d" % (given["BPB_NumHeads"], given["BPB_SecPerTrk"])]
    return cmd + [image, str(case["kib"])]


class Checker:
    """Compares one reference value with our decoding and remembers which fields
    were compared in full (not only in part, like minfo's 16-bit hidden sectors)."""

    def __init__(self, table, ours, bits):
        self.table = table
        self.ours = ours
        self.bits = bits
        self.covered = set()

    def name(self, field):
        """Our field name: the extended fields live at other offsets in FAT32."""
        if field in EXTENDED:
            return ("fat32." if self.bits == 32 else "fat16.") + field
        if field.startswith("fat32_"):
            return "fat32." + field[len("fat32_"):]
        return field

    def same(self, field, source, expected, full=True):
        if expected is None:
            return  # the tool does not print this field here
        ours_name = self.name(field)
        self.table.check(ours_name, source, expected, self.ours[ours_name])
        if full:
            self.covered.add(ours_name)

    def derived(self, what, source, expected, actual):
        if expected is not None:
            self.table.check(what, source, expected, actual)


def check_minfo(c, image):
    _, out = run(["minfo", "-i", image, "::"])
    boot = out.split("bootsector information", 1)
    if len(boot) != 2:
        c.table.fail("minfo", "no boot sector section in:\n" + out)
        return
    t = boot[1]
    s = "minfo"
    c.same("BS_OEMName", s, find_str(r'^banner:"(.*)"$', t))
    c.same("BPB_BytsPerSec", s, find_int(r"^sector size: (\d+) bytes", t))
    c.same("BPB_SecPerClus", s, find_int(r"^cluster size: (\d+) sectors", t))
    c.same("BPB_RsvdSecCnt", s, find_int(r"^reserved \(boot\) sectors: (\d+)", t))
    c.same("BPB_NumFATs", s, find_int(r"^fats: (\d+)", t))
    c.same("BPB_RootEntCnt", s, find_int(r"^max available root directory slots: (\d+)", t))
    c.same("BPB_TotSec16", s, find_int(r"^small size: (\d+) sectors", t))
    c.same("BPB_Media", s, find_int(r"^media descriptor byte: 0x([0-9a-f]+)", t, 16))
    c.same("BPB_FATSz16", s, find_int(r"^sectors per fat: (\d+)", t))
    c.same("BPB_SecPerTrk", s, find_int(r"^sectors per track: (\d+)", t))
    c.same("BPB_NumHeads", s, find_int(r"^heads: (\d+)", t))
    hidden = find_int(r"^hidden sectors: (\d+)", t)
    if c.ours["BPB_TotSec16"] != 0 and hidden is not None:
        # minfo keeps only 16 bits of the hidden sectors when the 16-bit total is set.
        c.derived("BPB_HiddSec & 0xFFFF", s + ", 16 bits", hidden, c.ours["BPB_HiddSec"] & 0xFFFF)
    else:
        c.same("BPB_HiddSec", s, hidden)
    c.same("BPB_TotSec32", s, find_int(r"^big size: (\d+) sectors", t))
    c.same("BS_DrvNum", s, find_int(r"^physical drive id: 0x([0-9a-f]+)", t, 16))
    c.same("BS_BootSig", s, find_int(r"^dos4=0x([0-9a-f]+)", t, 16))
    c.same("BS_VolID", s, find_int(r"^serial number: ([0-9A-F]+)", t, 16))
    c.same("BS_VolLab", s, find_str(r'^disk label="(.*)"', t))
    c.same("BS_FilSysType", s, find_str(r'^disk type="(.*)"', t))
    if c.bits == 32:
        c.same("fat32_BPB_FATSz32", s, find_int(r"^Big fatlen=(\d+)", t))
        c.same("fat32_BPB_ExtFlags", s, find_int(r"^Extended flags=0x([0-9a-f]+)", t, 16))
        c.same("fat32_BPB_FSVer", s, find_int(r"^FS version=0x([0-9a-f]+)", t, 16))
        c.same("fat32_BPB_RootClus", s, find_int(r"^rootCluster=(\d+)", t))
        c.same("fat32_BPB_FSInfo", s, find_int(r"^infoSector location=(\d+)", t))
        c.same("fat32_BPB_BkBootSec", s, find_int(r"^backup boot sector=(\d+)", t))


def check_file(c, image):
    _, t = run(["file", "-b", image])
    s = "file"
    if not t.startswith("DOS/MBR boot sector"):
        c.table.fail("file", "not seen as a boot sector: " + t)
        return
    c.same("BS_OEMName", s, find_str(r'OEM-ID "(.{8})"', t))
    c.derived("jump target - 2", s, find_int(r"code offset 0x([0-9a-f]+)\+2", t, 16),
              ord(c.ours["BS_jmpBoot"][1]))
    c.same("BPB_BytsPerSec", s, find_int(r"Bytes/sector (\d+)", t))
    c.same("BPB_SecPerClus", s, find_int(r"sectors/cluster (\d+)", t))
    c.same("BPB_RsvdSecCnt", s, find_int(r"reserved sectors (\d+)", t))
    c.same("BPB_NumFATs", s, find_int(r"(?:^|, )FAT +(\d+)(?=,|$)", t))
    c.same("BPB_RootEntCnt", s, find_int(r"root entries (\d+)", t))
    c.same("BPB_TotSec16", s, find_int(r"sectors (\d+) \(volumes <=32 MB\)", t))
    c.same("BPB_TotSec32", s, find_int(r"sectors (\d+) \(volumes > 32 MB\)", t))
    c.same("BPB_Media", s, find_int(r"Media descriptor 0x([0-9a-f]+)", t, 16))
    c.same("fat32_BPB_FATSz32" if c.bits == 32 else "BPB_FATSz16", s,
           find_int(r"sectors/FAT (\d+)", t))
    c.same("BPB_SecPerTrk", s, find_int(r"sectors/track (\d+)", t))
    c.same("BPB_NumHeads", s, find_int(r"heads (\d+)", t))
    c.same("BPB_HiddSec", s, find_int(r"hidden sectors (\d+)", t))
    c.same("BS_DrvNum", s, find_int(r"physical drive 0x([0-9a-f]+)", t, 16))
    c.same("BS_VolID", s, find_int(r"serial number 0x([0-9a-f]+)", t, 16))
    c.same("BS_VolLab", s, find_str(r'label: "(.{11})"', t))
    c.derived("FAT type", s, find_int(r"FAT \((\d+) bit\)", t), c.bits)
    if c.bits == 32:
        c.same("fat32_BPB_ExtFlags", s, find_int(r"extension flags 0x([0-9a-f]+)", t, 16))
        c.same("fat32_BPB_FSInfo", s, find_int(r"infoSector (\d+)", t))
        c.same("fat32_BPB_BkBootSec", s, find_int(r"Backup boot sector (\d+)", t))


def check_fsck(c, image):
    code, t = run(["fsck.fat", "-n", "-v", image], check=False)
    s = "fsck.fat"
    c.derived("fsck.fat exit code", s, 0, code)
    c.same("BS_OEMName", s, find_str(r'^System ID "(.*)"', t))
    c.same("BPB_Media", s, find_int(r"^Media byte 0x([0-9a-f]+)", t, 16))
    c.same("BPB_BytsPerSec", s, find_int(r"^\s*(\d+) bytes per logical sector", t))
    cluster = find_int(r"^\s*(\d+) bytes per cluster", t)
    c.derived("BPB_BytsPerSec * BPB_SecPerClus", s, cluster,
              c.ours["BPB_BytsPerSec"] * c.ours["BPB_SecPerClus"])
    c.same("BPB_RsvdSecCnt", s, find_int(r"^\s*(\d+) reserved sectors?$", t))
    c.same("BPB_NumFATs", s, find_int(r"^\s*(\d+) FATs, \d+ bit entries", t))
    c.derived("FAT entry bits", s, find_int(r"^\s*\d+ FATs, (\d+) bit entries", t), c.bits)
    c.same("fat32_BPB_FATSz32" if c.bits == 32 else "BPB_FATSz16", s,
           find_int(r"bytes per FAT \(= (\d+) sectors\)", t))
    c.same("BPB_RootEntCnt", s, find_int(r"^\s*(\d+) root directory entries", t))
    c.same("fat32_BPB_RootClus", s, find_int(r"^Root directory start at cluster (\d+)", t))
    c.same("BPB_SecPerTrk", s, find_int(r"^(\d+) sectors/track, \d+ heads", t))
    c.same("BPB_NumHeads", s, find_int(r"^\d+ sectors/track, (\d+) heads", t))
    c.same("BPB_HiddSec", s, find_int(r"^\s*(\d+) hidden sectors", t))
    total = find_int(r"^\s*(\d+) sectors total", t)
    c.same("BPB_TotSec16" if c.ours["BPB_TotSec16"] else "BPB_TotSec32", s, total)


def check_blkid(c, image):
    _, t = run(["blkid", "-p", "-o", "export", image])
    s = "blkid"
    c.derived("TYPE", s, find_str(r"^TYPE=(.*)$", t), "vfat")
    c.derived("VERSION", s, find_str(r"^VERSION=(.*)$", t), "FAT%d" % c.bits)
    c.same("BPB_BytsPerSec", s, find_int(r"^BLOCK_SIZE=(\d+)", t))
    uuid = find_str(r"^UUID=(.*)$", t)
    volid = c.ours[c.name("BS_VolID")]
    c.derived("UUID from BS_VolID", s, uuid, "%04X-%04X" % (volid >> 16, volid & 0xFFFF))
    label = find_str(r"^LABEL_FATBOOT=(.*)$", t)
    c.derived("BS_VolLab without its blanks", s, label,
              c.ours[c.name("BS_VolLab")].rstrip(" "))


def required_fields(ours, bits):
    common = ["BS_OEMName", "BPB_BytsPerSec", "BPB_SecPerClus", "BPB_RsvdSecCnt",
              "BPB_NumFATs", "BPB_RootEntCnt", "BPB_TotSec16", "BPB_Media", "BPB_FATSz16",
              "BPB_SecPerTrk", "BPB_NumHeads", "BPB_HiddSec"]
    if bits == 32:
        return common + ["BPB_TotSec32", "fat32.BPB_FATSz32", "fat32.BPB_ExtFlags",
                         "fat32.BPB_FSVer", "fat32.BPB_RootClus", "fat32.BPB_FSInfo",
                         "fat32.BPB_BkBootSec", "fat32.BS_DrvNum", "fat32.BS_BootSig",
                         "fat32.BS_VolID", "fat32.BS_VolLab", "fat32.BS_FilSysType"]
    # No tool reads the 32-bit total while the 16-bit one is set.
    extra = ["BPB_TotSec32"] if ours["BPB_TotSec16"] == 0 else []
    return common + extra + ["fat16.BS_DrvNum", "fat16.BS_BootSig", "fat16.BS_VolID",
                             "fat16.BS_VolLab", "fat16.BS_FilSysType"]


def main():
    args = tool_and_work_dir()

    table = Table("FAT volumes against mkfs.fat, minfo, file, fsck.fat, blkid")
    names = rule_names()
    for case in CASES:
        table.case(case["id"], case["name"])
        image = os.path.join(args.work, "fat-%d.img" % case["id"])
        run(mkfs_command(case, image))
        patch = case.get("patch")
        if patch:
            sector_bytes = case["set"].get("BPB_BytsPerSec", 512)
            with open(image, "r+b") as f:
                for sector in patch["sectors"]:
                    f.seek(sector * sector_bytes + patch["offset"])
                    f.write(patch["data"])
        ours = decode(args.tool, image)
        c = Checker(table, ours, case["bits"])
        c.derived("RecognizeFsKind", "FAT%d" % case["bits"], KIND_OF_BITS[case["bits"]],
                  ours["kind"])
        for field, value in case["set"].items():
            c.same(field, "given", value)
        c.same("BS_VolID", "mkfs.fat", SERIAL)
        c.same("BS_VolLab", "mkfs.fat", case["label"].ljust(11))
        c.same("BS_FilSysType", "mkfs.fat", ("FAT%d" % case["bits"]).ljust(8))
        c.derived("Signature", "mkfs.fat", 0xAA55, ours["Signature"])
        check_minfo(c, image)
        check_file(c, image)
        check_fsck(c, image)
        check_blkid(c, image)
        c.derived("boot sector check", "kel_sector_tool check", case.get("check", set()),
                  check_findings(args.tool, image, names))
        for field in required_fields(ours, case["bits"]):
            if field not in c.covered:
                table.fail(field, "no tool printed this field in full")
        os.remove(image)
    check_case_table(table, args.tool, args.work, "mkfs.fat", 100)
    table.finish()


if __name__ == "__main__":
    main()
