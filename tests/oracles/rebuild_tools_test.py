#!/usr/bin/env python3
"""The boot sector rebuild over real volumes: mkfs.fat makes each one, mmd and
mcopy give it directories and files, then sector 0 (and the FAT32 backup) is
zeroed and kel_rebuild_tool writes its rebuilt sector there. Every field it
does not mark guessed must equal mkfs.fat's, the guessed ones must be the ones
the structures cannot tell, fsck.fat must accept the volume as it accepted the
original, and mdir must list the same tree. Prints the sectors each scan read.

usage: rebuild_tools_test.py --tool kel_sector_tool --rebuild kel_rebuild_tool --work DIR
"""

import argparse
import os
import re
import shutil

from oracle_lib import Table, decode, run

# Nothing on a volume records these: the old sector 0 kept them.
ALWAYS_GUESSED = {"geometry", "hidden_sectors", "drive_number", "serial", "oem_name", "boot_code"}

# id, name, mkfs.fat options, KiB, sector bytes, tree (subdirectories) or root
# (files in the root only), FAT[0] zeroed, fields guessed beyond the usual,
# at most this many sectors read.
CASES = [
    (1, "FAT12 1.44 MB", ["-F", "12"], 1440, 512, "tree", False, set(), 128),
    (2, "FAT16, 4 sectors per cluster", ["-F", "16", "-s", "4"], 16384, 512, "tree", False,
     set(), 128),
    (3, "FAT32, 38 reserved sectors", ["-F", "32", "-s", "1", "-R", "38"], 40000, 512, "tree",
     False, set(), 1280),
    (4, "FAT32, one FAT", ["-F", "32", "-s", "1", "-f", "1"], 40000, 512, "tree", False, set(),
     768),
    (5, "FAT32, FAT[0] zeroed in both copies", ["-F", "32", "-s", "1"], 40000, 512, "tree", True,
     {"media"}, 1280),
    (6, "FAT16, only a root directory", ["-F", "16"], 16384, 512, "root", False,
     {"sectors_per_cluster", "root_entries"}, 7620),
    (7, "FAT16, 4096-byte sectors", ["-F", "16", "-S", "4096", "-s", "1"], 40960, 4096, "tree",
     False, set(), 128),
    (8, "a volume of zeros", None, 2048, 512, None, False, None, 4096),
]

# The rebuild's fields and where kel_sector_tool decode shows them; X is the
# extended fields' layout (fat16 or fat32).
FIELDS = {
    "bytes_per_sector": ["BPB_BytsPerSec"], "sectors_per_cluster": ["BPB_SecPerClus"],
    "reserved_sectors": ["BPB_RsvdSecCnt"], "fats": ["BPB_NumFATs"],
    "root_entries": ["BPB_RootEntCnt"], "total_sectors": ["BPB_TotSec16", "BPB_TotSec32"],
    "media": ["BPB_Media"], "fat_size": ["BPB_FATSz16"],
    "geometry": ["BPB_SecPerTrk", "BPB_NumHeads"], "hidden_sectors": ["BPB_HiddSec"],
    "root_cluster": ["fat32.BPB_RootClus"], "fs_info": ["fat32.BPB_FSInfo"],
    "backup_sector": ["fat32.BPB_BkBootSec"], "drive_number": ["X.BS_DrvNum"],
    "serial": ["X.BS_VolID"], "label": ["X.BS_VolLab"], "oem_name": ["BS_OEMName"],
    "type": ["kind"],
}


def make_volume(image, options, kib, tree, work):
    if options is None:
        with open(image, "wb") as f:
            f.truncate(kib * 1024)
        return
    run(["mkfs.fat", "--invariant", "-i", "1234ABCD", "-n", "RESCUE", "-C"] + options +
        [image, str(kib)])
    files = {"F1.BIN": bytes(range(256)) * 80,
             "F2.TXT": "".join("%d\n" % i for i in range(3000)).encode()}
    for name, data in files.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    if tree == "tree":
        run(["mmd", "-i", image, "::/ALPHA", "::/BETA", "::/ALPHA/GAMMA"])
    run(["mcopy", "-i", image, os.path.join(work, "F1.BIN"), "::/F1.BIN"])
    run(["mcopy", "-i", image, os.path.join(work, "F2.TXT"),
         "::/ALPHA/F2.TXT" if tree == "tree" else "::/F2.TXT"])


