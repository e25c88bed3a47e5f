// The 9x family's disk services: the register block of every exchange, the
// order of lock, write and unlock with their fallbacks, and the success rule.
#include "disk/legacy.h"
#include "disk/sector.h"

#include "standin_disk.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr DWORD Sentinel = 0xA5A5A5A4; // in every register before an operation; carry clear
constexpr DWORD Keep = 0x5EEDF00D;     // in a Row: the exchange does not set this register

struct Row {
    const char* name;
    DWORD code, eax, ebx, ecx, edx, esi, flags;
};

DWORD Address(const void* p)
{
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p));
}

std::array<std::uint8_t, 1024> buffer; // room for two sectors

// One row of the call table for drive d. The packet and the probe's buffer are
// the program's own; transfers reach the test's buffer through the packet.
Row TableRow(const std::string& n, DWORD d)
{
    const DWORD packet = Address(&Packet), lock = d + 0x100, all = 0xFFFFFFFF;
    // clang-format off
    if (n == "R1") return {"R1", 6, 0x7305, packet, all, d, 0, Keep};
    if (n == "R2") return {"R2", 2, d - 1, packet, 0xFFFF, Keep, 0, Keep};
    if (n == "L1") return {"L1", 1, 0x440D, lock, 0x484A, 1, Keep, 1};
    if (n == "L2") return {"L2", 1, 0x440D, lock, 0x084A, 1, Keep, 1};
    if (n == "W1") return {"W1", 6, 0x7305, packet, all, d, 0x6001, Keep};
    if (n == "W2") return {"W2", 3, d - 1, packet, 0xFFFF, Keep, Keep, Keep};
    if (n == "U1") return {"U1", 1, 0x440D, d, 0x486A, Keep, Keep, 1};
    if (n == "U2") return {"U2", 1, 0x440D, d, 0x086A, Keep, Keep, 1};
    if (n == "P1") return {"P1", 6, 0x7305, packet, all, d, 0, Keep};
    return {"P2", 2, d - 1, Address(LegacyProbeBuffer), 1, 0, Keep, 1};
    // clang-format on
}

// The rows named in text ("L1 W1 U1") for drive d.
std::vector<Row> TableRows(const std::string& text, DWORD d)
{
    std::vector<Row> rows;
    for (std::size_t at = 0; at < text.size(); at += 3)
        rows.push_back(TableRow(text.substr(at, 2), d));
    return rows;
}

// Compares the exchanges sent since start with rows. A register a row does not
// set must hold what the previous exchange left in it (the sentinel at first);
// reg_EDI is never set.
void ExpectRows(const char* what, const std::vector<Row>& rows, std::size_t start = 0)
{
    const auto& sent = standin::Exchanges;
    ASSERT_EQ(sent.size() - start, rows.size()) << what << ": number of exchanges";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& e = sent[start + i];
        const Row& r = rows[i];
        const standin::Exchange* p = start + i > 0 ? &sent[start + i - 1] : nullptr;
        auto expect = [&](const char* reg, DWORD actual, DWORD row, DWORD before) {
            const DWORD wanted = row != Keep ? row : p ? before : Sentinel;
            EXPECT_EQ(actual, wanted)
                << what << ", exchange " << i + 1 << " (" << r.name << "): " << reg << std::hex
                << " is 0x" << actual << ", expected 0x" << wanted;
        };
        EXPECT_EQ(e.code, r.code) << what << ", exchange " << i + 1 << " (" << r.name << ")";
        expect("EAX", e.eax, r.eax, p ? p->eaxBack : 0);
        expect("EBX", e.ebx, r.ebx, p ? p->ebx : 0);
        expect("ECX", e.ecx, r.ecx, p ? p->ecx : 0);
        expect("EDX", e.edx, r.edx, p ? p->edx : 0);
        expect("EDI", e.edi, Keep, p ? p->edi : 0);
        expect("ESI", e.esi, r.esi, p ? p->esi : 0);
        expect("Flags", e.flags, r.flags, p ? p->flagsBack : 0);
    }
}

// A prepared 9x process with drives A: and C:, each a patterned 4 KiB volume
// (sector n filled with 0x10 + n).
void Prepare(DWORD build)
{
    standin::Reset();
    UseExtendedDiskIo = 0;
    Vwin32Handle = INVALID_HANDLE_VALUE;
    standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, build);
    PrepareDiskAccess();
    for (int drive : {1, 3}) {
        auto& volume = standin::AddVolume(standin::VolumeName(drive), 4096);
        for (std::size_t i = 0; i < volume.bytes.size(); ++i)
            volume.bytes[i] = static_cast<std::uint8_t>(i / 512 + 0x10);
    }
    standin::MapMemory("packet", &Packet, sizeof Packet);
    standin::MapMemory("probe", LegacyProbeBuffer, sizeof LegacyProbeBuffer);
    standin::MapMemory("buffer", buffer.data(), buffer.size());
    buffer.fill(0xEE);
    Registers = {Sentinel, Sentinel, Sentinel, Sentinel, Sentinel, Sentinel, Sentinel};
}

