// A small command-line front end to the boot sector model, for the scripts that
// compare our sectors and our field decoding with independent tools.
//
//   kel_sector_tool create fat12|fat16|fat32|ntfs|floppy OUT
//       writes the 512-byte record of that create command to OUT;
//   kel_sector_tool decode FILE
//       loads the first 512 bytes of FILE into the record, runs RecognizeFsKind and
//       prints "kind N", then one "name value" line per field of every layout,
//       decoded at the layout constants (numbers in decimal, texts as %XX-escaped
//       ASCII);
//   kel_sector_tool check FILE
//       loads the first 512 bytes of FILE, checks them under the kind that
//       RecognizeFsKind gives (the generic kind for none) and prints one
//       "finding RULE OFFSET VALUE LIMIT" line per finding, in decimal;
//   kel_sector_tool message
//       prints the boot message of the template, exactly as stored.
//
// Exit status 0 on success, 1 on a file error, 2 on a usage error.
#include "core/check.h"
#include "core/layout.h"
#include "core/recognize.h"
#include "core/record.h"
#include "core/template.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

int Usage() {
    std::fputs("usage: kel_sector_tool create fat12|fat16|fat32|ntfs|floppy OUT\n"
               "       kel_sector_tool decode FILE\n"
               "       kel_sector_tool check FILE\n"
               "       kel_sector_tool message\n",
               stderr);
    return 2;
}

int Create(const char *kind, const char *path) {
    if (std::strcmp(kind, "fat12") == 0)
        CreateBootSector(FsKindFat12);
    else if (std::strcmp(kind, "fat16") == 0)
        CreateBootSector(FsKindFat16);
    else if (std::strcmp(kind, "fat32") == 0)
        CreateBootSector(FsKindFat32);
    else if (std::strcmp(kind, "ntfs") == 0)
        CreateBootSector(FsKindNtfs);
    else if (std::strcmp(kind, "floppy") == 0)
        ApplyFloppyPreset();
    else
        return Usage();

    std::FILE *f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::perror(path);
        return 1;
    }
    const bool written = std::fwrite(SectorBuffer, 1, SectorSize, f) == SectorSize;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::perror(path);
        return 1;
    }
    return 0;
}

void PrintNumber(const char *name, std::uint64_t value) {
    std::printf("%s %" PRIu64 "\n", name, value);
}

// Prints a fixed-width text field; bytes outside printable ASCII, '%' and the
// blank are written as %XX so that every line stays one token after the name.
void PrintText(const char *name, std::size_t off, std::size_t width) {
    std::printf("%s ", name);
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint8_t c = SectorBuffer[off + i];
        if (c > 0x20 && c < 0x7F && c != '%')
            std::putchar(c);
        else
            std::printf("%%%02X", c);
    }
    std::putchar('\n');
}

// Loads the first sector of path into the record and recognises its kind.
bool Load(const char *path) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::perror(path);
        return false;
    }
    const std::size_t got = std::fread(SectorBuffer, 1, SectorSize, f);
    std::fclose(f);
    if (got != SectorSize) {
        std::fprintf(stderr, "%s: shorter than one sector\n", path);
        return false;
    }
    RecognizeFsKind();
    return true;
}

int Check(const char *path) {
    if (!Load(path))
        return 1;
    Finding findings[64];
    const std::uint8_t kind = FsKind == FsKindNone ? FsKindGeneric : FsKind;
    const int count = CheckBootRecord(SectorBuffer, kind, findings, 64);
    for (int i = 0; i < count; ++i)
        std::printf("finding %d %d %" PRIu64 " %" PRIu64 "\n", findings[i].rule,
                    findings[i].offset, findings[i].value, findings[i].limit);
    return 0;
}

