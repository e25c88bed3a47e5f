#!/usr/bin/env python3
"""Real NTFS volumes, made at test time by mkntfs, read by our layout constants and
by ntfsinfo, file and blkid: RecognizeFsKind must give 3, and the NTFS fields
(sizes, geometry, $MFT and $MFTMirr clusters, total sectors, clusters per file
record and index block, serial) must agree with what the tools print and with the
values given to mkntfs, and our boot sector check finds nothing in them. Then the
NTFS volume of the check's case table (tests/core/check_cases.txt): made again, and
each case's record checked and shown to ntfsfix where the table names it.

usage: ntfs_tools_test.py --tool kel_sector_tool --work DIR
"""

import os

from oracle_lib import (tool_and_work_dir, Table, check_case_table, check_findings, decode,
                        find_int, find_str, ntfs_size, rule_names, run)

IMAGE_BYTES = 64 * 1024 * 1024

# Each case: the values given to mkntfs (sector size, cluster size, hidden sectors,
# heads, sectors per track). -T makes the volume, serial included, the same on
# every run.
CASES = [
    dict(id=1, name="512-byte clusters, 512-byte sectors", sector=512, cluster=512,
         hidden=2048, heads=255, spt=63),
    dict(id=2, name="4096-byte clusters, 512-byte sectors", sector=512, cluster=4096,
         hidden=63, heads=16, spt=32),
    dict(id=3, name="4096-byte clusters, 4096-byte sectors", sector=4096, cluster=4096,
         hidden=1000000, heads=240, spt=60),
]


