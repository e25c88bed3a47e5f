// Rebuilding a lost FAT12/FAT16/FAT32 boot sector from the volume's own
// structures (the FAT copies and the directories), or an NTFS one from the
// $MFT's first records. The scan knows nothing of
// drives or files: the caller asks which sectors it needs next, reads them in
// one transfer, hands them in and repeats until the scan says it is done, then
// asks for the rebuilt sector. Every sector number and count is in the volume's
// own sectors (512 to 4096 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

// Directory entries: 32 bytes each.
namespace dirent {
constexpr std::size_t Size = 32;
constexpr std::size_t Name = 0;       // 11 bytes, 8.3 padded with blanks
constexpr std::size_t Attr = 11;      // u8
constexpr std::size_t FstClusHi = 20; // u16, FAT32 only
constexpr std::size_t FstClusLo = 26; // u16
constexpr std::uint8_t AttrVolumeId = 0x08;
constexpr std::uint8_t AttrDirectory = 0x10;
constexpr std::uint8_t AttrLongName = 0x0F; // read-only, hidden, system and volume id
constexpr std::uint8_t Free = 0x00;         // first name byte: this and all later entries free
constexpr std::uint8_t Deleted = 0xE5;      // first name byte of a deleted entry
} // namespace dirent

// The start of every FAT: FAT[0] holds the media byte in its low byte and ones
// above; FAT[1] holds ones, less the clean-shutdown and no-error bits on a
// volume that was not closed cleanly.
namespace fatsig {
constexpr std::uint16_t Fat16CleanBits = 0xC000; // FAT16 FAT[1]: clean, no error
constexpr std::uint32_t Fat32CleanBits = 0x0C000000;
constexpr std::uint32_t Fat32EntryMask = 0x0FFFFFFF; // the top nibble is reserved
} // namespace fatsig

// FS Info sector of FAT32.
namespace fsinfo {
constexpr std::size_t LeadSig = 0;    // u32 0x41615252 "RRaA"
constexpr std::size_t StrucSig = 484; // u32 0x61417272 "rrAa"
constexpr std::size_t TrailSig = 508; // u32 0xAA550000
} // namespace fsinfo

// How the scan came to a field's value.
enum RebuildHow : std::uint8_t {
    HowNone = 0,    // not part of this layout
    HowFound = 1,   // read from the volume's structures as it stands
    HowDerived = 2, // computed from found values
    HowGuessed = 3, // the structures do not tell: a usual value
};

// The fields of the rebuilt sector, in the order a result lists them.
enum RebuildField : std::uint8_t {
    RbBytesPerSector,
    RbSectorsPerCluster,
    RbReservedSectors,
    RbNumFats,
    RbRootEntries,
    RbTotalSectors,
    RbMedia,
    RbFatSize,
    RbGeometry, // sectors per track and heads
    RbHiddenSectors,
    RbRootCluster,
    RbFsInfo,
    RbBackupSector,
    RbDriveNumber,
    RbSerial,
    RbLabel,
    RbOemName,
    RbBootCode,
    RbType,
    RbMftCluster, // NTFS: $MFT's first cluster
    RbMftMirrCluster,
    RbRecordSize, // NTFS: clusters per file record
    RbIndexSize,  // NTFS: clusters per index block
    RbFieldCount
};

constexpr int RebuildMaxCandidates = 32; // places where a FAT seems to start
constexpr int RebuildMaxSubdirs = 16;    // subdirectories seen by their "." entry
constexpr int RebuildMaxLabels = 8;      // volume label entries seen
constexpr int RebuildMaxSpans = 512;     // runs of sectors of one class
constexpr int RebuildHashedSectors = 64; // sectors of each FAT copy compared with the others
constexpr std::uint32_t RebuildMaxSector = 4096;
constexpr std::uint32_t RebuildMaxRecord = 4096; // the largest NTFS file record followed
constexpr int RebuildMaxBand = 32;               // places below the middle looked at

// A place where a FAT seems to start, with the evidence for each entry width
// (index 0: 12 bits, 1: 16, 2: 32).
struct RebuildCandidate {
    std::uint64_t start;
    std::uint32_t votes[3];   // sectors whose runs of entries point here
    bool signature[3];        // the start signature of that width at start
    bool headSeen;            // head holds the first bytes of the start sector
    std::uint8_t head[16];    // FAT[0] onwards
    std::uint64_t hashedMask; // which of the first sectors were hashed
    std::uint32_t hash[RebuildHashedSectors];
};

