// Image files as disks: images built byte by byte, listed as the picker will
// show them, and one volume's sector read and written in place.
#include "disk/disk_image.h"

#include "core/record.h"
#include "disk/disk_error.h"

#include "standin_disk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
const char* const ImageName = "C:\\disk.img";
constexpr std::size_t S = 512;

// One MBR or EBR entry in the sector at byte sector.
void Entry(Bytes& b, std::size_t sector, int slot, std::uint8_t flag, std::uint8_t type,
           std::uint32_t start, std::uint32_t count)
{
    std::uint8_t* e = b.data() + sector + 446 + std::size_t{16} * slot;
    e[0] = flag;
    e[4] = type;
    StoreU32(e, 8, start);
    StoreU32(e, 12, count);
    b[sector + 510] = 0x55;
    b[sector + 511] = 0xAA;
}

// A GPT header at lba, with CRCs right, and its four-entry array at entries:
// slot 1 holds LBAs 34 to 43, slot 3 LBAs 50 to 54.
void GptAt(Bytes& b, std::size_t ss, std::uint64_t lba, std::uint64_t entries)
{
    std::uint8_t* a = b.data() + entries * ss;
    a[0] = a[256] = 0xAF; // type GUIDs that are not all zero
    StoreU64(a, 32, 34);
    StoreU64(a, 40, 43);
    StoreU64(a, 256 + 32, 50);
    StoreU64(a, 256 + 40, 54);
    std::uint8_t* h = b.data() + lba * ss;
    std::copy_n("EFI PART", 8, h);
    StoreU32(h, 12, 92);
    StoreU64(h, 24, lba);
    StoreU64(h, 40, 3);
    StoreU64(h, 48, b.size() / ss - 3);
    StoreU64(h, 72, entries);
    StoreU32(h, 80, 4);
    StoreU32(h, 84, 128);
    StoreU32(h, 88, Crc32Update(0, a, std::size_t{4} * 128));
    StoreU32(h, 16, Crc32Update(0, h, 92));
}

// A disk of sectors of ss bytes with a protective MBR, the primary GPT at LBA 1
// and the backup at the last LBA.
Bytes Gpt(std::size_t ss)
{
    Bytes b(64 * ss);
    Entry(b, 0, 0, 0, 0xEE, 1, 63);
    GptAt(b, ss, 1, 2);
    GptAt(b, ss, 63, 62);
    return b;
}

Bytes Mbr(std::size_t sectors)
{
    Bytes b(sectors * S);
    Entry(b, 0, 0, 0x80, 0x06, 1, 10);
    Entry(b, 0, 2, 0, 0x0B, 20, 10);
    return b;
}

// A primary in slot 1 and an extended partition at 16 holding three logical
// ones; each link counts from the extended partition, not from its own EBR.
Bytes Chain()
{
    Bytes b(64 * S);
    Entry(b, 0, 0, 0, 0x06, 1, 10);
    Entry(b, 0, 1, 0, 0x0F, 16, 40);
    Entry(b, 16 * S, 0, 0, 0x06, 1, 10);
    Entry(b, 16 * S, 1, 0, 0x05, 20, 10);
    Entry(b, 36 * S, 0, 0, 0x0B, 2, 8);
    Entry(b, 36 * S, 1, 0, 0x05, 30, 6);
    Entry(b, 46 * S, 0, 0, 0x0C, 1, 5);
    return b;
}

Bytes With(Bytes b, std::size_t off, const char* text)
{
    std::memcpy(b.data() + off, text, std::strlen(text));
    return b;
}

Bytes BootSector(const char* tag, std::uint16_t sectorSize)
{
    Bytes b = With(Bytes(64 * S), 3, tag);
    StoreU16(b.data(), 11, sectorSize);
    if (tag[0] != 'N') { // a FAT BPB: reserved sectors, two FATs, media F8
        StoreU16(b.data(), 14, 1);
        b[16] = 2;
        b[21] = 0xF8;
    }
    return b;
}

// The listing as text: disk bytes, then each volume as number@start+length,
// with /size, e<EBR>, "cut" and the kind letter where they apply.
std::string Listing(ImageResult result)
{
    std::string s = "r" + std::to_string(result) + " t" + std::to_string(ImageTableProblem);
    if (ImageUsedBackupGpt)
        s += " backup";
    s += " disk=" + std::to_string(ImageDiskBytes);
    for (int i = 0; i < ImageVolumeCount; ++i) {
        const ImageVolume& v = ImageVolumes[i];
        s += " " + std::to_string(v.number) + "@" + std::to_string(v.start) + "+" +
             std::to_string(v.length) + "WOPLG"[v.kind];
        if (v.sectorSize != 512)
            s += "/" + std::to_string(v.sectorSize);
        if (v.kind == ImageVolumeLogical)
            s += "e" + std::to_string(v.ebrSector);
        if (v.cutShort)
            s += " cut";
    }
    return s;
}

