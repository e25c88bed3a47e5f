// Image files: the walk over their tables while listing, and the sector
// transfer of one volume. Every read of the walk is checked against the disk's
// end first, so crafted tables never make it read outside the file, and every
// loop is bounded (MaxEbrLinks, the GPT array's size, MaxImageVolumes).
#include "disk/disk_image.h"

#include "core/record.h"
#include "disk/disk_error.h"

#include <cstring>

char DiskImagePath[MAX_PATH];
std::uint64_t ImageDiskBytes = 0;
ImageVolume ImageVolumes[MaxImageVolumes];
int ImageVolumeCount = 0;
TableResult ImageTableProblem = TableGood;
bool ImageUsedBackupGpt = false;

namespace {

constexpr std::uint32_t GptLargeSectorSize = 4096; // "EFI PART" at byte 4096, not 512
constexpr std::uint32_t MaxBlock = 4096;           // the largest sector a table uses

HANDLE ListedFile = INVALID_HANDLE_VALUE; // the file being listed
std::uint8_t Head[SectorSize];            // the file's first 512 bytes
std::uint8_t Block[MaxBlock];             // any other sector of the walk
int RangeCount = 0;                       // MBR containers and volumes, for the overlap check
bool WalkReadFailed = false;              // a read inside the disk failed during the walk

struct Range {
    std::uint64_t first, last; // inclusive
    bool container;            // an extended partition
    bool logical;
};
Range Ranges[MaxImageVolumes + MbrSlots];

// Positions file at offset; false, with the failure noted, when it could not.
bool Seek(HANDLE file, std::uint64_t offset, std::uint8_t step)
{
    LONG high = static_cast<LONG>(static_cast<DWORD>(offset >> 32));
    SetLastError(ERROR_SUCCESS); // a low half of all ones is a valid position
    const DWORD low =
        SetFilePointer(file, static_cast<LONG>(static_cast<DWORD>(offset)), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) {
        NoteDiskError(step, DiskCauseWin32, GetLastError());
        return false;
    }
    return true;
}

// Reads size bytes at offset; true when they all arrived.
bool ReadAt(HANDLE file, std::uint64_t offset, std::uint8_t* buffer, DWORD size)
{
    if (!Seek(file, offset, DiskStepRead)) {
        WalkReadFailed = true;
        return false;
    }
    DWORD got = 0;
    if (!ReadFile(file, buffer, size, &got, nullptr)) {
        NoteDiskError(DiskStepRead, DiskCauseWin32, GetLastError());
        WalkReadFailed = true;
        return false;
    }
    if (got != size) {
        NoteDiskError(DiskStepRead, DiskCauseShort, got);
        WalkReadFailed = true;
        return false;
    }
    return true;
}

bool FileSize(HANDLE file, std::uint64_t* size)
{
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        NoteDiskError(DiskStepOpen, DiskCauseWin32, GetLastError());
        return false;
    }
    *size = (std::uint64_t{high} << 32) | low;
    return true;
}

// The disk's whole sectors of size bytes.
std::uint64_t DiskSectors(std::uint32_t size)
{
    return ImageDiskBytes / size;
}

// Whether the sector (of size bytes) lies wholly inside the disk.
bool SectorInside(std::uint64_t lba, std::uint32_t size)
{
    return lba < DiskSectors(size);
}

// Adds a volume and its range; false, with the problem noted, when the list is full.
bool AddVolume(const ImageVolume& volume)
{
    if (ImageVolumeCount == MaxImageVolumes) {
        ImageTableProblem = TableTooManyVolumes;
        return false;
    }
    ImageVolume& v = ImageVolumes[ImageVolumeCount++];
    v = volume;
    const std::uint64_t sectors = DiskSectors(v.sectorSize);
    v.cutShort = v.start > sectors || v.length > sectors - v.start;
    Ranges[RangeCount++] = {v.start, v.start + v.length - 1, false, v.kind == ImageVolumeLogical};
    return true;
}

ImageVolume NewVolume(std::uint32_t number, std::uint64_t start, std::uint64_t length,
                      std::uint32_t sectorSize, std::uint8_t kind)
{
    ImageVolume v{};
    v.number = number;
    v.start = start;
    v.length = length;
    v.sectorSize = sectorSize;
    v.kind = kind;
    return v;
}

