// The program's text table (the STRINGTABLE of resources/kelvashin.rc) against
// the code that shows it: every ID used exists and every text is used, each
// check rule's text with its values, and the placeholders each text holds.
#include "ui_fixture.h"
#include "text.h" // the stand-in's UTF-8 conversion
#include "core/check.h"
#include "core/recognize.h"
#include "disk/disk_error.h"
#include "image/image_file.h"
#include "ui/check.h"
#include "ui/report.h"
#include "ui/text.h"

#include <algorithm>

#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using Texts = MainWindow;

std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The IDS_ names that the product code of ui/ uses.
std::set<std::string> NamesUsedInUi()
{
    std::set<std::string> used;
    const std::regex name(R"(\bIDS_\w+)");
    for (const char* file : {"about", "check", "commands", "entry", "form", "main", "media",
                             "message", "picker", "rebuild", "report", "text"}) {
        const std::string code = FileText(std::string(KELVASHIN_SOURCE_DIR "/ui/") + file + ".cpp");
        EXPECT_FALSE(code.empty()) << file;
        for (std::sregex_iterator at(code.begin(), code.end(), name), end; at != end; ++at)
            used.insert(at->str());
    }
    return used;
}

// The highest %n of a text, and whether every one from %1 to it is there.
std::pair<int, bool> Placeholders(const std::u16string& text)
{
    std::set<int> found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        if (text[i] == u'%' && text[i + 1] >= u'1' && text[i + 1] <= u'9')
            found.insert(text[i + 1] - u'0');
    const int highest = found.empty() ? 0 : *found.rbegin();
    return {highest, static_cast<int>(found.size()) == highest};
}

TEST_F(Texts, EveryIdUsedExistsAndEveryTextIsUsed)
{
    std::map<std::string, unsigned> table;
    for (std::size_t i = 0; i < standin::TextEntryCount; ++i)
        table[standin::TextEntries[i].name] = standin::TextEntries[i].id;
    ASSERT_GT(table.size(), 100u);
    const std::set<std::string> used = NamesUsedInUi();
    for (const std::string& name : used)
        EXPECT_EQ(table.count(name), 1u) << name << " is used in ui/ but not in the STRINGTABLE";
    for (const auto& entry : table) {
        EXPECT_EQ(used.count(entry.first), 1u) << entry.first << " is in the table but not used";
        wchar_t loaded[256];
        LoadText(entry.second, loaded, 256);
        EXPECT_NE(loaded[0], L'\0') << entry.first << " (" << entry.second << ") reads empty";
    }
}

