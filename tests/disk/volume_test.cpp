// The NT family's volume access: the calls and arguments of a sector transfer,
// where it stops when a step fails, volumes of every sector size, and the
// picker's probe.
#include "disk/volume.h"
#include "disk/sector.h"

#include "disk/disk_error.h"
#include "disk/legacy.h"

#include "standin_disk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// The file calls of the log, in order (the stand-in logs other areas too).
Calls FileCalls()
{
    Calls found;
    for (const auto& call : standin::Calls)
        for (const char* name : {"CreateFileA", "SetFilePointer", "ReadFile", "WriteFile", "Close"})
            if (call.rfind(name, 0) == 0)
                found.push_back(call);
    return found;
}

// The calls of one transfer on drive letter, spelled one letter a call: O open
// (gives h1), X open that fails, S position at 0, R read, W write, C close.
Calls Spell(const char* steps, char letter = 'A', const char* flags = "0x20000000")
{
    const std::string open = std::string("CreateFileA(\\\\.\\") + letter +
                             ":, 0xC0000000, 0x2, null, 3, " + flags + ", null) -> ";
    Calls calls;
    for (const char* s = steps; *s; ++s)
        calls.push_back(*s == 'O'   ? open + "h1"
                        : *s == 'X' ? open + "INVALID"
                        : *s == 'S' ? "SetFilePointer(h1, 0x0, &0x0, 0)"
                        : *s == 'R' ? "ReadFile(h1, 512)"
                        : *s == 'W' ? "WriteFile(h1, 512)"
                                    : "CloseHandle(h1)");
    return calls;
}

// A volume whose byte i holds i * 7 + 1 (mod 256), so every sector differs.
standin::Volume& PatternVolume(int drive, std::size_t size)
{
    auto& volume = standin::AddVolume(standin::VolumeName(drive), size);
    for (std::size_t i = 0; i < size; ++i)
        volume.bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return volume;
}

void ExpectNoHandleFaults(const std::string& what)
{
    const auto h = standin::Handles();
    EXPECT_EQ(h.open(), 0) << what << ": a handle was left open";
    EXPECT_EQ(h.doubleCloses + h.invalidCloses + h.badUses, 0)
        << what << ": a handle was closed twice, or an invalid one used or closed";
}

struct TransferCase {
    const char* name;
    int drive;
    bool write;
    void (*arrange)();
    const char* calls; // spelled as for Spell
    bool result;
    bool reachedBuffer; // the volume's bytes came into the buffer
};

TEST(VolumeSector, OpensTheDrivesVolumeAndStopsAtTheFirstFailedStep)
{
    using standin::FailNext;
    const TransferCase cases[] = {
        {"read A:", 1, false, [] {}, "OSRC", true, true},
        {"write C:", 3, true, [] {}, "OSWC", true, false},
        {"no such drive", 2, false, [] {}, "X", false, false},
        {"open refused, write", 1, true, [] { FailNext("CreateFileA", ERROR_ACCESS_DENIED); }, "X",
         false, false},
        {"positioning fails, read", 1, false,
         [] { FailNext("SetFilePointer", ERROR_INVALID_PARAMETER); }, "OSC", false, false},
        {"positioning fails, write", 1, true,
         [] { FailNext("SetFilePointer", ERROR_INVALID_PARAMETER); }, "OSC", false, false},
        // No medium: the geometry is not answered either, so a trial read comes first.
        {"no medium", 1, false, [] { standin::FindVolume("\\\\.\\A:")->noMedium = true; }, "OSRSRC",
         false, false},
        {"write protected", 1, true,
         [] { standin::FindVolume("\\\\.\\A:")->writeProtected = true; }, "OSWC", false, false},
        {"short read", 1, false, [] { standin::ShortNext("ReadFile", 100); }, "OSRC", false, false},
    };
    for (const auto& c : cases) {
        standin::Reset();
        // Drives A: and C: exist; B: does not.
        auto& drive = PatternVolume(c.drive == 3 ? 3 : 1, 1024);
        const auto before = drive.bytes;
        c.arrange();
        std::array<std::uint8_t, 512> buffer;
        buffer.fill(0xEE);

        const auto d = static_cast<std::uint8_t>(c.drive);
        EXPECT_EQ(c.write ? WriteVolumeSector(d, 0, buffer.data())
                          : ReadVolumeSector(d, 0, buffer.data()),
                  c.result)
            << c.name;
        EXPECT_EQ(FileCalls(), Spell(c.calls, static_cast<char>('@' + c.drive))) << c.name;
        const bool wrote = c.write && c.result;
        EXPECT_EQ(drive.bytes[0], wrote ? 0xEE : before[0]) << c.name << ": sector 0 on the disk";
        EXPECT_EQ(drive.bytes[512], before[512]) << c.name << ": sector 1 changed";
        EXPECT_EQ(buffer[0], c.reachedBuffer ? before[0] : 0xEE) << c.name << ": the buffer";
        ExpectNoHandleFaults(c.name);
    }
}