struct RebuildSubdir {
    std::uint64_t sector;  // where its "." entry is
    std::uint32_t cluster; // the cluster its "." entry names (FAT32: with the high word)
    std::uint16_t clusterLo;
};

struct RebuildLabel {
    std::uint64_t sector;
    std::uint8_t name[11];
};

// A run of consecutive sectors of one class, in the order read.
enum SectorClass : std::uint8_t {
    ClassZero,      // all zero bytes
    ClassDirectory, // directory entries, not starting with "."
    ClassDotDir,    // the first sector of a subdirectory
    ClassOther,
};

struct RebuildSpan {
    std::uint64_t first;
    std::uint8_t cls;
};

// Where the NTFS search is: the first sectors (read in order, with the FAT
// scan), the places below the volume's middle where a mirror of the $MFT
// sits, then the rest of the volume in order.
enum NtfsPhase : std::uint8_t { PhaseHead, PhaseBand, PhaseWhole };

// What a targeted read (a probe) is for.
enum NtfsStep : std::uint8_t {
    StepCheck,   // a record that may be $MFT's
    StepRecords, // records 0 and 1 after the $MFT record found
    StepOther,   // record 0 at the other copy, under one cluster size
    StepRoot,    // record 5, the root directory, in the $MFT
};

struct RebuildNtfs {
    std::uint8_t phase;
    std::uint8_t step;
    std::uint64_t band[RebuildMaxBand]; // nearest the middle first
    int bandCount;
    int bandNext;
    std::uint64_t probeFirst; // the probe's sectors, and those handed in so far
    std::uint32_t probeCount;
    std::uint32_t probeHave;
    std::uint32_t probeSkip; // bytes before the record in the probe's first sector
    std::uint8_t probe[2 * RebuildMaxRecord];
    std::uint8_t work[RebuildMaxRecord]; // a record with its fixups applied
    std::uint64_t hit;                   // the sector of the $MFT record followed
    std::uint32_t recordBytes;
    std::uint64_t mftLcn;
    std::uint64_t mirrLcn;
    bool hitIsMirror;     // the record followed lies at the mirror's cluster
    std::uint32_t spc[2]; // cluster sizes that put the record at a copy
    int spcCount;
    int spcTry;               // the one being confirmed
    bool confirmed;           // the other copy holds $MFT's record 0 too
    std::uint32_t indexBytes; // 0: the root directory did not tell
    bool found;               // the values are complete
    int hitsFollowed;
};

// The whole state of one scan. The caller fills the inputs through
// RebuildStart and otherwise only reads it.
struct RebuildScan {
    // Inputs.
    std::uint32_t bytesPerSector;
    std::uint64_t volumeSectors; // the volume's length
    std::uint32_t chunkSectors;  // the most the caller reads at once
    bool startKnown;             // the partition's first sector is known
    std::uint64_t partitionStart;
    std::uint32_t newSerial; // used when the old sector 0 keeps no plausible one

    // Progress.
    std::uint64_t next;        // the next sector to read
    std::uint64_t limit;       // the scan reads no further than this
    std::uint64_t sectorsRead; // all sectors handed in
    bool done;

    // What was seen.
    std::uint8_t oldSector0[512];
    bool haveOldSector0;
    RebuildCandidate candidates[RebuildMaxCandidates];
    int candidateCount;
    RebuildSubdir subdirs[RebuildMaxSubdirs];
    int subdirCount;
    RebuildLabel labels[RebuildMaxLabels];
    int labelCount;
    RebuildSpan spans[RebuildMaxSpans];
    int spanCount;
    std::uint64_t fsInfoSector;     // the first FS Info sector seen, 0: none
    std::uint64_t fsInfoCopySector; // the second one: the backup's copy
    std::uint64_t backupBootSector; // a FAT32 boot sector past sector 0
    std::uint64_t fatHighByte;      // the last byte in use in the first FAT copy
    std::uint64_t firstDirectory;   // the first directory sector past it, 0: none yet
    RebuildNtfs ntfs;
};