// A logical partition may share sectors only with its own container.
bool AnyOverlap()
{
    for (int i = 0; i < RangeCount; ++i)
        for (int j = i + 1; j < RangeCount; ++j) {
            const Range& a = Ranges[i];
            const Range& b = Ranges[j];
            if ((a.container && b.logical) || (a.logical && b.container))
                continue;
            if (RangesOverlap(a.first, a.last, b.first, b.last))
                return true;
        }
    return false;
}

bool FlagValid(const MbrEntry& e)
{
    return e.bootFlag == 0 || e.bootFlag == 0x80;
}

// The chain of EBRs in the extended partition [first, first + sectors).
TableResult WalkChain(std::uint64_t first, std::uint64_t sectors)
{
    std::uint64_t ebr = first;
    std::uint32_t number = 5;
    for (int links = 0;; ++links) {
        if (links == MaxEbrLinks)
            return TableChainLoop;
        // A chain that goes on past the end of a truncated copy ends there.
        if (!SectorInside(ebr, SectorSize))
            return TableGood;
        if (!ReadAt(ListedFile, ebr * SectorSize, Block, SectorSize))
            return TableGood; // WalkReadFailed tells
        if (!HasMbrSignature(Block))
            return TableBadEbr;
        const MbrEntry logical = LoadMbrEntry(Block, EbrLogicalSlot);
        const MbrEntry link = LoadMbrEntry(Block, EbrLinkSlot);
        if (!FlagValid(logical) || !FlagValid(link))
            return TableBadBootFlag;
        if (!IsUnused(logical)) {
            const std::uint64_t start = ebr + logical.start;
            if (start + logical.sectors > first + sectors)
                return TableBadEbr;
            ImageVolume v =
                NewVolume(number++, start, logical.sectors, SectorSize, ImageVolumeLogical);
            v.mbrType = logical.type;
            v.ebrSector = ebr;
            if (!AddVolume(v))
                return TableTooManyVolumes;
        }
        if (IsUnused(link) || !IsExtendedType(link.type))
            return TableGood;
        if (link.start >= sectors)
            return TableBadEbr;
        ebr = first + link.start;
    }
}

TableResult ListMbr()
{
    bool chained = false;
    std::uint64_t extendedStart = 0, extendedSectors = 0;
    for (int slot = 0; slot < MbrSlots; ++slot) {
        const MbrEntry e = LoadMbrEntry(Head, slot);
        if (IsUnused(e))
            continue;
        if (!FlagValid(e))
            return TableBadBootFlag;
        if (IsExtendedType(e.type)) {
            Ranges[RangeCount++] = {e.start, std::uint64_t{e.start} + e.sectors - 1, true, false};
            if (!chained) {
                chained = true;
                extendedStart = e.start;
                extendedSectors = e.sectors;
            }
            continue;
        }
        ImageVolume v = NewVolume(static_cast<std::uint32_t>(slot + 1), e.start, e.sectors,
                                  SectorSize, ImageVolumePrimary);
        v.mbrType = e.type;
        AddVolume(v);
    }
    const TableResult chain = chained ? WalkChain(extendedStart, extendedSectors) : TableGood;
    if (chain != TableGood)
        return chain;
    return AnyOverlap() ? TableOverlap : TableGood;
}

// Checks the header at lba and its entries' CRC32.
TableResult CheckGpt(std::uint32_t size, std::uint64_t lba, GptHeader* h)
{
    if (!SectorInside(lba, size))
        return TableGptNoSignature;
    if (!ReadAt(ListedFile, lba * size, Block, size))
        return TableGptEntriesCutOff;
    const TableResult header = CheckGptHeader(Block, size, lba, h);
    if (header != TableGood)
        return header;
    std::uint64_t left = std::uint64_t{h->entryCount} * h->entrySize;
    std::uint32_t crc = 0;
    for (std::uint64_t sector = h->entriesLba; left != 0; ++sector) {
        if (!SectorInside(sector, size) || !ReadAt(ListedFile, sector * size, Block, size))
            return TableGptEntriesCutOff;
        const std::uint32_t part = left < size ? static_cast<std::uint32_t>(left) : size;
        crc = Crc32Update(crc, Block, part);
        left -= part;
    }
    return crc == h->entriesCrc ? TableGood : TableGptEntriesCrc;
}