// Each rule's line in the check's box, for one record that breaks it: a
// volume of the check's case table with its patches ("offset:width=value")
// ('B' where the line then points to the rebuild), or, for the rules about
// the drive, the record against a partition start ('p', 63; 'u' for unknown),
// a volume of 2000 sectors whose FAT starts F8 FF FF ('v'), or a backup at
// sector 6 that differs in bytes 3 to 10 ('d') or could not be read ('r').
TEST_F(Texts, EachRuleShowsItsTextWithItsValues)
{
    struct Row {
        std::uint8_t rule;
        const char* volume;
        const char* patches;
        char source;
        const char* line; // after "1. "
    };
    const Row rows[] = {
        {RuleJump, "fat12", "0:1=0", 'b',
         "「跳躍指令」為 00 3C 90：開頭應為跳躍指令 EB xx 90 或 E9 xx xx。"},
        {RuleSignature, "fat12", "510:2=0", 'b', "「啟動磁區簽名」為 00 00：位移 510 應為 55 AA。"},
        {RuleBytesPerSector, "fat12", "11:2=256", 'b',
         "「每磁區位元組」為 256：應為 512、1024、2048 或 4096。"},
        {RuleSectorsPerCluster, "fat12", "13:1=3", 'B',
         "「磁區磁簇」為 3：應為 1 到 128 之間 2 的次方。"},
        {RuleSectorsPerCluster, "ntfs", "13:1=3", 'B',
         "「磁區磁簇」為 3：應為 1 到 128 之間 2 的次方，或 244 到 248（0xF4 到 0xF8，表示 2 的 "
         "256 "
         "減此值次方個磁區）。"},
        {RuleFatClusterSize, "fat12", "13:1=128", 'B',
         "「磁區磁簇」為 128：磁簇為 65536 位元組，FAT 的磁簇最大 32 KiB（32768 位元組）。"},
        {RuleNtfsClusterSize, "ntfs", "11:2=1024 13:1=0xF4 56:8=8", 'B',
         "「磁區磁簇」為 244：磁簇為 4194304 位元組，NTFS 的磁簇最大 2 MiB（2097152 位元組）。"},
        {RuleNtfsLargeCluster, "ntfs", "13:1=0xF4 56:8=8", 'b',
         "「磁區磁簇」為 244：磁簇為 2097152 位元組，大於 64 KiB，Windows 10 1709 以前的 Windows "
         "無法使用（提醒）。"},
        {RuleMedia, "fat12", "21:1=0xE0", 'b', "「媒體描述」為 0xE0：應為 0xF0 或 0xF8 到 0xFF。"},
        {RuleReservedSectors, "fat12", "14:2=0", 'B',
         "「保留的磁區」為 0：至少要有 1 個，啟動磁區本身就是保留的磁區。"},
        {RuleNoFat, "fat12", "16:1=0", 'B', "「FATs 號碼」為 0：至少要有 1 個 FAT。"},
        {RuleManyFats, "fat12", "16:1=3", 'b',
         "「FATs 號碼」為 3：多於 2 個 FAT 並不常見，許多系統只接受 1 或 2 個（提醒）。"},
        {RuleFatSizeZero, "fat12", "22:2=0", 'B', "「FAT 磁區」為 0：FAT 不可為 0 個磁區。"},
        {RuleFatTooSmall, "fat12", "22:2=5", 'B',
         "「FAT 磁區」為 5：FAT 容納不下所有磁簇，至少需要 9 個磁區。"},
        {RuleNoDataRegion, "fat12", "19:2=33", 'B',
         "「全部磁區」為 33：保留的磁區、FAT 與根目錄之後沒有資料區，至少需要 34 個磁區。"},
        {RuleTotalMissing, "fat12", "19:2=0", 'b', "「全部磁區」為 0：磁碟區的總磁區數不可為 0。"},
        {RuleRootEntriesZero, "fat12", "17:2=0", 'B',
         "「最大根項目」為 0：FAT12 與 FAT16 的根目錄不可為 0 個項目。"},
        {RuleRootEntriesPartial, "fat12", "17:2=220", 'B',
         "「最大根項目」為 220：應為 16 的倍數，根目錄才會佔滿整數個磁區。"},
        {RuleTotalInBoth, "fat12", "32:4=2880", 'b',
         "「全部磁區」為 2880：總數已存在 16 位元欄位，32 位元欄位卻是 2880，應為 0。"},
        {RuleSmallTotalIn32, "fat12", "19:2=0 32:4=2880", 'b',
         "「全部磁區」為 2880：小於 65535 的總數應存在 16 位元欄位，32 位元欄位為 0。"},
        {RuleFat12TooManyClusters, "fat16", "58:1=0x32", 'B',
         "「磁碟格式」為 FAT12：資料磁簇有 8167 個，FAT12 必須少於 4085 個。"},
        {RuleFat16TooFewClusters, "fat12", "58:1=0x36", 'B',
         "「磁碟格式」為 FAT16：資料磁簇只有 2847 個，FAT16 至少要有 4085 個。"},
        {RuleFat16TooManyClusters, "fat16max", "22:2=256 32:4=66075", 'B',
         "「磁碟格式」為 FAT16：資料磁簇有 65530 個，FAT16 必須少於 65525 個。"},
        {RuleFat32RootEntries, "fat32", "17:2=512", 'B',
         "「最大根項目」為 512：FAT32 的根目錄在磁簇中，應為 0。"},
        {RuleFat32SmallTotal, "fat32", "19:2=1000", 'b',
         "「16 位元總磁區數」為 1000：FAT32 只用 32 位元的總磁區數，應為 0。"},
        {RuleFat32SmallFatSize, "fat32", "22:2=5", 'b',
         "「16 位元 FAT 磁區數」為 5：FAT32 只用 32 位元的 FAT 大小，應為 0。"},
        {RuleFat32FewClusters, "fat32", "32:4=60000", 'B',
         "「磁碟格式」為 FAT32：資料磁簇只有 58736 個，FAT32 至少要有 65525 個。"},
        {RuleRootCluster, "fat32", "44:4=78738", 'B',
         "「根目錄磁簇」為 78738：應在 2 到 78737 之間。"},
        {RuleRootCluster, "fat32", "44:4=0 13:1=3", 'B', "「根目錄磁簇」為 0：磁簇編號從 2 開始。"},
        {RuleFsInfoOutside, "fat32", "48:2=40", 'b',
         "「FS Info Sector」為 40：應在保留的磁區之內（小於 32），0 表示沒有。"},
        {RuleBackupOutside, "fat32", "50:2=40", 'b',
         "「備份啟動磁區」為 40：應在保留的磁區之內（小於 32），0 表示沒有。"},
        {RuleFsInfoIsBackup, "fat32", "48:2=6", 'b',
         "「備份啟動磁區」為 6：與 FS Info Sector 是同一個磁區，兩者必須不同。"},
        {RuleFsVersion, "fat32", "42:2=1", 'b', "「FAT32 版本」為 1：應為 0。"},
        {RuleNtfsFatField, "ntfs", "14:2=1", 'b',
         "「保留的磁區」為 1：NTFS 不使用這個 FAT 欄位，應為 0。"},
        {RuleNtfsName, "ntfs", "7:1=0x58", 'b',
         "「OEM 名稱」為 \"NTFSX   \"：位移 3 應為 \"NTFS    \"（NTFS 與四個空格）。"},
        {RuleMftZero, "ntfs", "48:8=0", 'B', "「$MFT Cluster」為 0：不可為 0。"},
        {RuleMftMirrSame, "ntfs", "56:8=4", 'B',
         "「$MFT Mirror Cluster」為 4：與 $MFT Cluster 相同，兩者必須不同。"},
        {RuleMftOutside, "ntfs", "56:8=20000", 'B',
         "「$MFT Mirror Cluster」為 20000：超出磁碟區，磁碟區只有 16383 個磁簇。"},
        {RuleNtfsRecordCode, "ntfs", "64:4=3", 'B',
         "「Clusters / Segment」為 3：最低位元組應為 1 到 64 之間 2 的次方，或 225 到 247（0xE1 到 "
         "0xF7）。"},
        {RuleHiddenSectors, "fat12", "", 'p',
         "「隱藏的磁區」為 0：分割區從磁區 63 開始。延伸分割區中的邏輯磁碟機可能從延伸分割區的起點"
         "算起，那樣並沒有錯；否則是分割區搬移或複製後沒有更新，應改為 63。"},
        {RuleTotalTooLarge, "fat12", "", 'v',
         "「全部磁區」為 2880：超過磁碟區的大小，最多只能是 2000。"},
        {RuleMediaNotFat, "fat12", "", 'v',
         "「媒體描述」為 0xF0：FAT 的第一個位元組是 0xF8，兩者應相同。"},
        {RulePartitionUnknown, "fat12", "", 'u', ""},
        {RuleBackupDiffers, "fat32", "", 'd',
         "「備份啟動磁區」（磁區 6）與啟動磁區在位移 3–10 不同。"},
        {RuleBackupUnreadable, "fat32", "", 'r', "「備份啟動磁區」（磁區 6）無法讀取，沒有比對。"},
    };
    const std::string Rebuild = "可用「工具」功能表的「重建啟動磁區」從磁碟找回正確的值。";
    std::set<int> covered;
    for (const Row& row : rows) {
        Record record = TableVolume(row.volume);
        std::istringstream patches(row.patches);
        std::string patch;
        while (patches >> patch) {
            const std::size_t offset = std::stoul(patch);
            const std::size_t width = std::stoul(patch.substr(patch.find(':') + 1));
            std::uint64_t value = std::stoull(patch.substr(patch.find('=') + 1), nullptr, 0);
            for (std::size_t i = 0; i < width; ++i, value >>= 8)
                record[offset + i] = static_cast<std::uint8_t>(value);
        }
        const std::uint8_t kind = RecognizeKindOf(record.data());
        Finding findings[64];
        int count = 0;
        Record backup = record;
        for (int i = 3; i <= 10; ++i)
            backup[i] ^= 0xFF;
        const VolumeFacts facts = {false, 0, 2000 * 512, true, 0xFFFFF8};
        switch (row.source) {
        case 'b':
        case 'B': count = CheckBootRecord(record.data(), kind, findings, 64); break;
        case 'v': count = CheckVolumeFacts(record.data(), kind, facts, findings, 64); break;
        case 'p': count = CheckPartitionStart(record.data(), true, 63, findings, 64); break;
        case 'u': count = CheckPartitionStart(record.data(), false, 0, findings, 64); break;
        case 'd': count = CheckBackup(record.data(), backup.data(), 6, findings, 64); break;
        default: count = CheckBackup(record.data(), nullptr, 6, findings, 64); break;
        }
        const Finding* found = std::find_if(findings, findings + count,
                                            [&](const Finding& f) { return f.rule == row.rule; });
        ASSERT_NE(found, findings + count) << "no finding of rule " << int(row.rule) << " for "
                                           << row.volume << " " << row.patches;
        covered.insert(row.rule);
        const Finding* end = findings + count;
        const auto same = static_cast<int>(
            std::count_if(found, end, [&](const Finding& f) { return f.rule == row.rule; }));
        const std::string expected =
            row.source == 'u' ? "檢查啟動磁區：沒有發現問題。\n\n註：系統沒有告知分割區的起點，"
                                "所以沒有檢查「隱藏的磁區」（0）。"
                              : std::string("檢查啟動磁區發現下列問題：\n\n1. ") + row.line +
                                    (row.source == 'B' ? Rebuild : "");
        EXPECT_EQ(standin::NarrowUtf8(CheckMessage(found, same, kind)), expected)
            << "rule " << int(row.rule) << ", " << row.volume << " " << row.patches;
    }
    for (int rule = RuleJump; rule <= RuleBackupUnreadable; ++rule)
        EXPECT_EQ(covered.count(rule), 1u) << "rule " << rule << " has no row";
}