constexpr DWORD Standard = 950;  // Windows 95
constexpr DWORD Extended = 2222; // Windows 98

// The one version query picks the family: the 9x family opens the VWIN32 device
// and takes the extended services above build 1000; the NT family opens nothing.
TEST(PrepareDiskAccess, TheVersionPicksTheFamilyAndTheServices)
{
    const struct {
        DWORD platform, build;
        bool legacy;
        std::uint8_t extended;
    } cases[] = {{1, 950, true, 0},   {1, 1000, true, 0},  {1, 1001, true, 1},
                 {1, 2222, true, 1},  {1, 3000, true, 1},  {2, 1381, false, 0},
                 {2, 2600, false, 0}, {2, 22631, false, 0}};
    for (const auto& c : cases) {
        standin::Reset();
        UseExtendedDiskIo = 0;
        Vwin32Handle = INVALID_HANDLE_VALUE;
        standin::SetVersion(c.platform, c.build);
        EXPECT_EQ(PrepareDiskAccess(), c.legacy) << "platform " << c.platform;
        EXPECT_EQ(UseExtendedDiskIo, c.extended)
            << "platform " << c.platform << " build " << c.build;
        std::vector<std::string> calls{"GetVersionExA(148)"};
        if (c.legacy)
            calls.push_back("CreateFileA(\\\\.\\vwin32, 0x0, 0x0, null, 0, 0x4000000, null) -> h1");
        EXPECT_EQ(standin::Calls, calls) << "build " << c.build;
        EXPECT_EQ(standin::HandleName(Vwin32Handle), c.legacy ? "h1" : "INVALID");
    }
}

enum class Op { Read, Write, Probe, WriteThenProbe };

struct SequenceCase {
    const char* name;
    DWORD build;
    Op op;
    std::uint8_t drive;
    void (*script)();
    const char* rows;
    DWORD result; // bytes for a read, 1/0 for a probe
    bool written; // sector 0 of the drive holds the buffer afterwards
};

void Refuse(int exchange) // the given exchange (1-based) answers with carry
{
    for (int i = 1; i < exchange; ++i)
        standin::PassNext("DeviceIoControl");
    standin::CarryNext(1);
}

TEST(LegacyDiskIo, EachOperationSendsItsRowsOfTheCallTable)
{
    using standin::FailNext;
    const SequenceCase cases[] = {
        // clang-format off
        {"read, standard", Standard, Op::Read, 1, [] {}, "R2", 512, false},
        {"read, standard, C:", Standard, Op::Read, 3, [] {}, "R2", 512, false},
        {"read, extended", Extended, Op::Read, 1, [] {}, "R1", 512, false},
        {"read, extended, C:", Extended, Op::Read, 3, [] {}, "R1", 512, false},
        {"read refused (carry)", Extended, Op::Read, 1, [] { Refuse(1); }, "R1", 0, false},
        {"write, standard: exactly L2 W2 U2", Standard, Op::Write, 1, [] {}, "L2 W2 U2", 0, true},
        {"write, standard, C:", Standard, Op::Write, 3, [] {}, "L2 W2 U2", 0, true},
        {"write, standard, lock refused: still written", Standard, Op::Write, 1,
         [] { Refuse(1); }, "L2 W2 U2", 0, true},
        {"write, extended", Extended, Op::Write, 1, [] {}, "L1 W1 U1", 0, true},
        {"write, extended, C:", Extended, Op::Write, 3, [] {}, "L1 W1 U1", 0, true},
        {"write, extended, FAT32 lock refused", Extended, Op::Write, 1, [] { Refuse(1); },
         "L1 L2 W1 U1", 0, true},
        {"write, extended, FAT32 unlock refused", Extended, Op::Write, 1, [] { Refuse(3); },
         "L1 W1 U1 U2", 0, true},
        {"write, extended, both locks refused: still written", Extended, Op::Write, 1,
         [] { Refuse(1); standin::CarryNext(1); }, "L1 L2 W1 U1 U2", 0, true},
        {"write, extended, the write's call fails: still unlocked", Extended, Op::Write, 1,
         [] { standin::PassNext("DeviceIoControl"); FailNext("DeviceIoControl", 87); },
         "L1 W1 U1", 0, false},
        {"probe, standard", Standard, Op::Probe, 1, [] {}, "P2", 1, false},
        {"probe, standard, C:", Standard, Op::Probe, 3, [] {}, "P2", 1, false},
        {"probe, extended", Extended, Op::Probe, 1, [] {}, "P1", 1, false},
        {"probe refused", Standard, Op::Probe, 1, [] { Refuse(1); }, "P2", 0, false},
        {"probe after a write sends ESI 0", Extended, Op::WriteThenProbe, 1, [] {},
         "L1 W1 U1 P1", 1, true},
        // clang-format on
    };
    for (const auto& c : cases) {
        Prepare(c.build);
        c.script();
        DWORD result = 0;
        switch (c.op) {
        case Op::Read: result = LegacyReadSectors(c.drive, 0, 1, buffer.data()); break;
        case Op::Write: LegacyWriteSectors(c.drive, 0, 1, buffer.data()); break;
        case Op::Probe: result = LegacyProbeDrive(c.drive); break;
        case Op::WriteThenProbe:
            LegacyWriteSectors(c.drive, 0, 1, buffer.data());
            result = LegacyProbeDrive(c.drive);
            break;
        }
        ExpectRows(c.name, TableRows(c.rows, c.drive));
        if (c.op != Op::Write) {
            EXPECT_EQ(result, c.result) << c.name;
        }
        EXPECT_EQ(buffer[0], c.op == Op::Read && c.result ? 0x10 : 0xEE) << c.name << ": buffer";
        const auto& disk = standin::FindVolume(standin::VolumeName(c.drive))->bytes;
        EXPECT_EQ(disk[0] == 0xEE && disk[511] == 0xEE, c.written) << c.name;
        EXPECT_EQ(disk[512], 0x11) << c.name << ": sector 1 changed";
        EXPECT_EQ(standin::LockLevel(c.drive), 0) << c.name << ": the volume stayed locked";
    }
}

