#include "rebuild.h"

#include "backup.h"
#include "layout.h"
#include "record.h"
#include "template.h"

#include <cstring>
#include <utility>

namespace {

constexpr std::uint32_t EntryBits[3] = {12, 16, 32};
constexpr std::uint8_t KindOfWidth[3] = {FsKindFat12, FsKindFat16, FsKindFat32};
// The most clusters of each width, and the fewest (below them a FAT is of the
// narrower kind).
constexpr std::uint64_t MinClusters[3] = {1, 4085, 65525};
constexpr std::uint64_t MaxClusters[3] = {4084, 65524, 0x0FFFFFF5};
// Reserved sectors are a 16-bit count, so the first FAT starts below this;
// the scan gives up when none has shown by twice that.
constexpr std::uint64_t FirstFatLimit = 65536;
constexpr std::uint64_t NoFatScanLimit = 2 * FirstFatLimit;
constexpr std::uint32_t FsInfoLead = 0x41615252;
constexpr std::uint32_t FsInfoStruc = 0x61417272;
constexpr std::uint64_t FloppySectorsMax = 5760; // 2.88 MB in 512-byte sectors
constexpr std::uint64_t None = ~std::uint64_t{0};
constexpr int MaxCopies = 4;

// Compares the bytes with themselves one place on: the library's compare is
// much faster than a loop, and most of a volume's sectors are zeros.
bool AllZero(const std::uint8_t* p, std::size_t n)
{
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

// FNV-1a; never 0 for a sector that is not all zeros, so 0 marks a zero sector.
std::uint32_t HashSector(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h | 1;
}

bool IsMedia(std::uint8_t b)
{
    return b == 0xF0 || b >= 0xF8;
}

bool IsPowerOfTwo(std::uint64_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

// The largest cluster a FAT volume has: 64 KiB, and at most 128 sectors.
std::uint32_t MaxClusterSectors(std::uint32_t bps)
{
    const std::uint32_t bySize = 65536 / bps;
    return bySize < 128 ? bySize : 128;
}

int WidthOfClusters(std::uint64_t clusters)
{
    return clusters < MinClusters[1] ? 0 : clusters < MinClusters[2] ? 1 : 2;
}

bool ValidNameByte(std::uint8_t c)
{
    if (c < 0x20)
        return false;
    constexpr char Forbidden[] = "\"*+,/:;<=>?[\\]|";
    for (const char f : Forbidden)
        if (f != '\0' && c == static_cast<std::uint8_t>(f))
            return false;
    return true;
}

bool IsDotEntry(const std::uint8_t* e, int dots)
{
    for (int i = 0; i < 11; ++i)
        if (e[dirent::Name + i] != static_cast<std::uint8_t>(i < dots ? '.' : ' '))
            return false;
    return (e[dirent::Attr] & dirent::AttrDirectory) != 0;
}

bool IsLabelEntry(const std::uint8_t* e)
{
    const std::uint8_t attr = e[dirent::Attr];
    return attr != dirent::AttrLongName && (attr & ~0x20u) == dirent::AttrVolumeId &&
           e[0] != dirent::Free && e[0] != dirent::Deleted;
}

std::uint32_t EntryCluster(const std::uint8_t* e)
{
    return (static_cast<std::uint32_t>(LoadU16(e, dirent::FstClusHi)) << 16) |
           LoadU16(e, dirent::FstClusLo);
}

// --- The scan's memory ---

RebuildCandidate* CandidateAt(RebuildScan* scan, std::uint64_t start)
{
    for (int i = 0; i < scan->candidateCount; ++i)
        if (scan->candidates[i].start == start)
            return &scan->candidates[i];
    if (scan->candidateCount == RebuildMaxCandidates)
        return nullptr;
    RebuildCandidate* c = &scan->candidates[scan->candidateCount++];
    std::memset(c, 0, sizeof *c);
    c->start = start;
    return c;
}

void AddSpan(RebuildScan* scan, std::uint64_t sector, std::uint8_t cls)
{
    if (scan->spanCount > 0 && scan->spans[scan->spanCount - 1].cls == cls)
        return;
    if (scan->spanCount == RebuildMaxSpans)
        return;
    scan->spans[scan->spanCount++] = RebuildSpan{sector, cls};
}

// The first sector at or after from, among those read, whose class is in mask
// (a bit per SectorClass); None when there is none.
std::uint64_t FirstOfClass(const RebuildScan* scan, std::uint64_t from, unsigned mask)
{
    for (int i = 0; i < scan->spanCount; ++i) {
        const std::uint64_t end = i + 1 < scan->spanCount ? scan->spans[i + 1].first : scan->next;
        if ((mask & (1u << scan->spans[i].cls)) != 0 && end > from)
            return scan->spans[i].first > from ? scan->spans[i].first : from;
    }
    return None;
}

std::uint8_t ClassOf(const RebuildScan* scan, std::uint64_t sector)
{
    std::uint8_t cls = ClassOther;
    for (int i = 0; i < scan->spanCount && scan->spans[i].first <= sector; ++i)
        cls = scan->spans[i].cls;
    return sector < scan->next ? cls : static_cast<std::uint8_t>(ClassOther);
}

void NoteDirectory(RebuildScan* scan, const std::uint8_t* p, std::uint64_t sector, std::uint8_t cls,
                   std::uint32_t dot)
{
    if (cls == ClassDotDir && scan->subdirCount < RebuildMaxSubdirs)
        scan->subdirs[scan->subdirCount++] =
            RebuildSubdir{sector, dot, static_cast<std::uint16_t>(dot & 0xFFFF)};
    for (std::size_t off = 0; off + dirent::Size <= scan->bytesPerSector; off += dirent::Size) {
        if (IsLabelEntry(p + off) && scan->labelCount < RebuildMaxLabels) {
            RebuildLabel& l = scan->labels[scan->labelCount++];
            l.sector = sector;
            std::memcpy(l.name, p + off, sizeof l.name);
        }
    }
}

void NoteFatSector(RebuildScan* scan, const std::uint8_t* p, std::uint64_t sector)
{
    const std::uint32_t bps = scan->bytesPerSector;
    for (int w = 0; w < 3; ++w) {
        if (FatStartSignature(p, w)) {
            RebuildCandidate* c = CandidateAt(scan, sector);
            if (c != nullptr)
                c->signature[w] = true;
        }
        std::uint64_t index = 0;
        if (FatSectorIndex(p, bps, w, &index) && index < sector) {
            RebuildCandidate* c = CandidateAt(scan, sector - index);
            if (c != nullptr)
                ++c->votes[w];
        }
    }
}

// Hashes the sector into every copy whose first sectors it is, and keeps the
// first copy's last byte in use up to the next copy.
void NoteCopies(RebuildScan* scan, const std::uint8_t* p, std::uint64_t sector, bool zero)
{
    const std::uint32_t bps = scan->bytesPerSector;
    std::uint32_t hash = 0;
    const RebuildCandidate* first = nullptr;
    std::uint64_t second = None;
    for (int i = 0; i < scan->candidateCount; ++i) {
        RebuildCandidate& c = scan->candidates[i];
        if (first == nullptr || c.start < first->start) {
            if (first != nullptr)
                second = first->start;
            first = &c;
        } else if (c.start < second) {
            second = c.start;
        }
        if (sector < c.start || sector - c.start >= RebuildHashedSectors)
            continue;
        const std::uint64_t k = sector - c.start;
        if (hash == 0 && !zero)
            hash = HashSector(p, bps);
        c.hash[k] = hash;
        c.hashedMask |= std::uint64_t{1} << k;
        if (k == 0) {
            std::memcpy(c.head, p, sizeof c.head);
            c.headSeen = true;
        }
    }
    if (first != nullptr && !zero && sector >= first->start && sector < second &&
        scan->firstDirectory == 0) {
        std::size_t last = bps;
        while (last > 0 && p[last - 1] == 0)
            --last;
        const std::uint64_t high = (sector - first->start) * bps + last;
        if (high > scan->fatHighByte)
            scan->fatHighByte = high;
    }
}

void NoteSector(RebuildScan* scan, const std::uint8_t* p, std::uint64_t sector)
{
    const std::uint32_t bps = scan->bytesPerSector;
    if (sector == 0) {
        std::memcpy(scan->oldSector0, p, sizeof scan->oldSector0);
        scan->haveOldSector0 = true;
    }
    const bool zero = AllZero(p, bps);
    std::uint32_t dot = 0;
    const std::uint8_t cls =
        zero ? static_cast<std::uint8_t>(ClassZero) : ClassifyDirectorySector(p, bps, &dot);
    AddSpan(scan, sector, cls);
    if ((cls == ClassDirectory || cls == ClassDotDir) && scan->candidateCount > 0 &&
        scan->firstDirectory == 0)
        scan->firstDirectory = sector;
    if (cls == ClassDirectory || cls == ClassDotDir) {
        NoteDirectory(scan, p, sector, cls, dot);
    } else if (!zero && sector > 0) {
        if (LoadU32(p, fsinfo::LeadSig) == FsInfoLead &&
            LoadU32(p, fsinfo::StrucSig) == FsInfoStruc) {
            if (scan->fsInfoSector == 0)
                scan->fsInfoSector = sector;
            else if (scan->fsInfoCopySector == 0)
                scan->fsInfoCopySector = sector;
        } else if (HoldsFat32BootSector(p)) {
            if (scan->backupBootSector == 0)
                scan->backupBootSector = sector;
        } else {
            NoteFatSector(scan, p, sector);
        }
    }
    NoteCopies(scan, p, sector, zero);
}

// --- Reading the layout from what was seen ---

// Whether b is a copy of a, at distance b->start - a->start: the sectors hashed
// in both agree more often than not, and at least one holds something.
bool CopiesMatch(const RebuildCandidate& a, const RebuildCandidate& b)
{
    const std::uint64_t distance = b.start - a.start;
    std::uint64_t common = a.hashedMask & b.hashedMask;
    if (distance < RebuildHashedSectors)
        common &= (std::uint64_t{1} << distance) - 1;
    int same = 0;
    int differ = 0;
    for (int k = 0; k < RebuildHashedSectors; ++k) {
        if ((common & (std::uint64_t{1} << k)) == 0)
            continue;
        if (a.hash[k] != b.hash[k])
            ++differ;
        else if (a.hash[k] != 0)
            ++same;
    }
    return same > differ;
}

const RebuildCandidate* FindCandidate(const RebuildScan* scan, std::uint64_t start)
{
    for (int i = 0; i < scan->candidateCount; ++i)
        if (scan->candidates[i].start == start)
            return &scan->candidates[i];
    return nullptr;
}

bool HasEvidence(const RebuildCandidate& c, int w)
{
    return c.signature[w] || c.votes[w] > 0;
}

// The first copy of a FAT of width w (any width for w < 0), or nullptr.
const RebuildCandidate* FirstCopy(const RebuildScan* scan, int w)
{
    const RebuildCandidate* first = nullptr;
    for (int i = 0; i < scan->candidateCount; ++i) {
        const RebuildCandidate& c = scan->candidates[i];
        const bool evidence = w < 0 || HasEvidence(c, w);
        if (evidence && c.start < FirstFatLimit && (first == nullptr || c.start < first->start))
            first = &c;
    }
    return first;
}

// The nearest later place that holds a copy of first: its distance, or 0.
std::uint64_t CopyDistance(const RebuildScan* scan, const RebuildCandidate& first)
{
    std::uint64_t best = 0;
    for (int i = 0; i < scan->candidateCount; ++i) {
        const RebuildCandidate& c = scan->candidates[i];
        if (c.start > first.start && (best == 0 || c.start - first.start < best) &&
            CopiesMatch(first, c))
            best = c.start - first.start;
    }
    return best;
}

struct ClusterFit {
    std::uint32_t sectorsPerCluster; // 0: the subdirectories do not tell
    std::uint64_t dataStart;
    int agree; // subdirectories at their place under this fit
};

// The cluster size and data start that most subdirectories agree with, from
// each pair: the sector distance divided by the cluster distance. wide: the
// "." entries' clusters keep their high word (FAT32).
ClusterFit FitClusters(const RebuildScan* scan, bool wide, std::uint64_t after)
{
    ClusterFit best{0, 0, 0};
    const int n = scan->subdirCount;
    const std::uint32_t maxSpc = MaxClusterSectors(scan->bytesPerSector);
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            const RebuildSubdir* a = &scan->subdirs[i];
            const RebuildSubdir* b = &scan->subdirs[j];
            std::uint64_t ca = wide ? a->cluster : a->clusterLo;
            std::uint64_t cb = wide ? b->cluster : b->clusterLo;
            if (ca > cb) {
                std::swap(a, b);
                std::swap(ca, cb);
            }
            if (ca < 2 || ca == cb || b->sector <= a->sector)
                continue;
            const std::uint64_t ds = b->sector - a->sector;
            const std::uint64_t dc = cb - ca;
            if (ds % dc != 0 || !IsPowerOfTwo(ds / dc) || ds / dc > maxSpc)
                continue;
            const std::uint64_t spc = ds / dc;
            if (a->sector < (ca - 2) * spc)
                continue;
            const std::uint64_t data = a->sector - (ca - 2) * spc;
            if (data <= after)
                continue;
            int agree = 0;
            for (int k = 0; k < n; ++k) {
                const RebuildSubdir& s = scan->subdirs[k];
                const std::uint64_t c = wide ? s.cluster : s.clusterLo;
                agree += c >= 2 && s.sector == data + (c - 2) * spc;
            }
            if (agree > best.agree)
                best = ClusterFit{static_cast<std::uint32_t>(spc), data, agree};
        }
    }
    return best;
}

// Where the scan stops when the subdirectories have not answered: past the
// last cluster the first FAT copy has in use, for any cluster size.
std::uint64_t ScanLimit(const RebuildScan* scan)
{
    const RebuildCandidate* first = FirstCopy(scan, -1);
    if (first == nullptr)
        return NoFatScanLimit;
    // The FATs end where the first directory starts, or at the last copy.
    const std::uint64_t distance = CopyDistance(scan, *first);
    std::uint64_t fatsEnd = first->start + MaxCopies * distance;
    if (scan->firstDirectory > first->start && (distance == 0 || scan->firstDirectory < fatsEnd))
        fatsEnd = scan->firstDirectory;
    else if (distance == 0)
        return None; // one copy, and no directory yet: its end is not known
    const std::uint32_t bps = scan->bytesPerSector;
    const std::uint64_t clusters = scan->fatHighByte * 8 / 12 + 2; // 12 bits: the most entries
    const std::uint64_t rootMax = 2 * 1024 * 1024 / bps;           // 65,536 root entries
    return fatsEnd + rootMax + clusters * MaxClusterSectors(bps);
}

void UpdateProgress(RebuildScan* scan)
{
    const RebuildCandidate* first = FirstCopy(scan, -1);
    if (first != nullptr && FitClusters(scan, true, first->start).agree >= 2)
        scan->done = true;
    if (first != nullptr && FitClusters(scan, false, first->start).agree >= 2)
        scan->done = true;
    const std::uint64_t limit = ScanLimit(scan);
    scan->limit = limit < scan->volumeSectors ? limit : scan->volumeSectors;
    if (scan->next >= scan->limit)
        scan->done = true;
}

// --- The rebuilt layout ---

struct Layout {
    int w;
    std::uint64_t reserved;
    std::uint64_t fatSize;
    int fats;
    std::uint64_t dataStart;
    std::uint64_t rootSectors; // FAT12/16
    std::uint32_t spc;
    std::uint64_t total;
    std::uint64_t clusters;
    std::uint8_t media;
    std::uint64_t fatStarts[MaxCopies];
    int subdirs;
    int evidence;
    bool fat2InUse; // FAT32: FAT[2] seen, and not free
    std::uint8_t how[RbFieldCount];
};

std::uint64_t FatCapacity(std::uint64_t fatSize, std::uint32_t bps, int w)
{
    const std::uint64_t entries = fatSize * bps * 8 / EntryBits[w];
    const std::uint64_t clusters = entries > 2 ? entries - 2 : 0;
    return clusters < MaxClusters[w] ? clusters : MaxClusters[w];
}

// The layout under entry width w, or false when the structures do not hold
// together under it.
bool BuildLayout(const RebuildScan* scan, int w, Layout* out)
{
    Layout l{};
    l.w = w;
    const std::uint32_t bps = scan->bytesPerSector;
    const RebuildCandidate* first = FirstCopy(scan, w);
    if (first == nullptr)
        return false;
    l.evidence = static_cast<int>(first->votes[w]) + (first->signature[w] ? 4 : 0);
    l.reserved = first->start;
    l.fat2InUse = first->headSeen && (LoadU32(first->head, 8) & fatsig::Fat32EntryMask) != 0;
    l.how[RbReservedSectors] = HowFound;
    l.fatSize = CopyDistance(scan, *first);
    l.fats = 1;
    l.fatStarts[0] = first->start;
    if (l.fatSize != 0) {
        for (; l.fats < MaxCopies; ++l.fats) {
            const RebuildCandidate* c = FindCandidate(scan, first->start + l.fats * l.fatSize);
            if (c == nullptr || !CopiesMatch(*first, *c))
                break;
            l.fatStarts[l.fats] = c->start;
        }
        l.how[RbFatSize] = HowFound;
    }
    l.how[RbNumFats] = HowFound;

    const ClusterFit fit = FitClusters(scan, w == 2, first->start);
    const std::uint64_t fatEnd = first->start + l.fats * l.fatSize;
    if (fit.agree >= 2 && fit.dataStart >= fatEnd &&
        (w < 2 || l.fatSize == 0 || fit.dataStart == fatEnd)) {
        l.spc = fit.sectorsPerCluster;
        l.dataStart = fit.dataStart;
        l.subdirs = fit.agree;
        l.how[RbSectorsPerCluster] = HowFound;
        l.how[RbRootEntries] = HowDerived;
    } else if (l.fatSize != 0 && w == 2) {
        l.dataStart = fatEnd;
        l.how[RbRootEntries] = HowDerived;
    } else {
        // FAT12/16: the root directory follows the FATs, the data follows the
        // root directory's entries. FAT32 with one FAT: the data, and its root
        // cluster, start at the first directory past the FAT.
        const std::uint64_t root =
            l.fatSize != 0 ? fatEnd : FirstOfClass(scan, first->start + 1, 1u << ClassDirectory);
        if (root == None)
            return false;
        const std::uint64_t data =
            w == 2 ? root : FirstOfClass(scan, root + 1, (1u << ClassOther) | (1u << ClassDotDir));
        if (data == None)
            return false;
        l.dataStart = data;
        l.how[RbRootEntries] = HowGuessed;
        if (l.fatSize == 0) {
            l.fatSize = root - first->start;
            l.how[RbFatSize] = HowGuessed;
        }
    }
    if (l.dataStart >= scan->volumeSectors)
        return false;
    if (l.fatSize == 0) {
        if (l.spc == 0)
            return false;
        // One copy, the data start known: FAT32 data follows the FAT; FAT12/16
        // get the smallest FAT for their clusters, the root directory the rest.
        if (w == 2) {
            l.fatSize = l.dataStart - first->start;
            l.how[RbFatSize] = HowDerived;
        } else {
            const std::uint64_t clusters = (scan->volumeSectors - l.dataStart) / l.spc;
            const std::uint64_t bytes = ((clusters + 2) * EntryBits[w] + 7) / 8;
            l.fatSize = (bytes + bps - 1) / bps;
            l.how[RbFatSize] = HowGuessed;
            l.how[RbRootEntries] = HowGuessed;
        }
    }
    if (l.dataStart <= first->start + l.fats * l.fatSize - (w == 2 ? 1 : 0) ||
        l.dataStart >= scan->volumeSectors)
        return false;
    l.rootSectors = w == 2 ? 0 : l.dataStart - (first->start + l.fats * l.fatSize);
    if (l.rootSectors * bps / dirent::Size > 0xFFFF)
        return false;

    const std::uint64_t capacity = FatCapacity(l.fatSize, bps, w);
    if (l.spc == 0) {
        // The smallest cluster that lets the FAT address the data.
        for (std::uint32_t spc = 1; spc <= MaxClusterSectors(bps); spc *= 2) {
            if ((scan->volumeSectors - l.dataStart) / spc <= capacity) {
                l.spc = spc;
                break;
            }
        }
        if (l.spc == 0)
            return false;
        l.how[RbSectorsPerCluster] = HowGuessed;
    }
    l.clusters = (scan->volumeSectors - l.dataStart) / l.spc;
    if (l.clusters > capacity)
        l.clusters = capacity;
    l.total = scan->volumeSectors;
    if (l.total > l.dataStart + l.clusters * l.spc && l.clusters == capacity)
        l.total = l.dataStart + l.clusters * l.spc;
    if (l.total > 0xFFFFFFFFu)
        return false;
    l.how[RbTotalSectors] = HowDerived;
    if (WidthOfClusters(l.clusters) != w || l.clusters == 0)
        return false;

    if (first->headSeen && first->signature[w]) {
        l.media = first->head[0];
        l.how[RbMedia] = HowFound;
    } else {
        l.media = scan->volumeSectors * bps <= FloppySectorsMax * 512 ? 0xF0 : 0xF8;
        l.how[RbMedia] = HowGuessed;
    }
    *out = l;
    return true;
}

// The old sector 0 is kept as the base when it still has a jump whose target
// lies past the fields, and 0x55AA.
bool OldSectorPlausible(const RebuildScan* scan, std::size_t fieldsEnd)
{
    const std::uint8_t* o = scan->oldSector0;
    if (!scan->haveOldSector0 || LoadU16(o, BootSignature) != 0xAA55)
        return false;
    std::size_t target = 0;
    if (o[0] == 0xEB && o[2] == 0x90)
        target = o[1] + 2u;
    else if (o[0] == 0xE9)
        target = (LoadU16(o, 1) + 3u) & 0xFFFF;
    else
        return false;
    return target >= fieldsEnd && target < BootSignature;
}

void StoreType(std::uint8_t* r, std::size_t off, int w)
{
    // Blanks pad the name up to the boot code where the jump lands inside the field.
    const char* name = w == 0 ? "FAT12   " : w == 1 ? "FAT16   " : "FAT32   ";
    std::size_t end = off + 8;
    if (r[0] == 0xEB && r[1] + 2u > off && r[1] + 2u < end)
        end = r[1] + 2u;
    for (std::size_t i = off; i < end; ++i)
        r[i] = static_cast<std::uint8_t>(name[i - off]);
}

// Sectors per track and heads of the usual floppy formats, else of a hard disk.
void GuessGeometry(std::uint64_t bytes, std::uint16_t* spt, std::uint16_t* heads)
{
    struct Floppy {
        std::uint64_t kib;
        std::uint16_t spt;
    };
    constexpr Floppy Floppies[] = {{360, 9}, {720, 9}, {1200, 15}, {1440, 18}, {2880, 36}};
    for (const Floppy& f : Floppies) {
        if (bytes == f.kib * 1024) {
            *spt = f.spt;
            *heads = f.kib == 360 ? 1 : 2;
            return;
        }
    }
    *spt = 63;
    *heads = 255;
}

void FillRecord(const RebuildScan* scan, Layout& l, std::uint8_t* r)
{
    const bool fat32 = l.w == 2;
    const std::size_t drvOff = fat32 ? fat32::BS_DrvNum : fat16::BS_DrvNum;
    const std::size_t sigOff = fat32 ? fat32::BS_BootSig : fat16::BS_BootSig;
    const std::size_t serialOff = fat32 ? fat32::BS_VolID : fat16::BS_VolID;
    const std::size_t labelOff = fat32 ? fat32::BS_VolLab : fat16::BS_VolLab;
    const std::size_t typeOff = fat32 ? fat32::BS_FilSysType : fat16::BS_FilSysType;
    const std::uint8_t* o = scan->oldSector0;
    const bool keep = OldSectorPlausible(scan, typeOff);
    const bool oldBpb = keep && LoadU16(o, BPB_BytsPerSec) == scan->bytesPerSector;
    const bool oldExt = keep && o[sigOff] == 0x29;
    std::memcpy(r, keep ? o : BootSectorTemplate.data(), SectorSize);
    l.how[RbOemName] = l.how[RbBootCode] = keep ? HowFound : HowGuessed;

    std::memset(r + BPB_BytsPerSec, 0, typeOff - BPB_BytsPerSec);
    StoreU16(r, BPB_BytsPerSec, scan->bytesPerSector);
    l.how[RbBytesPerSector] = HowFound;
    StoreU8(r, BPB_SecPerClus, l.spc);
    StoreU16(r, BPB_RsvdSecCnt, static_cast<std::uint32_t>(l.reserved));
    StoreU8(r, BPB_NumFATs, static_cast<std::uint32_t>(l.fats));
    StoreU8(r, BPB_Media, l.media);
    const std::uint32_t total = static_cast<std::uint32_t>(l.total);
    if (fat32) {
        StoreU32(r, BPB_TotSec32, total);
        StoreU32(r, fat32::BPB_FATSz32, static_cast<std::uint32_t>(l.fatSize));
    } else {
        StoreU16(r, BPB_RootEntCnt,
                 static_cast<std::uint32_t>(l.rootSectors * scan->bytesPerSector / dirent::Size));
        StoreU16(r, BPB_FATSz16, static_cast<std::uint32_t>(l.fatSize));
        if (total < 0x10000)
            StoreU16(r, BPB_TotSec16, total);
        else
            StoreU32(r, BPB_TotSec32, total);
    }

    std::uint16_t spt = oldBpb ? LoadU16(o, BPB_SecPerTrk) : 0;
    std::uint16_t heads = oldBpb ? LoadU16(o, BPB_NumHeads) : 0;
    l.how[RbGeometry] = HowFound;
    if (spt == 0 || spt > 63 || heads == 0 || heads > 256) {
        GuessGeometry(scan->volumeSectors * scan->bytesPerSector, &spt, &heads);
        l.how[RbGeometry] = HowGuessed;
    }
    StoreU16(r, BPB_SecPerTrk, spt);
    StoreU16(r, BPB_NumHeads, heads);

    std::uint64_t hidden = 0;
    l.how[RbHiddenSectors] = HowFound;
    if (scan->startKnown)
        hidden = scan->partitionStart;
    else if (oldBpb)
        hidden = LoadU32(o, BPB_HiddSec);
    else
        l.how[RbHiddenSectors] = HowGuessed;
    StoreU32(r, BPB_HiddSec, static_cast<std::uint32_t>(hidden));

    r[drvOff] = oldExt ? o[drvOff] : (l.media == 0xF0 ? 0x00 : 0x80);
    l.how[RbDriveNumber] = oldExt ? HowFound : HowGuessed;
    r[sigOff] = 0x29;
    const std::uint32_t serial = oldExt ? LoadU32(o, serialOff) : scan->newSerial;
    StoreU32(r, serialOff, serial);
    l.how[RbSerial] = oldExt && serial != 0 ? HowFound : HowGuessed;
    StoreType(r, typeOff, l.w);
    l.how[RbType] = HowDerived;

    // The label entry in the root directory: FAT12/16 between the FATs and the
    // data, FAT32 in the root cluster's first cluster.
    std::uint64_t rootFirst = l.dataStart - l.rootSectors;
    std::uint64_t rootEnd = l.dataStart;
    if (fat32) {
        std::uint32_t rootCluster = 2;
        l.how[RbRootCluster] = HowFound;
        if (ClassOf(scan, l.dataStart) != ClassDirectory && !l.fat2InUse) {
            l.how[RbRootCluster] = HowGuessed;
            for (int i = 0; i < scan->labelCount; ++i) {
                const std::uint64_t s = scan->labels[i].sector;
                if (s >= l.dataStart && (s - l.dataStart) % l.spc == 0) {
                    rootCluster = static_cast<std::uint32_t>((s - l.dataStart) / l.spc + 2);
                    l.how[RbRootCluster] = HowFound;
                    break;
                }
            }
        } else if (ClassOf(scan, l.dataStart) != ClassDirectory) {
            l.how[RbRootCluster] = HowDerived;
        }
        StoreU32(r, fat32::BPB_RootClus, rootCluster);
        rootFirst = l.dataStart + (rootCluster - 2ull) * l.spc;
        rootEnd = rootFirst + l.spc;

        std::uint64_t fsInfo = 1;
        std::uint64_t backup = 6;
        l.how[RbFsInfo] = l.how[RbBackupSector] = HowGuessed;
        if (scan->fsInfoSector != 0 && scan->fsInfoSector < l.reserved) {
            fsInfo = scan->fsInfoSector;
            l.how[RbFsInfo] = HowFound;
        }
        if (scan->backupBootSector != 0 && scan->backupBootSector < l.reserved) {
            backup = scan->backupBootSector;
            l.how[RbBackupSector] = HowFound;
        } else if (l.how[RbFsInfo] == HowFound && scan->fsInfoCopySector > fsInfo &&
                   scan->fsInfoCopySector < l.reserved) {
            // The backup keeps its own FS Info copy at the same distance.
            backup = scan->fsInfoCopySector - fsInfo;
            l.how[RbBackupSector] = HowDerived;
        }
        StoreU16(r, fat32::BPB_FSInfo, static_cast<std::uint32_t>(fsInfo));
        StoreU16(r, fat32::BPB_BkBootSec, static_cast<std::uint32_t>(backup));
    }
    constexpr std::uint8_t NoName[11] = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};
    std::memcpy(r + labelOff, NoName, sizeof NoName);
    l.how[RbLabel] = HowDerived;
    for (int i = 0; i < scan->labelCount; ++i) {
        if (scan->labels[i].sector >= rootFirst && scan->labels[i].sector < rootEnd) {
            std::memcpy(r + labelOff, scan->labels[i].name, 11);
            l.how[RbLabel] = HowFound;
            break;
        }
    }
    StoreU16(r, BootSignature, 0xAA55);
}

} // namespace