TEST(VolumeSector, TwoTransfersInARowEachCloseTheirOwnHandle)
{
    standin::Reset();
    PatternVolume(1, 1024);
    std::array<std::uint8_t, 512> buffer{};
    ReadVolumeSector(1, 0, buffer.data());
    WriteVolumeSector(1, 0, buffer.data());
    EXPECT_EQ(standin::CallsStartingWith("CloseHandle"),
              (Calls{"CloseHandle(h1)", "CloseHandle(h2)"}));
    ExpectNoHandleFaults("two transfers");
}

// Volumes of larger sectors, whose size is reported or found by trying: the
// record is the first 512 bytes of a sector, and a write keeps the rest of it.
// Sizes other than 512 to 4096 are refused before anything moves.
TEST(VolumeSector, EverySectorSizeReadsWritesAndProbesOrIsRefused)
{
    const struct {
        DWORD sectorSize;
        bool geometry; // the volume reports its size
        bool works;
    } cases[] = {{512, true, true},   {512, false, true},  {1024, false, true},
                 {2048, true, true},  {2048, false, true}, {4096, true, true},
                 {4096, false, true}, {256, true, false},  {8192, true, false}};
    for (const auto& c : cases) {
        const std::string name =
            std::to_string(c.sectorSize) + (c.geometry ? " reported" : " tried");
        standin::Reset();
        auto& volume = PatternVolume(1, 4 * 8192);
        volume.sectorSize = c.sectorSize;
        volume.answersGeometry = c.geometry;
        const auto before = volume.bytes;
        std::array<std::uint8_t, 512> record;
        record.fill(0xEE);

        EXPECT_EQ(ReadVolumeSector(1, 1, record.data()), c.works) << name;
        const std::size_t second = c.sectorSize; // where sector 1 starts
        if (c.works)
            EXPECT_TRUE(std::equal(record.begin(), record.end(), before.begin() + second)) << name;
        else
            EXPECT_EQ(LastDiskError.cause, DiskCauseSectorSize) << name;

        record.fill(0xAB);
        EXPECT_EQ(WriteVolumeSector(1, 1, record.data()), c.works) << name;
        auto expected = before;
        if (c.works)
            std::fill(expected.begin() + second, expected.begin() + second + 512, 0xAB);
        EXPECT_TRUE(volume.bytes == expected) << name << ": only the record's bytes change";
        EXPECT_EQ(ProbeVolume(1), c.works) << name;
        if (!c.works) {
            EXPECT_EQ(LastDiskError.code, c.sectorSize) << name;
        }
        ExpectNoHandleFaults(name);
    }
}