def check_ntfsinfo(table, ours, image):
    _, t = run(["ntfsinfo", "-t", "-m", image])
    s = "ntfsinfo"
    sector = ours["BPB_BytsPerSec"]
    cluster = sector * ours["BPB_SecPerClus"]
    table.check("BPB_BytsPerSec", s, find_int(r"^\s*Sector Size: (\d+)", t), sector)
    table.check("BPB_BytsPerSec * BPB_SecPerClus", s, find_int(r"^\s*Cluster Size: (\d+)", t),
                cluster)
    table.check("ntfs.NtfsTotalSectors / BPB_SecPerClus", s,
                find_int(r"^\s*Volume Size in Clusters: (\d+)", t),
                ours["ntfs.NtfsTotalSectors"] // ours["BPB_SecPerClus"])
    table.check("ntfs.ClustersPerFileRecord as bytes", s,
                find_int(r"^\s*MFT Record Size: (\d+)", t),
                ntfs_size(ours["ntfs.ClustersPerFileRecord"], cluster))
    table.check("ntfs.ClustersPerIndexBlock as bytes", s,
                find_int(r"^\s*Index Block Size: (\d+)", t),
                ntfs_size(ours["ntfs.ClustersPerIndexBlock"], cluster))
    table.check("ntfs.MftCluster", s,
                find_int(r"^\s*LCN of Data Attribute for FILE_MFT: (\d+)", t),
                ours["ntfs.MftCluster"])
    table.check("ntfs.MftMirrCluster", s,
                find_int(r"^\s*LCN of Data Attribute for File_MFTMirr: (\d+)", t),
                ours["ntfs.MftMirrCluster"])


def file_record_field(text, kind):
    """file prints a clusters-per field either as a cluster count or, for a negative
    byte, as 2^(-1*N) with N the byte as unsigned; both give our u32 reading back
    when the upper three bytes are zero."""
    n = find_int(r"clusters/%s (\d+)" % kind, text)
    if n is None:
        n = find_int(r"bytes/%s 2\^\(-1\*(\d+)\)" % kind, text)
    return n


def check_file(table, ours, image):
    _, t = run(["file", "-b", image])
    s = "file"
    expected = [
        ("BS_OEMName", find_str(r'OEM-ID "(.{8})"', t)),
        ("BPB_Media", find_int(r"Media descriptor 0x([0-9a-f]+)", t, 16)),
        ("BPB_SecPerTrk", find_int(r"sectors/track (\d+)", t)),
        ("BPB_NumHeads", find_int(r"heads (\d+)", t)),
        ("BPB_HiddSec", find_int(r"hidden sectors (\d+)", t)),
        ("ntfs.NtfsTotalSectors", find_int(r"NTFS, .*sectors (\d+)", t)),
        ("ntfs.MftCluster", find_int(r"\$MFT start cluster (\d+)", t)),
        ("ntfs.MftMirrCluster", find_int(r"\$MFTMirror start cluster (\d+)", t)),
        ("ntfs.ClustersPerFileRecord", file_record_field(t, "RecordSegment")),
        ("ntfs.ClustersPerIndexBlock", file_record_field(t, "index block")),
        # Printed as "0" and the hexadecimal digits.
        ("ntfs.NtfsVolumeSerial", find_int(r"serial number 0x?([0-9a-f]+)", t, 16)),
    ]
    # Left out of file's text when they hold its defaults (512 and 1); mkntfs and
    # ntfsinfo check them in every case.
    optional = [
        ("BPB_BytsPerSec", find_int(r"Bytes/sector (\d+)", t)),
        ("BPB_SecPerClus", find_int(r"sectors/cluster (\d+)", t)),
    ]
    for field, value in optional:
        if value is not None:
            table.check(field, s, value, ours[field])
    if "NTFS" not in t:
        table.fail("file", "not seen as NTFS: " + t)
    for field, value in expected:
        if value is None:
            table.fail(field, "file did not print it: " + t)
        else:
            table.check(field, s, value, ours[field])


def check_blkid(table, ours, image):
    _, t = run(["blkid", "-p", "-o", "export", image])
    s = "blkid"
    table.check("TYPE", s, find_str(r"^TYPE=(.*)$", t), "ntfs")
    table.check("ntfs.NtfsVolumeSerial as UUID", s, find_str(r"^UUID=(.*)$", t),
                "%016X" % ours["ntfs.NtfsVolumeSerial"])


def main():
    args = tool_and_work_dir()

    table = Table("NTFS volumes against mkntfs, ntfsinfo, file, blkid")
    names = rule_names()
    for case in CASES:
        table.case(case["id"], case["name"])
        image = os.path.join(args.work, "ntfs-%d.img" % case["id"])
        with open(image, "wb") as f:
            f.truncate(IMAGE_BYTES)
        run(["mkntfs", "-q", "-F", "-f", "-T", "-s", str(case["sector"]), "-c",
             str(case["cluster"]), "-p", str(case["hidden"]), "-H", str(case["heads"]), "-S",
             str(case["spt"]), "-L", "ORACLE%d" % case["id"], image])
        ours = decode(args.tool, image)
        table.check("RecognizeFsKind", "NTFS", 3, ours["kind"])
        s = "mkntfs"
        table.check("BS_OEMName", s, "NTFS    ", ours["BS_OEMName"])
        table.check("BPB_BytsPerSec", s, case["sector"], ours["BPB_BytsPerSec"])
        table.check("BPB_SecPerClus", s, case["cluster"] // case["sector"],
                    ours["BPB_SecPerClus"])
        table.check("BPB_HiddSec", s, case["hidden"], ours["BPB_HiddSec"])
        table.check("BPB_NumHeads", s, case["heads"], ours["BPB_NumHeads"])
        table.check("BPB_SecPerTrk", s, case["spt"], ours["BPB_SecPerTrk"])
        # mkntfs keeps the last sector for the backup boot sector.
        table.check("ntfs.NtfsTotalSectors", s, IMAGE_BYTES // case["sector"] - 1,
                    ours["ntfs.NtfsTotalSectors"])
        table.check("Signature", s, 0xAA55, ours["Signature"])
        check_ntfsinfo(table, ours, image)
        check_file(table, ours, image)
        check_blkid(table, ours, image)
        table.check("boot sector check", "kel_sector_tool check", set(),
                    check_findings(args.tool, image, names))
        os.remove(image)
    check_case_table(table, args.tool, args.work, "mkntfs", 100)
    table.finish()


if __name__ == "__main__":
    main()
