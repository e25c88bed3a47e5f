// Coverage-guided fuzzing of the boot sector rebuild: the input is a volume
// image, its first byte choosing the sector size and the second the chunk the
// scan is fed in. Each chunk the scan asks for is handed over in a buffer of
// exactly its size, so that a read past it is caught; the pieces (the FAT start
// and run finders, the directory reader, the NTFS file record reader with its
// fixups and attribute readers) also see every sector on their own.
#include "core/rebuild.h"
#include "core/record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition, const char* what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// The file record reader over the bytes at p, and the attribute readers over
// what it loads.
void ReadRecord(const std::uint8_t* p, std::size_t size)
{
    static std::uint8_t rec[RebuildMaxRecord];
    const std::uint32_t length = LoadFileRecord(p, size, rec);
    Check(length <= size && length == (length == 0 ? 0 : FileRecordLength(p, size)),
          "a record length past the bytes");
    if (length == 0)
        return;
    std::uint64_t lcn = 0;
    IsMftRecord(rec, length);
    RecordDataLcn(rec, length, &lcn);
    RecordIndexBlockBytes(rec, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint32_t bps = 512u << (data[0] & 3);
    const std::uint32_t chunk = 1 + data[1] % 16;
    const std::uint8_t* image = data + 2;
    const std::size_t bytes = size - 2;
    // A volume a little longer than the input: the rest reads as zeros.
    const std::uint64_t sectors = bytes / bps + 1 + (data[0] >> 4);

    static RebuildScan scan;
    if (!RebuildStart(&scan, bps, sectors, chunk, (data[0] & 4) != 0, data[1], 0x12345678))
        return 0;
    std::uint64_t first = 0;
    std::uint32_t count = 0;
    while (RebuildNextRange(&scan, &first, &count)) {
        Check(count >= 1 && count <= chunk && first + count <= sectors, "a range out of bounds");
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count) * bps);
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            const std::uint64_t at = first * bps + i;
            buffer[i] = at < bytes ? image[at] : 0;
        }
        for (std::uint32_t s = 0; s < count; ++s) {
            const std::uint8_t* sector = buffer.data() + static_cast<std::size_t>(s) * bps;
            std::uint32_t dot = 0;
            std::uint64_t index = 0;
            Check(ClassifyDirectorySector(sector, bps, &dot) <= ClassOther, "a class out of range");
            for (int w = 0; w < 3; ++w) {
                FatStartSignature(sector, w);
                FatSectorIndex(sector, bps, w, &index);
            }
            ReadRecord(sector, buffer.size() - static_cast<std::size_t>(s) * bps);
        }
        RebuildFeed(&scan, buffer.data(), count);
    }
    std::uint8_t record[512];
    std::uint8_t how[RbFieldCount];
    const RebuildSummary s = RebuildFinish(&scan, record, how);
    // Sectors are read once in order; around a $MFT record, a record cut by a
    // chunk or a place below the middle a few more (at most 49 of 512 bytes).
    Check(s.searchedEnd <= sectors, "more sectors searched than the volume has");
    Check(s.sectorsRead <= 64 * (sectors + RebuildMaxBand), "sectors read again and again");
    for (std::uint8_t h : how)
        Check(h <= HowGuessed, "a how-found mark out of range");
    if (s.found)
        Check(record[510] == 0x55 && record[511] == 0xAA &&
                  (s.fatCopies >= 1 || s.kind == FsKindNtfs),
              "a rebuilt sector without its signature, FAT or $MFT");

    // The finders on a sector cut short, in a buffer of exactly that size.
    if (bytes >= 8 && bytes < 4096) {
        std::vector<std::uint8_t> piece(image, image + bytes);
        std::uint32_t dot = 0;
        std::uint64_t index = 0;
        ClassifyDirectorySector(piece.data(), piece.size(), &dot);
        FatStartSignature(piece.data(), data[1] % 3);
        FatSectorIndex(piece.data(), piece.size(), data[1] % 3, &index);
        ReadRecord(piece.data(), piece.size());
    }
    return 0;
}