TEST(DiskImage, ListsTheVolumesOfEveryLayoutOrSaysWhatIsWrong)
{
    Bytes loop = Chain();
    Entry(loop, 16 * S, 1, 0, 0x05, 0, 10); // the EBR links back to itself
    Bytes overlap = Mbr(64);
    Entry(overlap, 0, 1, 0, 0x06, 5, 10);
    Bytes flag = Mbr(64);
    Entry(flag, 0, 0, 0x01, 0x06, 1, 10);
    Bytes badPrimary = Gpt(S);
    badPrimary[S + 40] ^= 1; // the primary header's CRC no longer matches
    Bytes badBoth = Gpt(S);
    badBoth[2 * S + 32] ^= 1;  // the primary's entries
    badBoth[63 * S + 40] ^= 1; // the backup header
    Bytes vhd = Mbr(17);
    Entry(vhd, 0, 2, 0, 0x0B, 11, 6); // ends one sector past the disk, on the footer
    vhd = With(vhd, 16 * S, "conectix");
    Bytes empty(8 * S);
    Entry(empty, 0, 1, 0, 0x05, 2, 4); // an extended partition whose EBR is empty
    Entry(empty, 2 * S, 0, 0, 0, 0, 0);
    Bytes vdi(2 * S);
    StoreU32(vdi.data(), 0x40, 0xbeda107f);

    const struct {
        const char* name;
        Bytes image;
        const char* expected;
    } cases[] = {
        {"MBR primaries", Mbr(64), "r0 t0 disk=32768 1@1+10P 3@20+10P"},
        {"extended chain", Chain(), "r0 t0 disk=32768 1@1+10P 5@17+10Le16 6@38+8Le36 7@47+5Le46"},
        {"chain that loops", loop, "r9 t3 disk=0"},
        {"overlapping entries", overlap, "r9 t2 disk=0"},
        {"boot flag 0x01", flag, "r9 t1 disk=0"},
        {"no partition", empty, "r9 t12 disk=0"},
        {"GPT", Gpt(S), "r0 t0 disk=32768 1@34+10G 3@50+5G"},
        {"GPT, bad primary", badPrimary, "r0 t0 backup disk=32768 1@34+10G 3@50+5G"},
        {"GPT, both bad", badBoth, "r9 t7 disk=0"},
        {"GPT, 4096-byte sectors", Gpt(4096), "r0 t0 disk=262144 1@34+10G/4096 3@50+5G/4096"},
        {"VHDX", With(Bytes(4 * S), 0, "vhdxfile"), "r4 t0 disk=0"},
        {"VMDK", With(Bytes(4 * S), 0, "KDMV"), "r5 t0 disk=0"},
        {"VMDK text", With(Bytes(4 * S), 0, "# Disk DescriptorFile"), "r5 t0 disk=0"},
        {"qcow2", With(Bytes(4 * S), 0, "QFI\xfb"), "r6 t0 disk=0"},
        {"VDI", vdi, "r7 t0 disk=0"},
        {"dynamic VHD", With(Bytes(4 * S), 0, "conectix"), "r8 t0 disk=0"},
        {"fixed VHD", vhd, "r0 t0 disk=8192 1@1+10P 3@11+6P cut"},
        {"FAT volume", BootSector("MSWIN4.1", 512), "r0 t0 disk=32768 1@0+64O"},
        {"FAT, 2048-byte sectors", BootSector("MSWIN4.1", 2048), "r0 t0 disk=32768 1@0+16O/2048"},
        {"NTFS volume", BootSector("NTFS    ", 512), "r0 t0 disk=32768 1@0+64O"},
        {"truncated disk", Mbr(24), "r0 t0 disk=12288 1@1+10P 3@20+10P cut"},
        {"destroyed boot sector", Bytes(8 * S), "r0 t0 disk=4096 1@0+8W"},
        {"shorter than a sector", Bytes(100), "r3 t0 disk=0"},
    };
    for (const auto& c : cases) {
        standin::Reset();
        standin::AddVolume(ImageName, 0).bytes = c.image;
        EXPECT_EQ(Listing(OpenDiskImage(ImageName)), c.expected) << c.name;
        EXPECT_EQ(standin::Handles().open(), 0) << c.name;
        EXPECT_EQ(standin::CallsStartingWith("WriteFile").size(), 0u) << c.name;
    }
}

