// The boot sector check against the case table in check_cases.txt: records of
// volumes made by mkfs.fat and mkntfs, each clean or with one rule broken.
#include "core/check.h"
#include "core/layout.h"
#include "core/recognize.h"
#include "core/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Sector = std::array<std::uint8_t, 512>;
using Found = std::vector<std::pair<int, int>>; // (rule, offset), sorted

const std::map<std::string, CheckRule> RuleNames = {
    {"Jump", RuleJump},
    {"Signature", RuleSignature},
    {"BytesPerSector", RuleBytesPerSector},
    {"SectorsPerCluster", RuleSectorsPerCluster},
    {"FatClusterSize", RuleFatClusterSize},
    {"NtfsClusterSize", RuleNtfsClusterSize},
    {"NtfsLargeCluster", RuleNtfsLargeCluster},
    {"Media", RuleMedia},
    {"ReservedSectors", RuleReservedSectors},
    {"NoFat", RuleNoFat},
    {"ManyFats", RuleManyFats},
    {"FatSizeZero", RuleFatSizeZero},
    {"FatTooSmall", RuleFatTooSmall},
    {"NoDataRegion", RuleNoDataRegion},
    {"TotalMissing", RuleTotalMissing},
    {"RootEntriesZero", RuleRootEntriesZero},
    {"RootEntriesPartial", RuleRootEntriesPartial},
    {"TotalInBoth", RuleTotalInBoth},
    {"SmallTotalIn32", RuleSmallTotalIn32},
    {"Fat12TooManyClusters", RuleFat12TooManyClusters},
    {"Fat16TooFewClusters", RuleFat16TooFewClusters},
    {"Fat16TooManyClusters", RuleFat16TooManyClusters},
    {"Fat32RootEntries", RuleFat32RootEntries},
    {"Fat32SmallTotal", RuleFat32SmallTotal},
    {"Fat32SmallFatSize", RuleFat32SmallFatSize},
    {"Fat32FewClusters", RuleFat32FewClusters},
    {"RootCluster", RuleRootCluster},
    {"FsInfoOutside", RuleFsInfoOutside},
    {"BackupOutside", RuleBackupOutside},
    {"FsInfoIsBackup", RuleFsInfoIsBackup},
    {"FsVersion", RuleFsVersion},
    {"NtfsFatField", RuleNtfsFatField},
    {"NtfsName", RuleNtfsName},
    {"MftZero", RuleMftZero},
    {"MftMirrSame", RuleMftMirrSame},
    {"MftOutside", RuleMftOutside},
    {"NtfsRecordCode", RuleNtfsRecordCode},
};

struct TableCase {
    int line;
    std::string text;
    Sector record;
    Found expected;
};