// What the scan made of the volume: the layout behind the rebuilt sector, for
// the result message, and what was searched when nothing was found.
struct RebuildSummary {
    bool found;            // a FAT or $MFT was found and the record was filled
    std::uint8_t kind;     // FsKindFat12, FsKindFat16, FsKindFat32 or FsKindNtfs
    bool templateBootCode; // the old boot code was gone: the volume will not start
    // NTFS: where $MFT's record 0 was found and whether the other copy agreed.
    std::uint64_t mftRecordSector;
    bool mftFoundInMirror;
    bool otherCopyAgrees;
    std::uint64_t fatStarts[4]; // where each FAT copy starts
    int fatCopies;
    int subdirsUsed; // subdirectories that gave the cluster size
    std::uint64_t dataStart;
    std::uint64_t searchedFirst; // the sectors read: first and past the last
    std::uint64_t searchedEnd;
    std::uint64_t sectorsRead;
    int candidatesSeen; // places where a FAT seemed to start
    int subdirsSeen;
    int mftRecordsFollowed; // NTFS: $MFT records found and followed
};

// One API serves both kinds: the scan reads the first sectors for a FAT and
// notices $MFT records among them; without a FAT it looks below the volume's
// middle for the $MFT's mirror, then through the whole volume. Around a $MFT
// record it asks for a few sectors elsewhere (records 0 and 1, the other copy,
// the root directory), so the ranges do not always follow one another.
//
// Starts a scan. bytesPerSector is the volume's sector size (512 to 4096, a
// power of two), volumeSectors its length, chunkSectors the most sectors the
// caller will read at once (at least 1). False for a size out of range; the
// scan is then done with nothing found.
bool RebuildStart(RebuildScan* scan, std::uint32_t bytesPerSector, std::uint64_t volumeSectors,
                  std::uint32_t chunkSectors, bool startKnown, std::uint64_t partitionStart,
                  std::uint32_t newSerial);

// The sectors the scan needs next: false when it is done. Otherwise *first and
// *count (1 to chunkSectors) name them.
bool RebuildNextRange(const RebuildScan* scan, std::uint64_t* first, std::uint32_t* count);

// Hands in the sectors of the range that RebuildNextRange named, count *
// bytesPerSector bytes.
void RebuildFeed(RebuildScan* scan, const std::uint8_t* data, std::uint32_t count);

// Fills record (512 bytes) with the rebuilt boot sector and how[RbFieldCount]
// with how each field was found, and returns the summary. When no FAT or $MFT was
// found, summary.found is false, record and how are cleared and the summary
// says what was searched. Works on any scan, finished or not.
RebuildSummary RebuildFinish(const RebuildScan* scan, std::uint8_t* record, std::uint8_t* how);

// --- The pieces of the scan, for the fuzzer ---

// The SectorClass of a sector of size bytes that is not all zeros: directory
// entries, the first sector of a subdirectory (then *dotCluster gets the
// cluster its "." entry names, else 0), or anything else.
std::uint8_t ClassifyDirectorySector(const std::uint8_t* sector, std::size_t size,
                                     std::uint32_t* dotCluster);

// Which sector of its FAT a sector is, from a run of entries each holding the
// next one's number, for widthIndex 0 (12 bits), 1 (16) or 2 (32): true and
// *index when there is one.
bool FatSectorIndex(const std::uint8_t* sector, std::size_t size, int widthIndex,
                    std::uint64_t* index);

// Whether a sector (at least 8 bytes) begins with the start signature of a FAT
// of that width.
bool FatStartSignature(const std::uint8_t* sector, int widthIndex);

// Checks the header of an NTFS file record at p (size bytes): "FILE", a length
// (its allocated size) that is a multiple of 512 up to RebuildMaxRecord, and an
// update sequence array at an even offset inside the first 510 bytes with
// 1 + length/512 entries. Its length, or 0.
std::uint32_t FileRecordLength(const std::uint8_t* p, std::size_t size);

// Copies the record at p into out (RebuildMaxRecord bytes) with the update
// sequence applied: its length, or 0 when the header does not hold, size is
// short of it, or a 512-byte block does not end in the sequence number.
std::uint32_t LoadFileRecord(const std::uint8_t* p, std::size_t size, std::uint8_t* out);

// Whether a loaded record is $MFT's own: in use, named "$MFT", and numbered 0
// where the header has a number (update sequence at 0x30, NTFS 3.1; the
// 42-byte header of NT 4.0 and 2000 has none).
bool IsMftRecord(const std::uint8_t* rec, std::uint32_t length);

// The first cluster of a loaded record's unnamed $DATA, from its run list:
// true when it is non-resident, starts at VCN 0 and its first run is not sparse.
bool RecordDataLcn(const std::uint8_t* rec, std::uint32_t length, std::uint64_t* lcn);

// The index block size in a loaded record's $INDEX_ROOT (a power of two from
// 512 to 65536), or 0.
std::uint32_t RecordIndexBlockBytes(const std::uint8_t* rec, std::uint32_t length);