TableResult ListGptEntries(std::uint32_t size, const GptHeader& h)
{
    const std::uint32_t perSector = size / h.entrySize;
    for (std::uint32_t slot = 0; slot < h.entryCount; ++slot) {
        if (slot % perSector == 0 &&
            !ReadAt(ListedFile, (h.entriesLba + slot / perSector) * size, Block, size))
            return TableGood; // WalkReadFailed tells
        GptEntry e;
        if (!LoadGptEntry(Block + std::size_t{slot % perSector} * h.entrySize, &e))
            continue;
        if (e.first > e.last || e.first < h.firstUsable || e.last > h.lastUsable)
            return TableGptEntryRange;
        ImageVolume v = NewVolume(slot + 1, e.first, e.last - e.first + 1, size, ImageVolumeGpt);
        std::memcpy(v.gptType, e.type, sizeof v.gptType);
        if (!AddVolume(v))
            return TableTooManyVolumes;
    }
    return AnyOverlap() ? TableOverlap : TableGood;
}

bool HeaderSignatureAt(std::uint64_t offset)
{
    return offset + SectorSize <= ImageDiskBytes && ReadAt(ListedFile, offset, Block, SectorSize) &&
           std::memcmp(Block, "EFI PART", 8) == 0;
}

// The primary header at LBA 1; when it or its entries are bad, the backup at
// the disk's last LBA. The primary's problem is reported when both are bad.
TableResult ListGpt()
{
    const std::uint32_t size =
        !HeaderSignatureAt(SectorSize) && HeaderSignatureAt(GptLargeSectorSize)
            ? GptLargeSectorSize
            : static_cast<std::uint32_t>(SectorSize);
    GptHeader h{};
    const TableResult primary = CheckGpt(size, 1, &h);
    if (primary != TableGood) {
        const std::uint64_t last = DiskSectors(size) - 1;
        if (last <= 1 || CheckGpt(size, last, &h) != TableGood)
            return primary;
        ImageUsedBackupGpt = true;
    }
    return ListGptEntries(size, h);
}

bool HasProtectiveEntry()
{
    for (int slot = 0; slot < MbrSlots; ++slot)
        if (LoadMbrEntry(Head, slot).type == MbrTypeProtective)
            return true;
    return false;
}

bool HasUsedEntry()
{
    for (int slot = 0; slot < MbrSlots; ++slot)
        if (!IsUnused(LoadMbrEntry(Head, slot)))
            return true;
    return false;
}

ImageResult Refused(ImageFormat format)
{
    switch (format) {
    case ImageFormatVhdx: return ImageRefusedVhdx;
    case ImageFormatVmdk: return ImageRefusedVmdk;
    case ImageFormatQcow2: return ImageRefusedQcow2;
    case ImageFormatVdi: return ImageRefusedVdi;
    default: return ImageRefusedDynamicVhd;
    }
}

ImageResult ListVolumes(std::uint64_t fileBytes)
{
    if (fileBytes < SectorSize)
        return ImageTooSmall;
    if (!ReadAt(ListedFile, 0, Head, SectorSize))
        return ImageReadFailed;
    const bool footerRoom = fileBytes > 2 * VhdFooterSize;
    if (footerRoom && !ReadAt(ListedFile, fileBytes - VhdFooterSize, Block, SectorSize))
        return ImageReadFailed;
    const ImageFormat format = RecognizeImageFormat(Head, footerRoom ? Block : nullptr);
    if (format != ImageFormatRaw && format != ImageFormatFixedVhd)
        return Refused(format);
    ImageDiskBytes = format == ImageFormatFixedVhd ? fileBytes - VhdFooterSize : fileBytes;

    TableResult table = TableGood;
    if (IsVolumeBootSector(Head)) {
        const std::uint32_t size = BootSectorSectorSize(Head);
        AddVolume(NewVolume(1, 0, DiskSectors(size), size, ImageVolumeOwnBoot));
    } else if (HasMbrSignature(Head) && HasProtectiveEntry()) {
        table = ListGpt();
    } else if (HasMbrSignature(Head) && HasUsedEntry()) {
        table = ListMbr();
    } else {
        AddVolume(NewVolume(1, 0, DiskSectors(SectorSize), SectorSize, ImageVolumeWhole));
    }
    if (WalkReadFailed)
        return ImageReadFailed;
    if (table == TableGood && ImageVolumeCount == 0)
        table = TableEmpty;
    ImageTableProblem = table;
    return table == TableGood ? ImageListed : ImageBadTable;
}