int Decode(const char *path) {
    if (!Load(path))
        return 1;
    PrintNumber("kind", FsKind);

    const std::uint8_t *r = SectorBuffer;
    PrintText("BS_jmpBoot", BS_jmpBoot, 3);
    PrintText("BS_OEMName", BS_OEMName, 8);
    PrintNumber("BPB_BytsPerSec", LoadU16(r, BPB_BytsPerSec));
    PrintNumber("BPB_SecPerClus", LoadU8(r, BPB_SecPerClus));
    PrintNumber("BPB_RsvdSecCnt", LoadU16(r, BPB_RsvdSecCnt));
    PrintNumber("BPB_NumFATs", LoadU8(r, BPB_NumFATs));
    PrintNumber("BPB_RootEntCnt", LoadU16(r, BPB_RootEntCnt));
    PrintNumber("BPB_TotSec16", LoadU16(r, BPB_TotSec16));
    PrintNumber("BPB_Media", LoadU8(r, BPB_Media));
    PrintNumber("BPB_FATSz16", LoadU16(r, BPB_FATSz16));
    PrintNumber("BPB_SecPerTrk", LoadU16(r, BPB_SecPerTrk));
    PrintNumber("BPB_NumHeads", LoadU16(r, BPB_NumHeads));
    PrintNumber("BPB_HiddSec", LoadU32(r, BPB_HiddSec));
    PrintNumber("BPB_TotSec32", LoadU32(r, BPB_TotSec32));
    PrintNumber("Signature", LoadU16(r, BootSignature));

    PrintNumber("fat16.BS_DrvNum", LoadU8(r, fat16::BS_DrvNum));
    PrintNumber("fat16.BS_BootSig", LoadU8(r, fat16::BS_BootSig));
    PrintNumber("fat16.BS_VolID", LoadU32(r, fat16::BS_VolID));
    PrintText("fat16.BS_VolLab", fat16::BS_VolLab, 11);
    PrintText("fat16.BS_FilSysType", fat16::BS_FilSysType, 8);

    PrintNumber("fat32.BPB_FATSz32", LoadU32(r, fat32::BPB_FATSz32));
    PrintNumber("fat32.BPB_ExtFlags", LoadU16(r, fat32::BPB_ExtFlags));
    PrintNumber("fat32.BPB_FSVer", LoadU16(r, fat32::BPB_FSVer));
    PrintNumber("fat32.BPB_RootClus", LoadU32(r, fat32::BPB_RootClus));
    PrintNumber("fat32.BPB_FSInfo", LoadU16(r, fat32::BPB_FSInfo));
    PrintNumber("fat32.BPB_BkBootSec", LoadU16(r, fat32::BPB_BkBootSec));
    PrintNumber("fat32.BS_DrvNum", LoadU8(r, fat32::BS_DrvNum));
    PrintNumber("fat32.BS_BootSig", LoadU8(r, fat32::BS_BootSig));
    PrintNumber("fat32.BS_VolID", LoadU32(r, fat32::BS_VolID));
    PrintText("fat32.BS_VolLab", fat32::BS_VolLab, 11);
    PrintText("fat32.BS_FilSysType", fat32::BS_FilSysType, 8);

    PrintNumber("ntfs.NtfsTotalSectors", LoadU64(r, ntfs::NtfsTotalSectors));
    PrintNumber("ntfs.MftCluster", LoadU64(r, ntfs::MftCluster));
    PrintNumber("ntfs.MftMirrCluster", LoadU64(r, ntfs::MftMirrCluster));
    PrintNumber("ntfs.ClustersPerFileRecord", LoadU32(r, ntfs::ClustersPerFileRecord));
    PrintNumber("ntfs.ClustersPerIndexBlock", LoadU32(r, ntfs::ClustersPerIndexBlock));
    PrintNumber("ntfs.NtfsVolumeSerial", LoadU64(r, ntfs::NtfsVolumeSerial));
    PrintNumber("ntfs.NtfsChecksum", LoadU32(r, ntfs::NtfsChecksum));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (!AllocateSectorBuffer()) {
        std::fputs("kel_sector_tool: out of memory\n", stderr);
        return 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "create") == 0)
        return Create(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "decode") == 0)
        return Decode(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "check") == 0)
        return Check(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "message") == 0) {
        std::fputs(BootMessage, stdout);
        return 0;
    }
    return Usage();
}
