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
# 1: set the CRC32s of a GPT at 512, at 4096), then an MBR chain or a GPT.
if len(sys.argv) > 2:
    os.makedirs(sys.argv[2], exist_ok=True)

    def put(image, at, *fields):
        for off, width, value in fields:
            image[at + off:at + off + width] = value.to_bytes(width, "little")

    def entry(image, sector, slot, kind, start, count):
        put(image, sector + 446 + 16 * slot, (4, 1, kind), (8, 4, start), (12, 4, count))
        put(image, sector, (510, 2, 0xAA55))

    mbr = bytearray(32 * 512)
    for sector, slot, kind, start, count in [(0, 0, 6, 1, 10), (0, 1, 0xF, 12, 20), (12, 0, 6, 1, 5),
                                             (12, 1, 5, 8, 10), (20, 0, 0xB, 1, 6)]:
        entry(mbr, sector * 512, slot, kind, start, count)
    seeds = {"mbr-chain": b"\x00" + mbr}
    for size, sectors, steer in [(512, 24, 1), (4096, 12, 2)]:
        gpt = bytearray(sectors * size)
        entry(gpt, 0, 0, 0xEE, 1, sectors - 1)
        gpt[size:size + 8] = b"EFI PART"
        put(gpt, size, (12, 4, 92), (24, 8, 1), (40, 8, 3), (48, 8, sectors - 3), (72, 8, 2),
            (80, 4, 4), (84, 4, 128))
        gpt[2 * size] = 0xAF
        put(gpt, 2 * size, (32, 8, 4), (40, 8, 7))
        seeds["gpt-%d" % size] = bytes([steer]) + gpt
    for name, data in seeds.items():
        with open(os.path.join(sys.argv[2], name), "wb") as f:
            f.write(data)