TEST(LegacyDiskIo, PacketsCarryStartCountAndBuffer)
{
    Prepare(Extended);
    EXPECT_EQ(LegacyReadSectors(1, 3, 2, buffer.data()), 1024u);
    EXPECT_EQ(buffer[0], 0x13) << "sector 3 was read";
    EXPECT_EQ(buffer[512], 0x14) << "sector 4 was read";
    LegacyProbeDrive(1);
    LegacyWriteSectors(1, 2, 1, buffer.data());
    const auto& e = standin::Exchanges;
    ASSERT_EQ(e.size(), 5u);
    struct {
        const char* name;
        const standin::Exchange& sent;
        DWORD start, sectors, buffer;
    } const cases[] = {
        {"read", e[0], 3, 2, Address(buffer.data())},
        {"probe: sector 1 into its own buffer", e[1], 1, 1, Address(LegacyProbeBuffer)},
        {"write", e[3], 2, 1, Address(buffer.data())},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.sent.packetForm) << c.name;
        EXPECT_EQ(c.sent.start, c.start) << c.name;
        EXPECT_EQ(c.sent.sectors, c.sectors) << c.name;
        EXPECT_EQ(c.sent.buffer, c.buffer) << c.name;
    }
    EXPECT_EQ(standin::FindVolume("\\\\.\\A:")->bytes[1024], 0x13) << "sector 2 was written";
}

TEST(LegacyDiskIo, SuccessNeedsBothTheCallAndAClearCarry)
{
    Prepare(Standard);
    EXPECT_EQ(LegacyReadSectors(1, 0, 1, buffer.data()), 512u);
    // The call fails while the block still holds the previous clear carry.
    standin::FailNext("DeviceIoControl", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LegacyReadSectors(1, 0, 1, buffer.data()), 0u);
    standin::FailNext("DeviceIoControl", ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(LegacyProbeDrive(1));
    // A drive the system does not have answers with carry.
    EXPECT_FALSE(LegacyProbeDrive(2));
    EXPECT_EQ(LegacyReadSectors(2, 0, 1, buffer.data()), 0u);
}

TEST(LegacyDiskIo, WithoutTheDeviceReadsGiveZeroProbesFalseAndNothingChanges)
{
    standin::Reset();
    standin::SetVwin32Present(false);
    standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, Extended);
    UseExtendedDiskIo = 0;
    PrepareDiskAccess();
    EXPECT_EQ(Vwin32Handle, INVALID_HANDLE_VALUE);
    auto& volume = standin::AddVolume(standin::VolumeName(1), 1024, 0x77);
    standin::MapMemory("packet", &Packet, sizeof Packet);
    standin::MapMemory("buffer", buffer.data(), buffer.size());
    buffer.fill(0xEE);
    for (int pass = 0; pass < 2; ++pass) { // the standard services, then the extended ones
        UseExtendedDiskIo = static_cast<std::uint8_t>(pass);
        EXPECT_EQ(LegacyReadSectors(1, 0, 1, buffer.data()), 0u) << "pass " << pass;
        EXPECT_FALSE(LegacyProbeDrive(1)) << "pass " << pass;
        LegacyWriteSectors(1, 0, 1, buffer.data());
    }
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(volume.bytes[0], 0x77);
}

} // namespace
