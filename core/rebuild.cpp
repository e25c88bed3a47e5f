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

// Sectors per track, heads and hidden sectors: the partition's start when the
// caller knows it, else the old sector's values when its BPB still holds.
void StoreGeometryAndHidden(const RebuildScan* scan, std::uint8_t* r, bool oldBpb,
                            std::uint8_t* how)
{
    const std::uint8_t* o = scan->oldSector0;
    std::uint16_t spt = oldBpb ? LoadU16(o, BPB_SecPerTrk) : 0;
    std::uint16_t heads = oldBpb ? LoadU16(o, BPB_NumHeads) : 0;
    how[RbGeometry] = HowFound;
    if (spt == 0 || spt > 63 || heads == 0 || heads > 256) {
        GuessGeometry(scan->volumeSectors * scan->bytesPerSector, &spt, &heads);
        how[RbGeometry] = HowGuessed;
    }
    StoreU16(r, BPB_SecPerTrk, spt);
    StoreU16(r, BPB_NumHeads, heads);

    std::uint64_t hidden = 0;
    how[RbHiddenSectors] = HowFound;
    if (scan->startKnown)
        hidden = scan->partitionStart;
    else if (oldBpb)
        hidden = LoadU32(o, BPB_HiddSec);
    else
        how[RbHiddenSectors] = HowGuessed;
    StoreU32(r, BPB_HiddSec, static_cast<std::uint32_t>(hidden));
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

    StoreGeometryAndHidden(scan, r, oldBpb, l.how);

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

// --- NTFS: following the $MFT's first records ---

// NTFS file records: the header, then attributes up to the 0xFFFFFFFF end mark.
namespace filerec {
constexpr std::size_t UsaOffset = 4;       // u16
constexpr std::size_t UsaCount = 6;        // u16
constexpr std::size_t AttrsOffset = 0x14;  // u16
constexpr std::size_t Flags = 0x16;        // u16, bit 0: in use
constexpr std::size_t BytesInUse = 0x18;   // u32
constexpr std::size_t BytesAlloc = 0x1C;   // u32
constexpr std::size_t RecordNumber = 0x2C; // u32, NTFS 3.1 headers only
constexpr std::uint16_t UsaOffset31 = 0x30;
constexpr std::size_t BlockSize = 512; // each block ends in the sequence number
} // namespace filerec

namespace attr {
constexpr std::size_t Type = 0;         // u32
constexpr std::size_t Length = 4;       // u32
constexpr std::size_t NonResident = 8;  // u8
constexpr std::size_t NameLength = 9;   // u8
constexpr std::size_t ValueLength = 16; // u32, resident
constexpr std::size_t ValueOffset = 20; // u16, resident
constexpr std::size_t LowestVcn = 16;   // u64, non-resident
constexpr std::size_t RunsOffset = 32;  // u16, non-resident
constexpr std::size_t MinResident = 24; // header bytes of each form
constexpr std::size_t MinNonResident = 64;
constexpr std::uint32_t FileName = 0x30;
constexpr std::uint32_t Data = 0x80;
constexpr std::uint32_t IndexRoot = 0x90;
constexpr std::uint32_t End = 0xFFFFFFFF;
constexpr std::size_t FileNameLength = 0x40; // u8, in the $FILE_NAME value
constexpr std::size_t FileNameChars = 0x42;  // UTF-16
constexpr std::size_t IndexBlockBytes = 8;   // u32, in the $INDEX_ROOT value
} // namespace attr

constexpr std::uint64_t NtfsHeadSectors = 2050;
constexpr std::uint32_t NtfsMaxClusterBytes = 2 * 1024 * 1024;
constexpr std::uint32_t NtfsMaxSpc = 4096; // code 0xF4
constexpr std::uint32_t UsualRecordBytes = 1024;
constexpr std::uint32_t UsualIndexBytes = 4096;
constexpr int NtfsRootRecord = 5;

int Log2(std::uint64_t v)
{
    int n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

// The next attribute at or after *at of that type (any name unless unnamed):
// true with *at and *length, inside the record's bytes in use.
bool NextAttribute(const std::uint8_t* rec, std::uint32_t length, std::uint32_t type, bool unnamed,
                   std::size_t* at, std::size_t* attrLength)
{
    const std::uint32_t inUse = LoadU32(rec, filerec::BytesInUse);
    const std::size_t end = inUse < length ? inUse : length;
    std::size_t a = *at;
    while (a + 8 <= end && LoadU32(rec, a + attr::Type) != attr::End) {
        const std::uint32_t len = LoadU32(rec, a + attr::Length);
        if (len < attr::MinResident || len > end - a)
            return false;
        if (LoadU32(rec, a + attr::Type) == type && (!unnamed || rec[a + attr::NameLength] == 0)) {
            *at = a;
            *attrLength = len;
            return true;
        }
        a += len;
    }
    return false;
}

// A resident attribute's value: true with its offset in the record and length.
bool ResidentValue(const std::uint8_t* rec, std::size_t a, std::size_t len, std::size_t* value,
                   std::size_t* valueLength)
{
    if (rec[a + attr::NonResident] != 0)
        return false;
    const std::size_t off = LoadU16(rec, a + attr::ValueOffset);
    const std::size_t vlen = LoadU32(rec, a + attr::ValueLength);
    if (off > len || vlen > len - off)
        return false;
    *value = a + off;
    *valueLength = vlen;
    return true;
}

std::size_t FirstAttribute(const std::uint8_t* rec)
{
    return LoadU16(rec, filerec::AttrsOffset);
}

// Sectors per cluster as the boot sector codes it: 1 to 128, else 2^(256 - code).
std::uint8_t SpcCode(std::uint32_t spc)
{
    return static_cast<std::uint8_t>(spc <= 128 ? spc : 256 - Log2(spc));
}

// A record or index block size in clusters, or 2^-code bytes when below one.
std::uint8_t SizeCode(std::uint32_t bytes, std::uint32_t clusterBytes)
{
    return static_cast<std::uint8_t>(bytes >= clusterBytes ? bytes / clusterBytes
                                                           : 256 - Log2(bytes));
}

void QueueProbe(RebuildScan* scan, std::uint8_t step, std::uint64_t first, std::uint32_t skip,
                std::uint32_t bytes)
{
    RebuildNtfs& n = scan->ntfs;
    const std::uint32_t bps = scan->bytesPerSector;
    n.step = step;
    n.probeFirst = first;
    n.probeSkip = skip;
    n.probeCount = (skip + bytes + bps - 1) / bps;
    n.probeHave = 0;
    // Cut at the volume's end: a record cut short does not load.
    if (first >= scan->volumeSectors)
        n.probeCount = 0;
    else if (n.probeCount > scan->volumeSectors - first)
        n.probeCount = static_cast<std::uint32_t>(scan->volumeSectors - first);
}

bool ProbePending(const RebuildScan* scan)
{
    return scan->ntfs.probeHave < scan->ntfs.probeCount;
}

// The sector where cluster lcn starts, or None past the volume or the largest cluster.
std::uint64_t ClusterSector(const RebuildScan* scan, std::uint64_t lcn, std::uint32_t spc)
{
    if (lcn >= scan->volumeSectors / spc)
        return None;
    return lcn * spc;
}

bool AnyFatLayout(const RebuildScan* scan)
{
    Layout l{};
    for (int w = 0; w < 3; ++w)
        if (BuildLayout(scan, w, &l))
            return true;
    return false;
}

// The $MFT record at sector hit: ask for records 0 and 1 there.
void FollowHit(RebuildScan* scan, std::uint64_t hit, std::uint32_t length)
{
    // A FAT that holds together wins: the record lies in a file on it.
    if (scan->candidateCount > 0 && AnyFatLayout(scan))
        return;
    RebuildNtfs& n = scan->ntfs;
    n.hit = hit;
    ++n.hitsFollowed;
    QueueProbe(scan, StepRecords, hit, 0, 2 * length);
}

// A sector read in order that begins a file record: follow it when it is
// $MFT's, or ask for the rest of it when the chunk ends inside it.
void NoteFileRecord(RebuildScan* scan, const std::uint8_t* p, std::size_t avail,
                    std::uint64_t sector)
{
    const std::uint32_t length = FileRecordLength(p, avail);
    if (length == 0)
        return;
    if (length > avail) {
        // Only a record that may be number 0 is worth a read of its own.
        if (LoadU16(p, filerec::UsaOffset) != filerec::UsaOffset31 ||
            LoadU32(p, filerec::RecordNumber) == 0)
            QueueProbe(scan, StepCheck, sector, 0, length);
        return;
    }
    if (LoadFileRecord(p, avail, scan->ntfs.work) != 0 && IsMftRecord(scan->ntfs.work, length))
        FollowHit(scan, sector, length);
}

// The places where the mirror sits when formatted at the volume's middle, one
// for each cluster size: the last cluster that starts at or below it, with the
// volume counted with and without its last sector.
void PlanBand(RebuildScan* scan)
{
    RebuildNtfs& n = scan->ntfs;
    const std::uint32_t bps = scan->bytesPerSector;
    n.bandCount = 0;
    for (std::uint64_t length = scan->volumeSectors - 1; length <= scan->volumeSectors; ++length) {
        const std::uint64_t half = length * bps / 2;
        for (std::uint32_t spc = 1; spc <= NtfsMaxSpc && spc * bps <= NtfsMaxClusterBytes;
             spc *= 2) {
            const std::uint64_t at = half / (std::uint64_t{spc} * bps) * spc;
            bool seen = at < scan->next || at == 0;
            for (int i = 0; i < n.bandCount && !seen; ++i)
                seen = n.band[i] == at;
            if (!seen && n.bandCount < RebuildMaxBand)
                n.band[n.bandCount++] = at;
        }
    }
    for (int i = 1; i < n.bandCount; ++i)
        for (int j = i; j > 0 && n.band[j] > n.band[j - 1]; --j)
            std::swap(n.band[j], n.band[j - 1]);
    n.bandNext = 0;
}

// After each transfer: what the scan reads next, once no probe is pending.
void Advance(RebuildScan* scan)
{
    RebuildNtfs& n = scan->ntfs;
    if (n.found) {
        scan->done = true;
        return;
    }
    if (ProbePending(scan))
        return;
    const std::uint64_t head =
        scan->volumeSectors < NtfsHeadSectors ? scan->volumeSectors : NtfsHeadSectors;
    if (n.phase == PhaseHead) {
        // The FAT scan reads on, but not past the first sectors before a FAT has shown.
        if (!scan->done && scan->next < scan->limit &&
            (scan->next < head || scan->candidateCount > 0))
            return;
        if (AnyFatLayout(scan)) {
            scan->done = true;
            return;
        }
        if (scan->next < head) {
            scan->done = false;
            scan->limit = head;
            return;
        }
        n.phase = PhaseBand;
        PlanBand(scan);
    }
    if (n.phase == PhaseBand) {
        if (n.bandNext < n.bandCount) {
            QueueProbe(scan, StepCheck, n.band[n.bandNext++], 0, UsualRecordBytes);
            return;
        }
        n.phase = PhaseWhole;
    }
    // A FAT that shows late (a reserved area past the first sectors) still ends the scan.
    if (scan->done && scan->candidateCount > 0 && AnyFatLayout(scan))
        return;
    scan->limit = scan->volumeSectors;
    scan->done = scan->next >= scan->limit;
}

// A cluster size under which the record at hit lies at cluster lcn: a power of
// two up to 4096 sectors and 2 MiB.
void AddSpc(RebuildScan* scan, std::uint64_t lcn)
{
    RebuildNtfs& n = scan->ntfs;
    if (lcn == 0 || n.hit % lcn != 0)
        return;
    const std::uint64_t spc = n.hit / lcn;
    if (IsPowerOfTwo(spc) && spc <= NtfsMaxSpc && spc * scan->bytesPerSector <= NtfsMaxClusterBytes)
        n.spc[n.spcCount++] = static_cast<std::uint32_t>(spc);
}

// Asks for record 5, the root directory, in the $MFT under the cluster size
// kept; past the volume's end the index block size stays the usual one.
void ReadRootDirectory(RebuildScan* scan)
{
    RebuildNtfs& n = scan->ntfs;
    const std::uint32_t bps = scan->bytesPerSector;
    const std::uint64_t mftSector = ClusterSector(scan, n.mftLcn, n.spc[0]);
    const std::uint64_t byte = mftSector * bps + NtfsRootRecord * std::uint64_t{n.recordBytes};
    const std::uint64_t last = (byte + n.recordBytes - 1) / bps;
    if (mftSector == None || last >= scan->volumeSectors) {
        n.found = true;
        return;
    }
    QueueProbe(scan, StepRoot, byte / bps, static_cast<std::uint32_t>(byte % bps), n.recordBytes);
}

// Asks for record 0 at the other copy under the next cluster size to try;
// when none is left (or one agreed), goes on to the root directory under the
// first cluster size, confirmed or not.
void TryOtherCopy(RebuildScan* scan)
{
    RebuildNtfs& n = scan->ntfs;
    const std::uint32_t bps = scan->bytesPerSector;
    for (; !n.confirmed && n.spcTry < n.spcCount; ++n.spcTry) {
        const std::uint32_t spc = n.spc[n.spcTry];
        const bool mirror = n.hit == n.mirrLcn * spc;
        const std::uint64_t other = ClusterSector(scan, mirror ? n.mftLcn : n.mirrLcn, spc);
        if (other != None && other + (n.recordBytes + bps - 1) / bps <= scan->volumeSectors) {
            QueueProbe(scan, StepOther, other, 0, n.recordBytes);
            return;
        }
    }
    ReadRootDirectory(scan);
}

void ProbeDone(RebuildScan* scan)
{
    RebuildNtfs& n = scan->ntfs;
    const std::size_t have = static_cast<std::size_t>(n.probeCount) * scan->bytesPerSector;
    const std::uint8_t* p = n.probe + n.probeSkip;
    const std::size_t avail = have - n.probeSkip;
    std::uint8_t* rec = n.work;
    const std::uint32_t length = LoadFileRecord(p, avail, rec);
    std::uint64_t lcn = 0;
    switch (n.step) {
    case StepCheck:
        if (length == 0 && FileRecordLength(p, avail) > avail)
            QueueProbe(scan, StepCheck, n.probeFirst, 0, FileRecordLength(p, avail));
        else if (length != 0 && IsMftRecord(rec, length))
            FollowHit(scan, n.probeFirst, length);
        break;
    case StepRecords:
        n.recordBytes = length;
        n.spcCount = n.spcTry = 0;
        n.confirmed = false;
        if (length == 0 || !IsMftRecord(rec, length) || !RecordDataLcn(rec, length, &n.mftLcn))
            break;
        if (LoadFileRecord(p + length, avail - length, rec) != length ||
            !RecordDataLcn(rec, length, &n.mirrLcn) || n.mirrLcn == n.mftLcn)
            break;
        AddSpc(scan, n.mftLcn);
        AddSpc(scan, n.mirrLcn);
        if (n.spcCount > 0)
            TryOtherCopy(scan);
        break;
    case StepOther:
        if (length == n.recordBytes && IsMftRecord(rec, length) &&
            RecordDataLcn(rec, length, &lcn) && lcn == n.mftLcn) {
            n.confirmed = true;
            n.spc[0] = n.spc[n.spcTry];
        } else {
            ++n.spcTry;
        }
        TryOtherCopy(scan);
        break;
    default: // StepRoot
        n.indexBytes = length == n.recordBytes ? RecordIndexBlockBytes(rec, length) : 0;
        n.found = true;
        break;
    }
    // When no probe is pending and nothing was found, this record led nowhere:
    // Advance goes on with the search.
}

void FeedProbe(RebuildScan* scan, const std::uint8_t* data, std::uint32_t count)
{
    RebuildNtfs& n = scan->ntfs;
    if (count > n.probeCount - n.probeHave)
        count = n.probeCount - n.probeHave;
    std::memcpy(n.probe + static_cast<std::size_t>(n.probeHave) * scan->bytesPerSector, data,
                static_cast<std::size_t>(count) * scan->bytesPerSector);
    n.probeHave += count;
    if (!ProbePending(scan))
        ProbeDone(scan);
}

void FillNtfsRecord(const RebuildScan* scan, std::uint8_t* r, std::uint8_t* how)
{
    const RebuildNtfs& n = scan->ntfs;
    const std::uint32_t bps = scan->bytesPerSector;
    const std::uint32_t spc = n.spc[0];
    const std::uint8_t* o = scan->oldSector0;
    const bool keep = OldSectorPlausible(scan, ntfs::BootCode);
    const bool oldNtfs = keep && HoldsNtfsBootSector(o);
    const bool oldBpb = oldNtfs && LoadU16(o, BPB_BytsPerSec) == bps;
    std::memcpy(r, keep ? o : BootSectorTemplate.data(), SectorSize);
    how[RbBootCode] = keep ? HowFound : HowGuessed;
    constexpr std::uint8_t Oem[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
    std::memcpy(r + BS_OEMName, Oem, sizeof Oem);
    how[RbOemName] = HowDerived;
    std::memset(r + BPB_BytsPerSec, 0, ntfs::BootCode - BPB_BytsPerSec);

    StoreU16(r, BPB_BytsPerSec, bps);
    how[RbBytesPerSector] = HowFound;
    StoreU8(r, BPB_SecPerClus, SpcCode(spc));
    how[RbSectorsPerCluster] = n.confirmed ? HowDerived : HowGuessed;
    StoreU8(r, BPB_Media, 0xF8);
    how[RbMedia] = HowGuessed;
    StoreGeometryAndHidden(scan, r, oldBpb, how);
    StoreU8(r, ntfs::PhysicalDrive, oldBpb ? o[ntfs::PhysicalDrive] : 0x80);
    how[RbDriveNumber] = oldBpb ? HowFound : HowGuessed;
    StoreU8(r, ntfs::ExtendedBootSig, 0x80);
    StoreU64(r, ntfs::NtfsTotalSectors, scan->volumeSectors - 1);
    how[RbTotalSectors] = HowDerived;
    StoreU64(r, ntfs::MftCluster, n.mftLcn);
    StoreU64(r, ntfs::MftMirrCluster, n.mirrLcn);
    how[RbMftCluster] = how[RbMftMirrCluster] = HowFound;
    const std::uint32_t clusterBytes = spc * bps;
    StoreU8(r, ntfs::ClustersPerFileRecord, SizeCode(n.recordBytes, clusterBytes));
    how[RbRecordSize] = HowFound;
    StoreU8(r, ntfs::ClustersPerIndexBlock,
            SizeCode(n.indexBytes != 0 ? n.indexBytes : UsualIndexBytes, clusterBytes));
    how[RbIndexSize] = n.indexBytes != 0 ? HowFound : HowGuessed;
    const std::uint64_t serial = oldNtfs ? LoadU64(o, ntfs::NtfsVolumeSerial) : 0;
    StoreU64(r, ntfs::NtfsVolumeSerial,
             serial != 0 ? serial : scan->newSerial | std::uint64_t{scan->newSerial} << 32);
    how[RbSerial] = serial != 0 ? HowFound : HowGuessed;
    how[RbType] = HowDerived;
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
    const RebuildNtfs& n = scan->ntfs;
    if (ProbePending(scan)) {
        const std::uint32_t left = n.probeCount - n.probeHave;
        *first = n.probeFirst + n.probeHave;
        *count = left < scan->chunkSectors ? left : scan->chunkSectors;
        return true;
    }
    if (scan->done || scan->next >= scan->limit)
        return false;
    const std::uint64_t left = scan->limit - scan->next;
    *first = scan->next;
    *count = left < scan->chunkSectors ? static_cast<std::uint32_t>(left) : scan->chunkSectors;
    return true;
}

void RebuildFeed(RebuildScan* scan, const std::uint8_t* data, std::uint32_t count)
{
    const std::uint32_t bps = scan->bytesPerSector;
    if (ProbePending(scan)) {
        scan->sectorsRead += count;
        FeedProbe(scan, data, count);
        Advance(scan);
        return;
    }
    if (scan->done)
        return;
    // The FAT scan sees the sectors read in order up to where a first FAT may start.
    const bool fat = scan->next < NoFatScanLimit;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* p = data + static_cast<std::size_t>(i) * bps;
        if (fat)
            NoteSector(scan, p, scan->next + i);
        if (!ProbePending(scan))
            NoteFileRecord(scan, p, static_cast<std::size_t>(count - i) * bps, scan->next + i);
    }
    scan->next += count;
    scan->sectorsRead += count;
    if (fat)
        UpdateProgress(scan);
    Advance(scan);
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
    s.mftRecordsFollowed = scan->ntfs.hitsFollowed;
    if (scan->ntfs.found) {
        const RebuildNtfs& n = scan->ntfs;
        FillNtfsRecord(scan, record, how);
        s.found = true;
        s.kind = FsKindNtfs;
        s.templateBootCode = how[RbBootCode] == HowGuessed;
        s.mftRecordSector = n.hit;
        s.mftFoundInMirror = n.hit == n.mirrLcn * n.spc[0];
        s.otherCopyAgrees = n.confirmed;
        return s;
    }
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
    s.templateBootCode = how[RbBootCode] == HowGuessed;
    s.kind = KindOfWidth[best.w];
    for (int i = 0; i < best.fats; ++i)
        s.fatStarts[i] = best.fatStarts[i];
    s.fatCopies = best.fats;
    s.subdirsUsed = best.subdirs;
    s.dataStart = best.dataStart;
    return s;
}

std::uint32_t FileRecordLength(const std::uint8_t* p, std::size_t size)
{
    if (size < filerec::BytesAlloc + 4 || std::memcmp(p, "FILE", 4) != 0)
        return 0;
    const std::uint32_t length = LoadU32(p, filerec::BytesAlloc);
    const std::uint32_t usa = LoadU16(p, filerec::UsaOffset);
    const std::uint32_t count = LoadU16(p, filerec::UsaCount);
    if (length == 0 || length % filerec::BlockSize != 0 || length > RebuildMaxRecord ||
        usa % 2 != 0 || usa < filerec::BytesAlloc + 4 || count != 1 + length / filerec::BlockSize ||
        usa + count * 2 > filerec::BlockSize - 2)
        return 0;
    return length;
}

std::uint32_t LoadFileRecord(const std::uint8_t* p, std::size_t size, std::uint8_t* out)
{
    const std::uint32_t length = FileRecordLength(p, size);
    if (length == 0 || length > size)
        return 0;
    std::memcpy(out, p, length);
    const std::size_t usa = LoadU16(out, filerec::UsaOffset);
    const std::uint16_t sequence = LoadU16(out, usa);
    for (std::size_t i = 1; i <= length / filerec::BlockSize; ++i) {
        const std::size_t end = i * filerec::BlockSize - 2;
        if (LoadU16(out, end) != sequence)
            return 0;
        out[end] = out[usa + 2 * i];
        out[end + 1] = out[usa + 2 * i + 1];
    }
    const std::uint32_t inUse = LoadU32(out, filerec::BytesInUse);
    const std::uint32_t attrs = FirstAttribute(out);
    if (inUse > length || attrs < usa || attrs >= inUse)
        return 0;
    return length;
}

bool IsMftRecord(const std::uint8_t* rec, std::uint32_t length)
{
    if ((LoadU16(rec, filerec::Flags) & 1) == 0)
        return false;
    if (LoadU16(rec, filerec::UsaOffset) == filerec::UsaOffset31 &&
        LoadU32(rec, filerec::RecordNumber) != 0)
        return false;
    constexpr std::uint8_t Name[] = {'$', 0, 'M', 0, 'F', 0, 'T', 0};
    std::size_t a = FirstAttribute(rec);
    std::size_t len = 0;
    for (; NextAttribute(rec, length, attr::FileName, false, &a, &len); a += len) {
        std::size_t value = 0;
        std::size_t vlen = 0;
        if (ResidentValue(rec, a, len, &value, &vlen) &&
            vlen >= attr::FileNameChars + sizeof Name && rec[value + attr::FileNameLength] == 4 &&
            std::memcmp(rec + value + attr::FileNameChars, Name, sizeof Name) == 0)
            return true;
    }
    return false;
}

bool RecordDataLcn(const std::uint8_t* rec, std::uint32_t length, std::uint64_t* lcn)
{
    std::size_t a = FirstAttribute(rec);
    std::size_t len = 0;
    if (!NextAttribute(rec, length, attr::Data, true, &a, &len) || len < attr::MinNonResident ||
        rec[a + attr::NonResident] != 1 || LoadU64(rec, a + attr::LowestVcn) != 0)
        return false;
    // The first mapping pair: a header byte whose low nibble counts the bytes
    // of the run's length and high nibble those of its signed cluster delta
    // (none: a sparse run), then the two numbers, little-endian.
    const std::size_t runs = a + LoadU16(rec, a + attr::RunsOffset);
    if (runs >= a + len)
        return false;
    const std::uint32_t lengthBytes = rec[runs] & 0x0F;
    const std::uint32_t lcnBytes = rec[runs] >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || lcnBytes == 0 || lcnBytes > 8 ||
        runs + 1 + lengthBytes + lcnBytes > a + len)
        return false;
    const std::uint8_t* d = rec + runs + 1 + lengthBytes;
    std::uint64_t v = 0;
    for (std::uint32_t i = lcnBytes; i > 0; --i)
        v = v << 8 | d[i - 1];
    if ((d[lcnBytes - 1] & 0x80) != 0 || v == 0) // negative: no first run starts there
        return false;
    *lcn = v;
    return true;
}

std::uint32_t RecordIndexBlockBytes(const std::uint8_t* rec, std::uint32_t length)
{
    std::size_t a = FirstAttribute(rec);
    std::size_t len = 0;
    std::size_t value = 0;
    std::size_t vlen = 0;
    if (!NextAttribute(rec, length, attr::IndexRoot, false, &a, &len) ||
        !ResidentValue(rec, a, len, &value, &vlen) || vlen < attr::IndexBlockBytes + 4)
        return 0;
    const std::uint32_t bytes = LoadU32(rec, value + attr::IndexBlockBytes);
    return IsPowerOfTwo(bytes) && bytes >= 512 && bytes <= 65536 ? bytes : 0;
}