std::vector<std::uint8_t> FromHex(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// "OFFSET:WIDTH=VALUE", stored little-endian into the record.
void ApplyPatch(Sector& record, const std::string& patch)
{
    const std::size_t colon = patch.find(':');
    const std::size_t equals = patch.find('=');
    const std::size_t offset = std::stoul(patch.substr(0, colon));
    const std::size_t width = std::stoul(patch.substr(colon + 1, equals - colon - 1));
    std::uint64_t value = std::stoull(patch.substr(equals + 1), nullptr, 0);
    ASSERT_LE(offset + width, record.size()) << patch;
    for (std::size_t i = 0; i < width; ++i, value >>= 8)
        record[offset + i] = static_cast<std::uint8_t>(value);
}

// Each case's record and expected findings; a failed parse fails the test.
// Each volume's first bytes, by name, go to volumesOut when given.
std::vector<TableCase> ReadTable(std::map<std::string, std::string>* volumesOut = nullptr)
{
    std::ifstream file(KELVASHIN_CHECK_CASES);
    EXPECT_TRUE(file.good()) << KELVASHIN_CHECK_CASES;
    std::map<std::string, std::string> volumes; // name: hex
    std::string current;
    std::vector<TableCase> cases;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#')
            continue;
        if (line[0] == ' ') {
            volumes[current] += word;
        } else if (word == "volume") {
            words >> current;
        } else if (word == "case") {
            TableCase c{number, line, {}, {}};
            std::string volume;
            words >> volume;
            EXPECT_EQ(volumes.count(volume), 1u) << "line " << number;
            const std::vector<std::uint8_t> head = FromHex(volumes[volume]);
            std::copy(head.begin(), head.end(), c.record.begin());
            c.record[510] = 0x55;
            c.record[511] = 0xAA;
            while (words >> word && word != "->")
                ApplyPatch(c.record, word);
            while (words >> word && word != "|" && word != "none") {
                const std::size_t at = word.find('@');
                const auto rule = RuleNames.find(word.substr(0, at));
                EXPECT_NE(rule, RuleNames.end()) << "line " << number << ": " << word;
                if (rule != RuleNames.end())
                    c.expected.emplace_back(rule->second, std::stoi(word.substr(at + 1)));
            }
            std::sort(c.expected.begin(), c.expected.end());
            cases.push_back(c);
        } else {
            ADD_FAILURE() << "line " << number << ": " << line;
        }
    }
    if (volumesOut != nullptr)
        *volumesOut = volumes;
    return cases;
}

Found Check(const Sector& record, std::uint8_t kind, std::vector<Finding>* all = nullptr)
{
    Finding findings[64];
    const int count = CheckBootRecord(record.data(), kind, findings, 64);
    Found found;
    for (int i = 0; i < count; ++i)
        found.emplace_back(findings[i].rule, findings[i].offset);
    std::sort(found.begin(), found.end());
    if (all != nullptr)
        all->assign(findings, findings + count);
    return found;
}

std::uint8_t KindOf(const Sector& record)
{
    const std::uint8_t kind = RecognizeKindOf(record.data());
    return kind == FsKindNone ? FsKindGeneric : kind;
}

TEST(CheckBootRecord, CaseTable)
{
    const std::vector<TableCase> cases = ReadTable();
    std::map<int, int> broken; // rule: cases that break it alone
    for (const TableCase& c : cases) {
        const Found found = Check(c.record, KindOf(c.record));
        EXPECT_EQ(found, c.expected) << "line " << c.line << ": " << c.text;
        if (c.expected.size() == 1)
            ++broken[c.expected[0].first];
    }
    for (const auto& [name, rule] : RuleNames)
        EXPECT_GT(broken[rule], 0) << "no case breaks only " << name;
}

// The numbers a finding carries are the ones the message shows.
TEST(CheckBootRecord, FindingsCarryTheFieldAndItsLimit)
{
    const std::vector<TableCase> cases = ReadTable();
    struct Expected {
        const char* text; // the case, as written in the table
        std::uint64_t value;
        std::uint64_t limit;
    };
    const Expected expected[] = {
        {"case fat12 13:1=3 -> SectorsPerCluster@13", 3, 0},
        {"case fat12 0:1=0 -> Jump@0", 0x903C00, 0},
        {"case fat12 13:1=128 -> FatClusterSize@13", 128, 65536},
        {"case fat12 22:2=5 -> FatTooSmall@22", 5, 9},
        {"case fat12 19:2=33 -> NoDataRegion@19", 33, 34},
        {"case fat12 32:4=2880 -> TotalInBoth@32", 2880, 2880},
        {"case fat16 58:1=0x32 -> Fat12TooManyClusters@54", 8167, 4085},
        {"case fat32 44:4=78738 -> RootCluster@44", 78738, 78737},
        {"case fat32 50:2=40 -> BackupOutside@50", 40, 32},
        {"case ntfs 56:8=16383 -> MftOutside@56", 16383, 16383},
        {"case ntfs 64:4=3 -> NtfsRecordCode@64", 3, 0},
    };
    for (const Expected& e : expected) {
        const auto c = std::find_if(cases.begin(), cases.end(), [&](const TableCase& t) {
            return t.text.rfind(e.text, 0) == 0;
        });
        ASSERT_NE(c, cases.end()) << e.text;
        std::vector<Finding> all;
        Check(c->record, KindOf(c->record), &all);
        ASSERT_EQ(all.size(), 1u) << e.text;
        EXPECT_EQ(all[0].value, e.value) << e.text;
        EXPECT_EQ(all[0].limit, e.limit) << e.text;
    }
}