std::uint8_t ClassifyDirectorySector(const std::uint8_t* p, std::size_t size,
                                     std::uint32_t* dotCluster)
{
    *dotCluster = 0;
    bool any = false;
    bool ended = false;
    for (std::size_t off = 0; off + dirent::Size <= size; off += dirent::Size) {
        const std::uint8_t* e = p + off;
        if (ended || e[0] == dirent::Free) {
            ended = true;
            if (!AllZero(e, dirent::Size))
                return ClassOther;
            continue;
        }
        const std::uint8_t attr = e[dirent::Attr];
        if (attr == dirent::AttrLongName) {
            if (LoadU16(e, dirent::FstClusLo) != 0 || e[12] != 0)
                return ClassOther;
            any = true;
            continue;
        }
        // Byte 12 keeps only the lower-case flags of the name and extension.
        if ((attr & 0xC0) != 0 || (e[12] & ~0x18u) != 0)
            return ClassOther;
        if (e[0] != dirent::Deleted) {
            for (int i = 0; i < 11; ++i)
                if (!ValidNameByte(e[i]) && !(i == 0 && e[i] == 0x05))
                    return ClassOther;
        }
        any = true;
    }
    if (!any)
        return ClassOther;
    if (size >= 2 * dirent::Size && IsDotEntry(p, 1) && IsDotEntry(p + dirent::Size, 2)) {
        *dotCluster = EntryCluster(p);
        return ClassDotDir;
    }
    return ClassDirectory;
}

