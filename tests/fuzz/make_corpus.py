#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into the folder given: first sectors of real
volumes made by mkfs.fat and mkntfs, and hand-made edge records."""
import os
import subprocess
import sys
import tempfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def save(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


def first_sector(command, size_bytes):
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "volume.img")
        with open(image, "wb") as f:
            f.truncate(size_bytes)
        subprocess.run(command + [image] if "{}" not in command else
                       [a.replace("{}", image) for a in command],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(image, "rb") as f:
            return f.read(512)


mkfs = ["mkfs.fat", "--invariant", "-i", "1234ABCD", "-n", "SEED"]
volumes = {
    "fat12-floppy": (mkfs + ["-F", "12", "-M", "0xF0", "{}"], 1474560),
    "fat12-1k-sectors": (mkfs + ["-F", "12", "-S", "1024", "{}"], 4 * 1048576),
    "fat16-hidden": (mkfs + ["-F", "16", "-h", "63", "-s", "4", "{}"], 64 * 1048576),
    "fat32": (mkfs + ["-F", "32", "-s", "1", "{}"], 40 * 1048576),
    "ntfs": (["mkntfs", "-q", "-F", "-f", "-T", "-s", "512", "-p", "2048", "-H", "255", "-S", "63",
              "-L", "SEED", "{}"], 16 * 1048576),
}
for name, (command, size) in volumes.items():
    save(name, first_sector(command, size))

# Edge records: all zeros, all ones, each kind's tag alone, and tags that collide.
blank = bytearray(512)
save("zeros", bytes(blank))
save("ones", b"\xff" * 512)
for name, offset, tag in [("tag-ntfs", 3, b"NTFS    "), ("tag-fat12", 54, b"FAT12   "),
                          ("tag-fat16", 54, b"FAT16   "), ("tag-fat32", 82, b"FAT32   ")]:
    record = bytearray(blank)
    record[offset:offset + len(tag)] = tag
    save(name, bytes(record))
both = bytearray(blank)
both[3:7] = b"NTFS"
both[55:59] = b"AT16"
both[82:87] = b"FAT32"
save("tag-all", bytes(both))
# Each kind forced onto a record of all ones (the 513th byte names the kind).
for kind in range(6):
    save("ones-kind%d" % kind, b"\xff" * 512 + bytes([kind]))

# Seeds of the table fuzzer, in the folder given second: a steering byte (bit 0,
# 1, 2: set the CRC32s of a GPT at 512, at 4096, at the end), then an image.
if len(sys.argv) > 2:
    out = sys.argv[2]
    os.makedirs(out, exist_ok=True)

    def entry(image, sector, slot, kind, start, count, flag=0):
        at = sector + 446 + 16 * slot
        image[at] = flag
        image[at + 4] = kind
        image[at + 8:at + 16] = start.to_bytes(4, "little") + count.to_bytes(4, "little")
        image[sector + 510:sector + 512] = b"\x55\xaa"

    def gpt(size, sectors):
        image = bytearray(sectors * size)
        entry(image, 0, 0, 0xEE, 1, sectors - 1)
        for lba, entries in ((1, 2), (sectors - 1, sectors - 2)):
            h = lba * size
            image[h:h + 8] = b"EFI PART"
            fields = [(12, 4, 92), (24, 8, lba), (40, 8, 3), (48, 8, sectors - 3),
                      (72, 8, entries), (80, 4, 4), (84, 4, 128)]
            for off, width, value in fields:
                image[h + off:h + off + width] = value.to_bytes(width, "little")
            e = entries * size
            for slot, first, last in ((0, 4, 7), (2, 9, 12)):
                image[e + 128 * slot] = 0xAF
                image[e + 128 * slot + 32:e + 128 * slot + 48] = \
                    first.to_bytes(8, "little") + last.to_bytes(8, "little")
        return image

    mbr = bytearray(32 * 512)
    entry(mbr, 0, 0, 0x06, 1, 10, 0x80)
    entry(mbr, 0, 1, 0x0F, 12, 20)
    entry(mbr, 12 * 512, 0, 0x06, 1, 5)
    entry(mbr, 12 * 512, 1, 0x05, 8, 10)
    entry(mbr, 20 * 512, 0, 0x0B, 1, 6)
    fat = bytearray(8 * 512)
    fat[3:11] = b"MSWIN4.1"
    fat[11:17] = bytes([0, 2, 1, 1, 0, 2])
    fat[21] = 0xF8
    fat[510:512] = b"\x55\xaa"
    vhd = bytearray(mbr) + b"conectix" + bytes(504)
    for name, data in [("mbr-chain", b"\x00" + mbr), ("gpt", b"\x05" + gpt(512, 24)),
                       ("gpt-4096", b"\x02" + gpt(4096, 12)), ("fat-volume", b"\x00" + fat),
                       ("fixed-vhd", b"\x00" + vhd)]:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