// Any kind of record, however broken, fills at most the room it is given.
TEST(CheckBootRecord, WritesNoMoreThanItsCapacity)
{
    Sector ones;
    ones.fill(0xFF);
    for (std::uint8_t kind = 0; kind <= FsKindGeneric + 1; ++kind) {
        Finding findings[4] = {};
        findings[3].rule = 0xEE;
        EXPECT_EQ(CheckBootRecord(ones.data(), kind, findings, 3), 3) << int(kind);
        EXPECT_EQ(findings[3].rule, 0xEE) << int(kind);
        EXPECT_EQ(CheckBootRecord(ones.data(), kind, findings, 0), 0) << int(kind);
    }
}

TEST(CheckPartitionStart, HiddenSectorsAgainstThePartitionStart)
{
    Sector record{};
    StoreU32(record.data(), BPB_HiddSec, 63);
    struct Case {
        bool known;
        std::uint64_t start;
        std::vector<Finding> expected;
    };
    const Case cases[] = {
        {true, 63, {}},
        {true, 2048, {{RuleHiddenSectors, BPB_HiddSec, 63, 2048}}},
        {true, 63 + (1ULL << 32), {{RuleHiddenSectors, BPB_HiddSec, 63, 63 + (1ULL << 32)}}},
        {false, 0, {{RulePartitionUnknown, BPB_HiddSec, 63, 0}}},
    };
    for (const Case& c : cases) {
        Finding found[2] = {};
        const int count = CheckPartitionStart(record.data(), c.known, c.start, found, 2);
        ASSERT_EQ(count, static_cast<int>(c.expected.size())) << c.start;
        for (int i = 0; i < count; ++i) {
            const Finding& e = c.expected[i];
            EXPECT_EQ(
                std::make_tuple(found[i].rule, found[i].offset, found[i].value, found[i].limit),
                std::make_tuple(e.rule, e.offset, e.value, e.limit))
                << c.start;
        }
    }
}

TEST(CheckBackup, NamesEachRunOfDifferingBytes)
{
    Sector record{};
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<std::uint8_t>(i * 7);
    struct Case {
        std::vector<std::size_t> changed;
        std::vector<std::pair<int, int>> runs;
    };
    const Case cases[] = {
        {{}, {}},
        {{0}, {{0, 0}}},
        {{3, 4, 5, 6, 7, 8, 9, 10, 67, 68, 69, 70}, {{3, 10}, {67, 70}}},
        {{12, 14, 511}, {{12, 12}, {14, 14}, {511, 511}}},
    };
    for (const Case& c : cases) {
        Sector backup = record;
        for (std::size_t at : c.changed)
            backup[at] ^= 0x5A;
        Finding found[8];
        const int count = CheckBackup(record.data(), backup.data(), 6, found, 8);
        std::vector<std::pair<int, int>> runs;
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(found[i].rule, RuleBackupDiffers);
            EXPECT_EQ(found[i].limit, 6u);
            runs.emplace_back(found[i].offset, static_cast<int>(found[i].value));
        }
        EXPECT_EQ(runs, c.runs);
    }
    Finding found[1];
    ASSERT_EQ(CheckBackup(record.data(), nullptr, 131071, found, 1), 1);
    EXPECT_EQ(found[0].rule, RuleBackupUnreadable);
    EXPECT_EQ(found[0].limit, 131071u);
}