bool FatSectorIndex(const std::uint8_t* p, std::size_t size, int widthIndex, std::uint64_t* index)
{
    // A run of four entries, each holding the next one's number, names its own
    // place in the FAT: entry i holds i + 1.
    const std::size_t step = widthIndex == 0 ? 1 : EntryBits[widthIndex] / 8;
    const std::size_t need = widthIndex == 0 ? 6 : 4 * step;
    for (std::size_t o = 0; o + need <= size; o += step) {
        std::uint64_t v[4];
        if (widthIndex == 0) {
            v[0] = p[o] | ((p[o + 1] & 0x0Fu) << 8);
            v[1] = (p[o + 1] >> 4) | (p[o + 2] << 4);
            v[2] = p[o + 3] | ((p[o + 4] & 0x0Fu) << 8);
            v[3] = (p[o + 4] >> 4) | (p[o + 5] << 4);
            if (v[0] % 2 == 0) // the first of a pair of 12-bit entries has an even index
                continue;
        } else {
            for (int k = 0; k < 4; ++k)
                v[k] = widthIndex == 1 ? LoadU16(p, o + k * step)
                                       : LoadU32(p, o + k * step) & fatsig::Fat32EntryMask;
        }
        if (v[0] < 3 || v[1] != v[0] + 1 || v[2] != v[0] + 2 || v[3] != v[0] + 3)
            continue;
        const std::uint64_t byte = widthIndex == 0 ? (v[0] - 1) * 3 / 2 : (v[0] - 1) * step;
        if (byte < o || (byte - o) % size != 0)
            continue;
        *index = (byte - o) / size;
        return true;
    }
    return false;
}

