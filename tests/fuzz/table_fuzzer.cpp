// Fuzzing of the partition table walk: any file, listed as an image, gives a
// listing or a code without fault, reads nothing outside the file and ends;
// a listed volume not cut short has a readable sector 0. The first byte steers,
// the rest is the file: bits 0, 1 and 2 set the CRC32s of a GPT header (and its
// entries) at byte 512, at byte 4096 and in the last 512 bytes, so that
// mutations reach the entries behind a valid header too.
#include "standin_disk.h"
#include "core/partition.h"
#include "core/record.h"
#include "disk/disk_image.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char* const Name = "C:\\fuzz.img";

void Check(bool condition, const char* what)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Sets the CRC32s of a header at byte at, in sectors of size bytes, where its
// fields let them be computed inside the image.
void FixGpt(std::vector<std::uint8_t>& image, std::size_t at, std::size_t size)
{
    if (at + size > image.size())
        return;
    std::uint8_t* h = image.data() + at;
    const std::uint32_t headerSize = LoadU32(h, gpt::HeaderSize);
    const std::uint64_t entries = LoadU64(h, gpt::EntriesLba);
    const std::uint64_t bytes =
        std::uint64_t{LoadU32(h, gpt::EntryCount)} * LoadU32(h, gpt::EntrySize);
    if (entries < image.size() / size && bytes <= image.size() - entries * size)
        StoreU32(h, gpt::EntriesCrc,
                 Crc32Update(0, image.data() + entries * size, static_cast<std::size_t>(bytes)));
    if (headerSize >= gpt::MinHeaderSize && headerSize <= size) {
        StoreU32(h, gpt::HeaderCrc, 0);
        StoreU32(h, gpt::HeaderCrc, Crc32Update(0, h, headerSize));
    }
}

// Every read the walk made lay inside the file: each "SetFilePointer(h, low,
// &high, 0)" and the "ReadFile(h, n)" after it, from the call log.
void CheckReadsInside(std::uint64_t fileBytes)
{
    std::uint64_t position = 0;
    for (const auto& call : standin::Calls) {
        unsigned low = 0, high = 0, n = 0;
        if (std::sscanf(call.c_str(), "SetFilePointer(h%*u, 0x%X, &0x%X", &low, &high) == 2)
            position = (std::uint64_t{high} << 32) | low;
        else if (std::sscanf(call.c_str(), "ReadFile(h%*u, %u)", &n) == 1) {
            Check(position + n <= fileBytes, "a read outside the file");
            position += n;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::vector<std::uint8_t> image(data + 1, data + size);
    if (data[0] & 1)
        FixGpt(image, 512, 512);
    if (data[0] & 2)
        FixGpt(image, 4096, 4096);
    if ((data[0] & 4) && image.size() >= 512)
        FixGpt(image, image.size() / 512 * 512 - 512, 512);

    standin::ResetDisk();
    standin::Calls.clear();
    standin::AddVolume(Name, 0).bytes = image;
    const ImageResult result = OpenDiskImage(Name);
    CheckReadsInside(image.size());
    Check(result == ImageListed ? ImageVolumeCount >= 1 && ImageVolumeCount <= MaxImageVolumes
                                : ImageVolumeCount == 0,
          "a count that does not fit the result");
    Check(result != ImageBadTable || ImageTableProblem != TableGood, "a bad table without a why");
    std::uint8_t record[512];
    for (int i = 0; i < ImageVolumeCount; ++i) {
        const ImageVolume& v = ImageVolumes[i];
        Check(v.sectorSize == 512 || v.sectorSize == 1024 || v.sectorSize == 2048 ||
                  v.sectorSize == 4096,
              "a sector size out of range");
        const bool first = ReadImageSector(v, 0, record);
        Check(first || v.cutShort || v.length == 0, "a whole volume whose sector 0 fails");
        ReadImageSector(v, v.length - 1, record);
    }
    CheckReadsInside(image.size());
    Check(standin::Handles().open() == 0, "a handle left open");
    return 0;
}
