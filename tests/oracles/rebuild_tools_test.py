#!/usr/bin/env python3
"""The boot sector rebuild over real volumes: mkfs.fat makes each one, mmd and
mcopy give it directories and files, then sector 0 (and the FAT32 backup) is
zeroed and kel_rebuild_tool writes its rebuilt sector there. Every field it
does not mark guessed must equal mkfs.fat's, the guessed ones must be the ones
the structures cannot tell, fsck.fat must accept the volume as it accepted the
original, and mdir must list the same tree. Likewise for NTFS: mkntfs and
ntfscp make the volume, both boot sector copies are zeroed, ntfsfix -n must
accept the rebuilt one and ntfsls list the same files; two cases rework the
$MFT first: into NTFS 3.0's 42-byte record headers, and into the layout
Windows formats ($MFT at cluster 0xC0000, the mirror at cluster 2).
Prints the sectors each scan read.

usage: rebuild_tools_test.py --tool kel_sector_tool --rebuild kel_rebuild_tool --work DIR
"""

import argparse
import os
import re
import shutil

from oracle_lib import Table, decode, run

# Nothing on a volume records these: the old sector 0 kept them.
ALWAYS_GUESSED = {"geometry", "hidden_sectors", "drive_number", "serial", "oem_name", "boot_code"}
# NTFS cases give the partition's start (-h); the media byte is always 0xF8.
NTFS_GUESSED = {"geometry", "drive_number", "serial", "boot_code", "media"}
NTFS_HIDDEN = 2048

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
    # NTFS: tree names how the $MFT is reworked; the last field the sectors
    # read, at most.
    (9, "NTFS, 4 KiB clusters", ["-c", "4096"], 65536, 512, "ntfs", False, set(), 200),
    (10, "NTFS, 64 KiB clusters", ["-c", "65536"], 65536, 512, "ntfs", False, set(), 400),
    (11, "NTFS 3.0 record headers", ["-c", "4096"], 65536, 512, "ntfs30", False, set(), 200),
    (12, "Windows layout, found through the mirror", ["-c", "4096"], 3088 * 1024, 512,
     "windows", False, set(), 200),
    (13, "NTFS, $MFT's first records lost: the mirror below the middle", ["-c", "4096"], 65536,
     512, "mftlost", False, {"sectors_per_cluster"}, 2400),
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
NTFS_FIELDS = {
    "bytes_per_sector": ["BPB_BytsPerSec"], "sectors_per_cluster": ["BPB_SecPerClus"],
    "total_sectors": ["ntfs.NtfsTotalSectors"], "hidden_sectors": ["BPB_HiddSec"],
    "mft_cluster": ["ntfs.MftCluster"], "mft_mirr_cluster": ["ntfs.MftMirrCluster"],
    "record_size": ["ntfs.ClustersPerFileRecord"], "index_size": ["ntfs.ClustersPerIndexBlock"],
    "oem_name": ["BS_OEMName"], "type": ["kind"],
}
WINDOWS_MFT, WINDOWS_MIRROR = 0xC0000, 2