TEST(VolumePrimitives, SeekSectorSplitsTheByteOffsetIntoHalves)
{
    const struct {
        std::uint64_t sector;
        DWORD sectorSize;
        const char* halves; // low, &high as SetFilePointer received them
    } cases[] = {
        {0, 512, "0x0, &0x0"},
        {1, 512, "0x200, &0x0"},
        {8388607, 512, "0xFFFFFE00, &0x0"},
        {8388608, 512, "0x0, &0x1"}, // byte 4,294,967,296
        {0xFFFFFFFF, 512, "0xFFFFFE00, &0x1FF"},
        {1, 4096, "0x1000, &0x0"},
        {0x100000000ull, 4096, "0x0, &0x1000"}, // beyond 32-bit sector numbers
    };
    for (const auto& c : cases) {
        standin::Reset();
        PatternVolume(1, 1024);
        HANDLE volume = OpenVolume("\\\\.\\A:");
        EXPECT_EQ(SeekSector(volume, c.sector, c.sectorSize), 0) << "sector " << c.sector;
        EXPECT_EQ(standin::CallsStartingWith("SetFilePointer"),
                  Calls{std::string("SetFilePointer(h1, ") + c.halves + ", 0)"});
        standin::FailNext("SetFilePointer", ERROR_INVALID_PARAMETER);
        EXPECT_EQ(SeekSector(volume, c.sector, c.sectorSize), 1)
            << "a failed positioning, sector " << c.sector;
        EXPECT_EQ(CloseVolume(volume), 1);
    }
}

// A transfer moves its whole count as one request, counts past 255 too.
TEST(VolumePrimitives, TransfersMoveTheWholeCountAsOneRequest)
{
    const struct {
        DWORD count;
        DWORD bytes; // asked of ReadFile/WriteFile, and moved
    } cases[] = {{0, 0}, {1, 512}, {255, 130560}, {256, 131072}, {300, 153600}};
    std::vector<std::uint8_t> buffer(300 * 512, 0x5A);
    for (const auto& c : cases) {
        for (bool write : {false, true}) {
            standin::Reset();
            PatternVolume(1, 300 * 512);
            HANDLE volume = OpenVolume("\\\\.\\A:");
            const DWORD moved = write ? WriteSectors(volume, buffer.data(), c.count, 512)
                                      : ReadSectors(volume, buffer.data(), c.count, 512);
            const std::string call = std::string(write ? "WriteFile" : "ReadFile") + "(h1, " +
                                     std::to_string(c.bytes) + ")";
            EXPECT_EQ(moved, c.bytes) << call << " for count " << c.count;
            EXPECT_EQ(standin::CallsStartingWith(write ? "WriteFile" : "ReadFile"), Calls{call});
            CloseVolume(volume);
        }
    }
}

// Many sectors: one request per chunk, 64 KiB on the NT family and 32 KiB (64
// sectors) on the 9x family, the bytes in order; a failed request ends the read.
TEST(ReadDriveSectors, OneRequestPerChunk)
{
    struct Case {
        const char* name;
        DWORD build; // 0: the NT family
        DWORD sectorSize;
        std::uint32_t count;
        int failAt;                  // the request that fails, -1: none
        std::vector<DWORD> requests; // bytes asked (NT) or sectors in the packet (9x)
    };
    const Case cases[] = {
        {"NT, 300 sectors", 0, 512, 300, -1, {65536, 65536, 22528}},
        {"NT, 4096-byte sectors", 0, 4096, 20, -1, {65536, 16384}},
        {"NT, the second request fails", 0, 512, 300, 1, {65536, 65536}},
        {"9x Int 25h, 300 sectors", 950, 512, 300, -1, {64, 64, 64, 64, 44}},
        {"9x 7305h, one sector", 2222, 512, 1, -1, {1}},
    };
    for (const Case& c : cases) {
        standin::Reset();
        auto& volume = PatternVolume(1, 400 * c.sectorSize);
        volume.sectorSize = c.sectorSize;
        if (c.build != 0)
            standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, c.build);
        PrepareDiskAccess();
        standin::MapMemory("chunk", VolumeBuffer, sizeof VolumeBuffer);
        standin::MapMemory("packet", &Packet, sizeof Packet);
        for (int i = 0; i < c.failAt; ++i)
            standin::PassNext("ReadFile");
        if (c.failAt >= 0)
            standin::FailNext("ReadFile", ERROR_NOT_READY);
        std::vector<std::uint8_t> out(c.count * c.sectorSize);
        EXPECT_EQ(ReadDriveSectors(1, 5, c.count, out.data()), c.failAt < 0) << c.name;
        std::vector<DWORD> requests;
        for (const auto& call : standin::CallsStartingWith("ReadFile(h1, "))
            requests.push_back(static_cast<DWORD>(std::stoul(call.substr(13))));
        for (const auto& e : standin::Exchanges)
            if (c.build != 0)
                requests.push_back(e.sectors);
        EXPECT_EQ(requests, c.requests) << c.name;
        if (c.failAt < 0) {
            EXPECT_TRUE(std::equal(out.begin(), out.end(), volume.bytes.begin() + 5 * c.sectorSize))
                << c.name;
        }
        if (c.build == 0)
            ExpectNoHandleFaults(c.name);
    }
    OsFamily = OsFamilyNt;
}