bool FatStartSignature(const std::uint8_t* p, int widthIndex)
{
    if (!IsMedia(p[0]) || p[1] != 0xFF)
        return false;
    switch (widthIndex) {
    case 0: return p[2] == 0xFF;
    case 1: return (LoadU16(p, 2) | fatsig::Fat16CleanBits | 0x0008) == 0xFFFF;
    default:
        return p[2] == 0xFF && (p[3] & 0x0F) == 0x0F &&
               ((LoadU32(p, 4) & fatsig::Fat32EntryMask) | fatsig::Fat32CleanBits | 0x08) ==
                   fatsig::Fat32EntryMask;
    }
}

bool RebuildStart(RebuildScan* scan, std::uint32_t bytesPerSector, std::uint64_t volumeSectors,
                  std::uint32_t chunkSectors, bool startKnown, std::uint64_t partitionStart,
                  std::uint32_t newSerial)
{
    std::memset(scan, 0, sizeof *scan);
    scan->bytesPerSector = bytesPerSector;
    scan->volumeSectors = volumeSectors;
    scan->chunkSectors = chunkSectors;
    scan->startKnown = startKnown;
    scan->partitionStart = partitionStart;
    scan->newSerial = newSerial;
    const bool sane = bytesPerSector >= 512 && bytesPerSector <= RebuildMaxSector &&
                      IsPowerOfTwo(bytesPerSector) && chunkSectors > 0 && volumeSectors > 0;
    scan->done = !sane;
    scan->limit = sane ? (volumeSectors < NoFatScanLimit ? volumeSectors : NoFatScanLimit) : 0;
    return sane;
}