def record_io(f, at, size, data=None):
    """Reads (data None) the file record at byte at with its update sequence
    applied, or writes data back with the sequence put in again."""
    f.seek(at)
    raw = bytearray(f.read(size)) if data is None else bytearray(data)
    usa = int.from_bytes(raw[4:6], "little")
    for i in range(1, size // 512 + 1):
        end = i * 512 - 2
        if data is None:
            raw[end:end + 2] = raw[usa + 2 * i:usa + 2 * i + 2]
        else:
            raw[usa + 2 * i:usa + 2 * i + 2] = raw[end:end + 2]
            raw[end:end + 2] = raw[usa:usa + 2]
    if data is not None:
        f.seek(at)
        f.write(raw)
    return raw


def set_data_lcn(rec, lcn):
    """Points the first run of the record's unnamed $DATA at lcn."""
    a = int.from_bytes(rec[0x14:0x16], "little")
    while int.from_bytes(rec[a:a + 4], "little") != 0x80 or rec[a + 9] != 0:
        a += int.from_bytes(rec[a + 4:a + 8], "little")
    runs = a + int.from_bytes(rec[a + 32:a + 34], "little")
    nlen = rec[runs] & 15
    length = rec[runs + 1:runs + 1 + nlen]
    old_end = runs + 1 + nlen + (rec[runs] >> 4)
    assert rec[old_end] == 0, "the $MFT's $DATA has more than one run"
    pair = bytes([0x30 | nlen]) + length + lcn.to_bytes(3, "little") + b"\0"
    assert runs + len(pair) <= a + int.from_bytes(rec[a + 4:a + 8], "little")
    rec[runs:runs + len(pair)] = pair


def rework_mft(image, how, bps):
    """ntfs30: records 0 to 3 in both copies get the 42-byte header (update
    sequence at 0x2A, no record number). windows: the $MFT moves to cluster
    0xC0000 and its mirror to cluster 2, the old places zeroed. mftlost: records
    0 to 3 zeroed in the $MFT."""
    with open(image, "r+b") as f:
        boot = bytearray(f.read(512))
        cluster = bps * boot[13]
        mft, mirror = (int.from_bytes(boot[o:o + 8], "little") for o in (48, 56))
        if how == "mftlost":
            f.seek(mft * cluster)
            f.write(bytes(4096))
            return
        if how == "ntfs30":
            for base in (mft, mirror):
                for n in range(4):
                    f.seek(base * cluster + n * 1024)
                    raw = bytearray(f.read(1024))
                    raw[0x2A:0x30] = raw[0x30:0x36]
                    raw[0x30:0x38] = bytes(8)
                    raw[4:6] = (0x2A).to_bytes(2, "little")
                    f.seek(base * cluster + n * 1024)
                    f.write(raw)
            return
        rec0 = record_io(f, mft * cluster, 1024)
        a = int.from_bytes(rec0[0x14:0x16], "little")
        while int.from_bytes(rec0[a:a + 4], "little") != 0x80:
            a += int.from_bytes(rec0[a + 4:a + 8], "little")
        mft_bytes = int.from_bytes(rec0[a + 40:a + 48], "little")
        for old, new, size in ((mft, WINDOWS_MFT, mft_bytes), (mirror, WINDOWS_MIRROR, cluster)):
            f.seek(old * cluster)
            data = f.read(size)
            f.seek(new * cluster)
            f.write(data)
            f.seek(old * cluster)
            f.write(bytes(size))
        for base in (WINDOWS_MFT, WINDOWS_MIRROR):
            for n, lcn in ((0, WINDOWS_MFT), (1, WINDOWS_MIRROR)):
                rec = record_io(f, base * cluster + n * 1024, 1024)
                set_data_lcn(rec, lcn)
                record_io(f, base * cluster + n * 1024, 1024, rec)
        for at in (0, os.path.getsize(image) - bps):
            boot[48:56] = WINDOWS_MFT.to_bytes(8, "little")
            boot[56:64] = WINDOWS_MIRROR.to_bytes(8, "little")
            f.seek(at)
            f.write(boot)


def make_volume(image, options, kib, tree, work):
    if options is None or tree not in ("tree", "root"):
        with open(image, "wb") as f:
            f.truncate(kib * 1024)
    if options is None:
        return
    if tree not in ("tree", "root"):
        run(["mkntfs", "-q", "-F", "-Q", "-T", "-p", str(NTFS_HIDDEN), "-H", "255", "-S", "63",
             "-L", "RESCUE"] + options + [image])
        for name, data in (("f1.bin", bytes(range(256)) * 80), ("f2.txt", b"rescued\n" * 999)):
            with open(os.path.join(work, name), "wb") as f:
                f.write(data)
            run(["ntfscp", "-q", image, os.path.join(work, name), name])
        if tree != "ntfs":
            rework_mft(image, tree, 512)
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


def ntfsfix_result(image):
    code, out = run(["ntfsfix", "-n", image], check=False)
    return code, "processed successfully" in out


def check_ntfs(table, original, image, ours, how, result, tree, guessed, args):
    table.check("exit code", "kel_rebuild_tool", 0, result["code"])
    table.check("fields marked guessed", "kel_rebuild_tool", sorted(NTFS_GUESSED | guessed),
                sorted(k for k, v in how.items() if v == "guessed"))
    table.check("$MFT found in the mirror, other copy agrees", "kel_rebuild_tool",
                "%d %d" % (tree in ("windows", "mftlost"), tree != "mftlost"),
                " ".join(result.get("mft", "").split()[1:3]))
    rebuilt = decode(args.tool, image)
    for field, names in NTFS_FIELDS.items():
        for n in names:
            table.check(n, "mkntfs (%s)" % how.get(field), ours[n], rebuilt[n])
    table.check("ntfsfix -n: exit code, success", "ntfsfix", ntfsfix_result(original),
                ntfsfix_result(image))
    table.check("ntfsls of the root", "ntfsls",
                run(["ntfsls", "-a", original], check=False)[1],
                run(["ntfsls", "-a", image], check=False)[1].replace(image, original))


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
        run(["cp", "--sparse=always", original, image])
        ours = decode(args.tool, original)
        fat32 = options is not None and ours["kind"] == 4
        ntfs = options is not None and ours["kind"] == 3
        zero(image, 0, bps)
        if ntfs:
            zero(image, kib * 1024 - bps, bps)
        if fat32:
            zero(image, ours["fat32.BPB_BkBootSec"] * bps, bps)
        if fat0:
            size = ours["fat32.BPB_FATSz32"]
            for n in range(ours["BPB_NumFATs"]):
                zero(image, (ours["BPB_RsvdSecCnt"] + n * size) * bps, 4)

        code, out = run([args.rebuild, image, "-S", str(bps), "-w"] +
                        (["-h", str(NTFS_HIDDEN)] if ntfs else []), check=False)
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
        if ntfs:
            check_ntfs(table, original, image, ours, how, dict(result, code=code), tree, guessed,
                       args)
            os.remove(original)
            os.remove(image)
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