TEST(ProbeVolume, BufferedOpenReadAndCloseAnswerWhetherAWholeSectorCame)
{
    const struct {
        const char* name;
        std::size_t size; // 0: no such volume
        bool noMedium;
        bool answer;
        DWORD lastError; // after a false answer
        const char* calls;
    } cases[] = {
        {"readable", 4096, false, true, 0, "OSRC"},
        {"no medium", 4096, true, false, ERROR_NOT_READY, "OSRC"},
        {"smaller than a sector", 100, false, false, 0, "OSRC"},
        {"no such drive", 0, false, false, ERROR_FILE_NOT_FOUND, "X"},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetLastError(ERROR_NOT_READY); // left over from probing another drive
        if (c.size != 0)
            PatternVolume(4, c.size).noMedium = c.noMedium;
        VolumeBuffer[0] = 0;
        EXPECT_EQ(ProbeVolume(4), c.answer) << c.name;
        EXPECT_EQ(c.answer ? 0 : GetLastError(), c.lastError) << c.name;
        EXPECT_EQ(FileCalls(), Spell(c.calls, 'D', "0x0")) << c.name;
        if (c.answer) {
            EXPECT_EQ(VolumeBuffer[0], 1) << c.name << ": sector 0 went elsewhere";
        }
        ExpectNoHandleFaults(c.name);
    }
}

} // namespace

// The length the rebuild and the check work with: the system's answer where
// there is one, else found by reading, for sizes that are no power of two.
TEST(DriveLength, FromThePartitionRequestOrFromTheLastSectorThatReads)
{
    struct Case {
        std::size_t bytes;
        DWORD sectorSize;
        standin::Volume::Partition requests;
        std::uint64_t expected;
        bool lastSectorGuarded = false; // NTFS keeps its backup there
    };
    const Case cases[] = {
        {777 * 512, 512, standin::Volume::BothRequests, 777},
        {777 * 512, 512, standin::Volume::NoRequests, 777},
        {1 * 512, 512, standin::Volume::NoRequests, 1},
        {33 * 4096, 4096, standin::Volume::NoRequests, 33},
        {1024 * 512, 512, standin::Volume::NoRequests, 1024},
        {1023 * 512, 512, standin::Volume::NoRequests, 1023, true},
    };
    for (const auto& c : cases) {
        standin::Reset();
        standin::Volume& v = standin::AddVolume("\\\\.\\A:", c.bytes);
        v.sectorSize = c.sectorSize;
        v.partition = c.requests;
        v.lastSectorGuarded = c.lastSectorGuarded;
        std::uint64_t sectors = 0;
        EXPECT_TRUE(DriveLength(1, &sectors)) << c.bytes;
        EXPECT_EQ(sectors, c.expected) << c.bytes << " bytes, sectors of " << c.sectorSize;
        EXPECT_EQ(standin::Handles().open(), 0);
    }
    standin::Reset();
    std::uint64_t sectors = 0;
    EXPECT_FALSE(DriveLength(1, &sectors)) << "no such drive";
}