def zero(image, offset, length):
    with open(image, "r+b") as f:
        f.seek(offset)
        f.write(bytes(length))


def fsck_summary(image):
    code, out = run(["fsck.fat", "-n", image], check=False)
    m = re.search(r"^\S+: (\d+ files, \d+/\d+ clusters)$", out, re.M)
    return code, m.group(1) if m else out.strip()[-300:]


def listing(image):
    return run(["mdir", "-/", "-b", "-i", image, "::"], check=False)[1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tool", required=True)
    ap.add_argument("--rebuild", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)

    table = Table("boot sector rebuild against mkfs.fat, fsck.fat and mdir")
    for cid, name, options, kib, bps, tree, fat0, guessed, most in CASES:
        table.case(cid, name)
        original = os.path.join(args.work, "rebuild-%d.img" % cid)
        make_volume(original, options, kib, tree, args.work)
        image = original + ".rescued"
        shutil.copyfile(original, image)
        ours = decode(args.tool, original)
        fat32 = options is not None and ours["kind"] == 4
        zero(image, 0, bps)
        if fat32:
            zero(image, ours["fat32.BPB_BkBootSec"] * bps, bps)
        if fat0:
            size = ours["fat32.BPB_FATSz32"]
            for n in range(ours["BPB_NumFATs"]):
                zero(image, (ours["BPB_RsvdSecCnt"] + n * size) * bps, 4)

        code, out = run([args.rebuild, image, "-S", str(bps), "-w"], check=False)
        print("  " + " ".join(l for l in out.splitlines() if not l.startswith("how")))
        result = dict(l.partition(" ")[::2] for l in out.splitlines() if not l.startswith("how"))
        how = dict(l.split(" ")[1:] for l in out.splitlines() if l.startswith("how"))
        read = int(result.get("read", "-1"))
        table.check("sectors read, at most", "kel_rebuild_tool", True, 0 <= read <= most)
        if options is None:
            table.check("exit code, nothing found", "kel_rebuild_tool", 3, code)
            table.check("sectors searched", "kel_rebuild_tool", "0 %d" % (kib * 1024 // bps),
                        result.get("searched"))
            with open(image, "rb") as f:
                table.check("image left as it was", "kel_rebuild_tool", True,
                            f.read(bps) == bytes(bps))
            continue
        table.check("exit code", "kel_rebuild_tool", 0, code)
        table.check("fields marked guessed", "kel_rebuild_tool",
                    sorted(ALWAYS_GUESSED | guessed),
                    sorted(k for k, v in how.items() if v == "guessed"))
        rebuilt = decode(args.tool, image)
        layout = "fat32" if fat32 else "fat16"
        for field, names in FIELDS.items():
            if how.get(field) in ("guessed", "-"):
                continue
            for n in names + (["fat32.BPB_FATSz32"] if field == "fat_size" and fat32 else []):
                n = n.replace("X.", layout + ".")
                table.check(n, "mkfs.fat (%s)" % how.get(field), ours[n], rebuilt[n])
        table.check("file system type", "mkfs.fat", ours[layout + ".BS_FilSysType"][:5],
                    rebuilt[layout + ".BS_FilSysType"][:5])
        table.check("Signature", "rebuilt", 0xAA55, rebuilt["Signature"])

        if fat0:
            # fsck.fat gives up on a FAT whose FAT[0] is zero, whatever the boot
            # sector says: put back the media byte the rebuild chose, as a FAT
            # repair would.
            head = bytes([rebuilt["BPB_Media"], 0xFF, 0xFF, 0x0F])
            with open(image, "r+b") as f:
                for n in range(rebuilt["BPB_NumFATs"]):
                    f.seek((rebuilt["BPB_RsvdSecCnt"] + n * rebuilt["fat32.BPB_FATSz32"]) * bps)
                    f.write(head)
        table.check("fsck.fat -n: exit code and summary", "fsck.fat", fsck_summary(original),
                    fsck_summary(image))
        table.check("mdir of the whole tree", "mdir", listing(original), listing(image))
        os.remove(original)
        os.remove(image)
    table.finish()


if __name__ == "__main__":
    main()