// The corrections for what the program knows of the volume: a table volume
// with patches, the partition's start (-1: unknown), the volume's sectors (0:
// unknown) and FAT[0] onwards (0: not read). Applied, they clear the findings
// they answer and add none.
TEST(ProposeCorrections, CaseTable)
{
    std::map<std::string, std::string> volumes;
    ReadTable(&volumes);
    using C = std::vector<std::tuple<int, std::uint64_t, std::uint64_t>>; // offset, now, proposed
    struct Case {
        const char* volume;
        const char* patches;
        std::int64_t start;
        std::uint64_t sectors;
        std::uint32_t fat;
        C expected;
    };
    const Case cases[] = {
        {"fat12", "", 0, 2880, 0xFFFFF0, {}},
        {"fat12", "", 63, 0, 0, {{28, 0, 63}}},
        {"fat12", "", 63 + (1LL << 32), 0, 0, {}},      // beyond the 32-bit field
        {"fat12", "", -1, 4000, 0, {}},                 // the record claims less than the volume
        {"fat12", "19:2=3000 22:2=8", -1, 2880, 0, {}}, // its FAT cannot address 2880
        {"fat12",
         "19:2=2900",
         63,
         2880,
         0xFFFFF8,
         {{28, 0, 63}, {19, 2900, 2880}, {21, 0xF0, 0xF8}}},
        {"fat12", "", -1, 0, 0xF8, {}},     // not a FAT's start
        {"fat12", "", -1, 0, 0xFFFFE5, {}}, // no media byte
        {"fat16", "19:2=33000", -1, 32768, 0, {{19, 33000, 32768}}},
        {"fat16", "19:2=0 32:4=70000", -1, 32768, 0, {{32, 70000, 32768}}},
        {"fat16", "19:2=33000", -1, 16000, 0, {}}, // too few clusters for FAT16
        {"fat32", "32:4=90000", -1, 80000, 0, {{32, 90000, 80000}}},
        {"fat32", "32:4=90000", -1, 66000, 0, {}}, // too few clusters for FAT32
        {"ntfs", "", 2048, 131072, 0xFFFFF0, {}},
        {"ntfs", "40:8=131072", -1, 131072, 0, {{40, 131072, 131071}}},
        {"ntfs", "", -1, 60000, 0, {}}, // $MFTMirr would lie outside
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> head = FromHex(volumes[c.volume]);
        Sector record{};
        std::copy(head.begin(), head.end(), record.begin());
        record[510] = 0x55;
        record[511] = 0xAA;
        std::istringstream patches(c.patches);
        std::string patch;
        while (patches >> patch)
            ApplyPatch(record, patch);
        const VolumeFacts facts = {c.start >= 0, static_cast<std::uint64_t>(c.start),
                                   c.sectors * 512, c.fat != 0, c.fat};
        const std::uint8_t kind = KindOf(record);
        Correction out[4];
        const int count = ProposeCorrections(record.data(), kind, facts, out, 4);
        C proposed;
        for (int i = 0; i < count; ++i)
            proposed.emplace_back(out[i].offset, out[i].now, out[i].proposed);
        const std::string name = std::string(c.volume) + " " + c.patches;
        EXPECT_EQ(proposed, c.expected) << name << ", start " << c.start;

        auto againstVolume = [&](const Sector& r) {
            Finding found[4];
            const int hidden =
                c.start >= 0 ? CheckPartitionStart(r.data(), true, facts.start, found, 4) : 0;
            return hidden + CheckVolumeFacts(r.data(), kind, facts, found, 4);
        };
        Sector fixed = record;
        ApplyCorrections(fixed.data(), kind, out, count);
        EXPECT_EQ(againstVolume(fixed), againstVolume(record) - count) << name;
        EXPECT_LE(Check(fixed, kind).size(), Check(record, kind).size()) << name;
    }
}

} // namespace