// A write changes the 512 bytes at the start of that sector and nothing else;
// reads and writes outside the volume or the disk move nothing; an image that
// will not open for writing is left alone.
TEST(DiskImage, TransfersOneSectorOfAVolumeInPlace)
{
    standin::Reset();
    Bytes image = Chain();
    image.resize(44 * S); // logical 6 (38 to 45) is cut short
    for (std::size_t i = S; i < image.size(); ++i)
        if (i % S < 446 && i >= 17 * S)
            image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto& file = standin::AddVolume(ImageName, 0);
    file.bytes = image;
    ASSERT_EQ(OpenDiskImage(ImageName), ImageListed);
    const ImageVolume& fifth = ImageVolumes[1];
    const ImageVolume& sixth = ImageVolumes[2];

    Bytes record(S, 0xEE);
    ASSERT_TRUE(ReadImageSector(fifth, 2, record.data()));
    EXPECT_TRUE(std::equal(record.begin(), record.end(), image.begin() + 19 * S));
    ASSERT_TRUE(WriteImageSector(fifth, 2, Bytes(S, 0xAB).data()));
    std::fill(image.begin() + 19 * S, image.begin() + 20 * S, 0xAB);
    EXPECT_TRUE(file.bytes == image) << "bytes outside sector 19 changed";

    const struct {
        const char* name;
        const ImageVolume& volume;
        std::uint64_t n;
        bool write;
        std::uint8_t step, cause;
    } refused[] = {
        {"past the image's end", sixth, 6, false, DiskStepRead, DiskCauseShort},
        {"past the volume's end", fifth, 10, true, DiskStepWrite, DiskCauseShort},
        {"held by another program", fifth, 0, true, DiskStepOpen, DiskCauseWin32},
    };
    standin::FailNext("CreateFileA", 32); // the sharing violation, for the last case
    for (const auto& c : refused) {
        standin::Calls.clear();
        EXPECT_FALSE(c.write ? WriteImageSector(c.volume, c.n, record.data())
                             : ReadImageSector(c.volume, c.n, record.data()))
            << c.name;
        EXPECT_EQ(LastDiskError.step, c.step) << c.name;
        EXPECT_EQ(LastDiskError.cause, c.cause) << c.name;
        EXPECT_TRUE(file.bytes == image) << c.name << ": the image changed";
    }
    file.bytes.resize(19 * S + 100); // shrunk since it was listed: nothing is written
    const Bytes shrunk = file.bytes;
    EXPECT_FALSE(WriteImageSector(fifth, 2, record.data()));
    EXPECT_TRUE(file.bytes == shrunk) << "a file that shrank was written";
    EXPECT_EQ(standin::Handles().open(), 0);
}

// A sparse file past 4 GiB: listed, and its last sector read and written
// through 64-bit positions.
TEST(DiskImage, ReachesTheLastSectorOfAFileLargerThan4GiB)
{
    const std::string path = testing::TempDir() + "kelvashin-large.img";
    constexpr std::uint64_t sectors = (std::uint64_t{4} << 30) / S + 2048;
    Bytes mbr(S);
    Entry(mbr, 0, 0, 0, 0x07, 2048, sectors - 2048);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(sectors * S)), 0);
    ASSERT_EQ(pwrite(fd, mbr.data(), S, 0), static_cast<ssize_t>(S));
    ASSERT_EQ(pwrite(fd, "last", 4, static_cast<off_t>((sectors - 1) * S)), 4);

    standin::Reset();
    standin::AddHostFile(ImageName, path);
    EXPECT_EQ(Listing(OpenDiskImage(ImageName)), "r0 t0 disk=" + std::to_string(sectors * S) +
                                                     " 1@2048+" + std::to_string(sectors - 2048) +
                                                     "P");
    Bytes record(S);
    EXPECT_TRUE(ReadImageSector(ImageVolumes[0], sectors - 2049, record.data()));
    EXPECT_EQ(std::string(record.begin(), record.begin() + 4), "last");
    EXPECT_TRUE(WriteImageSector(ImageVolumes[0], sectors - 2049, Bytes(S, 0x5A).data()));
    char back[2] = {};
    EXPECT_EQ(pread(fd, back, 2, static_cast<off_t>(sectors * S - 2)), 2);
    EXPECT_EQ(back[0], 0x5A);
    close(fd);
    unlink(path.c_str());
}

} // namespace