HANDLE OpenImage(bool write)
{
    const HANDLE file =
        CreateFileA(DiskImagePath, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                    write ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        NoteDiskError(DiskStepOpen, DiskCauseWin32, GetLastError());
    return file;
}

// The byte where sector n of the volume starts, when the sector lies inside
// both the volume and the disk; else the short transfer is noted.
bool SectorOffset(const ImageVolume& v, std::uint64_t n, std::uint8_t step, std::uint64_t* offset)
{
    const std::uint64_t limit = v.sectorSize >= SectorSize ? DiskSectors(v.sectorSize) : 0;
    if (n >= v.length || v.start >= limit || n >= limit - v.start) {
        NoteDiskError(step, DiskCauseShort, 0);
        return false;
    }
    *offset = (v.start + n) * v.sectorSize;
    return true;
}

} // namespace

ImageResult OpenDiskImage(const char* path)
{
    ImageVolumeCount = 0;
    RangeCount = 0;
    WalkReadFailed = false;
    ImageDiskBytes = 0;
    ImageTableProblem = TableGood;
    ImageUsedBackupGpt = false;
    if (std::strlen(path) >= sizeof DiskImagePath) {
        NoteDiskError(DiskStepOpen, DiskCauseWin32, ERROR_FILENAME_EXCED_RANGE);
        return ImageOpenFailed;
    }
    std::strcpy(DiskImagePath, path);
    ListedFile = OpenImage(false);
    if (ListedFile == INVALID_HANDLE_VALUE)
        return ImageOpenFailed;
    std::uint64_t fileBytes = 0;
    const ImageResult result =
        FileSize(ListedFile, &fileBytes) ? ListVolumes(fileBytes) : ImageOpenFailed;
    CloseHandle(ListedFile);
    ListedFile = INVALID_HANDLE_VALUE;
    if (result != ImageListed) {
        ImageVolumeCount = 0;
        ImageDiskBytes = 0;
    }
    return result;
}

namespace {

// Reads bytes at offset of the image file, opened for this read alone.
bool ReadFromImage(std::uint64_t offset, std::uint8_t* buffer, DWORD bytes)
{
    const HANDLE file = OpenImage(false);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool read = ReadAt(file, offset, buffer, bytes);
    CloseHandle(file);
    return read;
}

} // namespace

bool ReadImageSector(const ImageVolume& volume, std::uint64_t n, std::uint8_t* record)
{
    std::uint64_t offset = 0;
    return SectorOffset(volume, n, DiskStepRead, &offset) &&
           ReadFromImage(offset, record, SectorSize);
}

// The last sector is tried first, so that a range running past the end reads nothing.
bool ReadImageSectors(const ImageVolume& volume, std::uint64_t first, std::uint32_t count,
                      std::uint8_t* buffer)
{
    std::uint64_t offset = 0;
    if (count == 0)
        return true;
    return SectorOffset(volume, first + count - 1, DiskStepRead, &offset) &&
           SectorOffset(volume, first, DiskStepRead, &offset) &&
           ReadFromImage(offset, buffer, count * volume.sectorSize);
}

bool WriteImageSector(const ImageVolume& volume, std::uint64_t n, const std::uint8_t* record)
{
    std::uint64_t offset = 0;
    if (!SectorOffset(volume, n, DiskStepWrite, &offset))
        return false;
    const HANDLE file = OpenImage(true);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // A file that shrank since it was listed is not made longer.
    std::uint64_t fileBytes = 0;
    bool written = FileSize(file, &fileBytes);
    if (written && fileBytes < offset + SectorSize) {
        NoteDiskError(DiskStepWrite, DiskCauseShort, 0);
        written = false;
    }
    written = written && Seek(file, offset, DiskStepWrite);
    DWORD moved = 0;
    if (written && !WriteFile(file, record, SectorSize, &moved, nullptr)) {
        NoteDiskError(DiskStepWrite, DiskCauseWin32, GetLastError());
        written = false;
    } else if (written && moved != SectorSize) {
        NoteDiskError(DiskStepWrite, DiskCauseShort, moved);
        written = false;
    }
    CloseHandle(file);
    return written;
}

bool ImageWritable()
{
    const HANDLE file = OpenImage(true);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}