// Each text's placeholders run from %1 without a gap, and what the code fills
// in matches them: no message the program builds (the rows above, and one of
// each report with values) keeps a placeholder, and each shows every value.
TEST_F(Texts, PlaceholdersMatchWhatTheCodeFillsIn)
{
    for (std::size_t i = 0; i < standin::TextEntryCount; ++i) {
        const auto found = Placeholders(standin::TextEntries[i].text);
        EXPECT_TRUE(found.second) << standin::TextEntries[i].name << " skips a placeholder";
        EXPECT_LE(found.first, 3) << standin::TextEntries[i].name;
    }
    struct Row {
        void (*show)();
        const char* text;
    };
    const Row rows[] = {
        {[] {
             LastDiskError = {DiskStepRead, DiskCauseDriver, 0x1F};
             ReportDiskError(3);
         },
         "無法讀取磁碟 C: 的磁區 0。\n\n原因：磁碟服務傳回錯誤碼 0x001F。"},
        {[] {
             LastDiskError = {DiskStepOpen, DiskCauseSectorSize, 256};
             ReportDiskError(1);
         },
         "無法存取磁碟 A:。\n\n原因：它的磁區是 256 個位元組，本程式只能讀寫 512、1024、2048 或 "
         "4096 個位元組的磁區。"},
        {[] {
             LastImageError = {ImageStepShort, 100};
             ReportImportError("a.bin");
         },
         "無法匯入檔案 a.bin。\n\n原因：檔案只有 100 個位元組，啟動磁區需要 512 個位元組。"},
        {[] {
             LastDiskError = {DiskStepWrite, DiskCauseShort, 256};
             ReportBackupWriteError(4, 12, "u.bin");
         },
         "磁碟 D: 的啟動磁區已經寫入，但備份啟動磁區（磁區 12）寫入失敗，兩者現在不同。\n\n原因："
         "只傳送了 256 個位元組，一個磁區是 512 個位元組。\n\n要回到相同的一對：匯入復原檔\nu.bin\n"
         "再寫入到磁碟，然後重新做一次修改。"},
        {[] {
             LastDiskError = {DiskStepRead, DiskCauseWin32, 12345};
             ReportBackupReadError(5, 7);
         },
         "無法讀取磁碟 E: 的備份啟動磁區（磁區 7）。\n\n原因：System error 12345.（錯誤碼 12345）"},
        {[] {
             Record r = TableVolume("fat12");
             AskWriteDrive(1, IdentifyVolume(r.data()), "b.bin", BackupPlanDiffers, 6);
         },
         "要取代磁碟 A: 的啟動磁區嗎？\n\n磁碟 A: 目前是 FAT12，磁碟區標籤「CHECK」，序號 "
         "1234-ABCD。\n\n備份啟動磁區（磁區 6）維持不變，因為它已經和目前的啟動磁區不同。\n\n"
         "目前的啟動磁區已存為復原檔：\nb.bin"},
    };
    for (const Row& row : rows) {
        standin::MessageBoxes.clear();
        row.show();
        ASSERT_EQ(standin::MessageBoxes.size(), 1u);
        EXPECT_EQ(standin::MessageBoxes[0].text, row.text);
    }
}

} // namespace
