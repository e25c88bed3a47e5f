// Runs the boot sector rebuild over an image file, for the scripts that compare
// its result with mkfs.fat's own sector, fsck.fat and mdir.
//
//   kel_rebuild_tool IMAGE [-S SECTOR_BYTES] [-c CHUNK_SECTORS] [-h HIDDEN] [-w]
//       reads the ranges the scan asks for, prints "found 0|1", "kind N",
//       "fats S1 S2 ...", "subdirs N", "data N", "read N", "searched FIRST END",
//       then one "how FIELD found|derived|guessed|-" line per field; -w writes the
//       rebuilt sector over the image's first 512 bytes (NTFS: and over the
//       last sector's, the backup). An NTFS result adds "mft SECTOR MIRROR
//       AGREES FOLLOWED": where $MFT's record 0 was found, 1 when that was
//       the mirror's copy, 1 when the other copy agreed, records followed.
//
// Exit status 0 when a FAT or $MFT was found, 3 when none was, 1 on a file error, 2 on
// a usage error.
#include "core/rebuild.h"
#include "core/record.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr const char* FieldNames[RbFieldCount] = {"bytes_per_sector",
                                                  "sectors_per_cluster",
                                                  "reserved_sectors",
                                                  "fats",
                                                  "root_entries",
                                                  "total_sectors",
                                                  "media",
                                                  "fat_size",
                                                  "geometry",
                                                  "hidden_sectors",
                                                  "root_cluster",
                                                  "fs_info",
                                                  "backup_sector",
                                                  "drive_number",
                                                  "serial",
                                                  "label",
                                                  "oem_name",
                                                  "boot_code",
                                                  "type",
                                                  "mft_cluster",
                                                  "mft_mirr_cluster",
                                                  "record_size",
                                                  "index_size"};
constexpr const char* HowNames[] = {"-", "found", "derived", "guessed"};

int Usage()
{
    std::fputs("usage: kel_rebuild_tool IMAGE [-S SECTOR_BYTES] [-c CHUNK_SECTORS] [-h HIDDEN] "
               "[-w]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const char* path = argv[1];
    std::uint32_t bps = 512;
    std::uint32_t chunk = 128;
    bool startKnown = false;
    std::uint64_t hidden = 0;
    bool write = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-w") == 0)
            write = true;
        else if (i + 1 < argc && std::strcmp(argv[i], "-S") == 0)
            bps = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (i + 1 < argc && std::strcmp(argv[i], "-c") == 0)
            chunk = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (i + 1 < argc && std::strcmp(argv[i], "-h") == 0) {
            startKnown = true;
            hidden = std::strtoull(argv[++i], nullptr, 0);
        } else
            return Usage();
    }
    std::FILE* f = std::fopen(path, write ? "r+b" : "rb");
    if (f == nullptr || std::fseek(f, 0, SEEK_END) != 0) {
        std::perror(path);
        return 1;
    }
    const long long bytes = ftello(f);
    static RebuildScan scan;
    if (!RebuildStart(&scan, bps, static_cast<std::uint64_t>(bytes) / bps, chunk, startKnown,
                      hidden, 0x20261209)) {
        std::fputs("sector size, chunk or image size out of range\n", stderr);
        return 2;
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(chunk) * bps);
    std::uint64_t first = 0;
    std::uint32_t count = 0;
    while (RebuildNextRange(&scan, &first, &count)) {
        const std::size_t want = static_cast<std::size_t>(count) * bps;
        if (fseeko(f, static_cast<off_t>(first * bps), SEEK_SET) != 0 ||
            std::fread(buffer.data(), 1, want, f) != want) {
            std::perror(path);
            return 1;
        }
        RebuildFeed(&scan, buffer.data(), count);
    }
    std::uint8_t record[512];
    std::uint8_t how[RbFieldCount];
    const RebuildSummary s = RebuildFinish(&scan, record, how);
    std::printf("found %d\nkind %d\nfats", s.found ? 1 : 0, s.kind);
    for (int i = 0; i < s.fatCopies; ++i)
        std::printf(" %" PRIu64, s.fatStarts[i]);
    std::printf("\nsubdirs %d\ndata %" PRIu64 "\nread %" PRIu64 "\nsearched %" PRIu64 " %" PRIu64
                "\n",
                s.subdirsUsed, s.dataStart, s.sectorsRead, s.searchedFirst, s.searchedEnd);
    if (s.kind == FsKindNtfs)
        std::printf("mft %" PRIu64 " %d %d %d\n", s.mftRecordSector, s.mftFoundInMirror ? 1 : 0,
                    s.otherCopyAgrees ? 1 : 0, s.mftRecordsFollowed);
    std::printf("template_boot_code %d\n", s.templateBootCode ? 1 : 0);
    for (int i = 0; i < RbFieldCount; ++i)
        std::printf("how %s %s\n", FieldNames[i], HowNames[how[i]]);
    const long long backup = s.kind == FsKindNtfs ? (bytes / bps - 1) * bps : -1;
    for (long long at : {0LL, backup}) {
        if (write && s.found && at >= 0 &&
            (fseeko(f, static_cast<off_t>(at), SEEK_SET) != 0 ||
             std::fwrite(record, 1, 512, f) != 512)) {
            std::perror(path);
            return 1;
        }
    }
    if (std::fclose(f) != 0) {
        std::perror(path);
        return 1;
    }
    return s.found ? 0 : 3;
}