bool RebuildNextRange(const RebuildScan* scan, std::uint64_t* first, std::uint32_t* count)
{
    if (scan->done || scan->next >= scan->limit)
        return false;
    const std::uint64_t left = scan->limit - scan->next;
    *first = scan->next;
    *count = left < scan->chunkSectors ? static_cast<std::uint32_t>(left) : scan->chunkSectors;
    return true;
}

void RebuildFeed(RebuildScan* scan, const std::uint8_t* data, std::uint32_t count)
{
    if (scan->done)
        return;
    for (std::uint32_t i = 0; i < count; ++i)
        NoteSector(scan, data + static_cast<std::size_t>(i) * scan->bytesPerSector, scan->next + i);
    scan->next += count;
    scan->sectorsRead += count;
    UpdateProgress(scan);
}

RebuildSummary RebuildFinish(const RebuildScan* scan, std::uint8_t* record, std::uint8_t* how)
{
    RebuildSummary s{};
    std::memset(record, 0, SectorSize);
    std::memset(how, 0, RbFieldCount);
    s.searchedFirst = 0;
    s.searchedEnd = scan->next;
    s.sectorsRead = scan->sectorsRead;
    s.candidatesSeen = scan->candidateCount;
    s.subdirsSeen = scan->subdirCount;
    if (scan->bytesPerSector < 512 || scan->candidateCount == 0)
        return s;

    // Each width that holds together; the one with the most evidence wins.
    Layout best{};
    bool found = false;
    for (int w = 2; w >= 0; --w) {
        Layout l{};
        if (BuildLayout(scan, w, &l) && (!found || l.evidence > best.evidence)) {
            best = l;
            found = true;
        }
    }
    if (!found)
        return s;
    FillRecord(scan, best, record);
    std::memcpy(how, best.how, RbFieldCount);
    s.found = true;
    s.kind = KindOfWidth[best.w];
    for (int i = 0; i < best.fats; ++i)
        s.fatStarts[i] = best.fatStarts[i];
    s.fatCopies = best.fats;
    s.subdirsUsed = best.subdirs;
    s.dataStart = best.dataStart;
    return s;
}
