// The disk and file commands end to end on the stand-in: the drive picker, the
// volume device (NT family), the VWIN32 device (9x family) and image files.
#include "standin_disk.h"
#include "winioctl.h"
#include "ui_fixture.h"
#include "disk/legacy.h"
#include "disk/disk_image.h"
#include "disk/sector.h"
#include "image/image_file.h"
#include "image/undo_file.h"
#include "core/template.h"
#include "ui/commands.h"
#include "ui/form.h"
#include "ui/picker.h"
#include "ui/rebuild.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>
#include <dirent.h>
#include <unistd.h>

namespace {

std::vector<std::uint8_t> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the user does in the drive picker.
enum class PickerAction { Ok, Cancel, CloseBox, Ignore };

class Commands : public MainWindow {
  protected:
    void SetUp() override
    {
        MainWindow::SetUp();
        standin::OnDialog = [this](HWND dialog, int templateId) {
            if (templateId != IDD_PICKER)
                return;
            pickerItems = standin::Items(dialog, IDC_DRIVES);
            const auto found = std::find(pickerItems.begin(), pickerItems.end(), chosenItem);
            if (found != pickerItems.end())
                standin::Select(dialog, IDC_DRIVES, static_cast<int>(found - pickerItems.begin()));
            switch (action) {
            case PickerAction::Ok: standin::Send(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0); break;
            case PickerAction::Cancel:
                standin::Send(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
                break;
            case PickerAction::CloseBox: standin::Send(dialog, WM_CLOSE, 0, 0); break;
            case PickerAction::Ignore: break;
            }
        };
        standin::OnMessageBox = [this](const standin::MessageBoxCall& box) {
            return (box.type & MB_YESNO) == MB_YESNO ? answer : IDOK;
        };
    }

    // The message boxes shown so far, by kind.
    static std::vector<std::string> Boxes(UINT icon)
    {
        std::vector<std::string> texts;
        for (const auto& box : standin::MessageBoxes)
            if ((box.type & MB_ICONWARNING) == icon)
                texts.push_back(box.text);
        return texts;
    }
    static std::vector<std::string> Errors() { return Boxes(MB_ICONERROR); }
    static std::vector<std::string> Questions() { return Boxes(MB_ICONWARNING); }
    static bool Holds(const std::string& text, const std::string& part)
    {
        return text.find(part) != std::string::npos;
    }

    // The 9x family as start-up leaves it, with the memory the device may address.
    void Use9xFamily(DWORD build)
    {
        OsFamily = OsFamily9x;
        standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, build);
        PrepareDiskAccess();
        standin::MapMemory("record", SectorBuffer, SectorBufferSize);
        standin::MapMemory("staging", StagedSector, sizeof StagedSector);
        standin::MapMemory("packet", &Packet, sizeof Packet);
        standin::MapMemory("probe", LegacyProbeBuffer, sizeof LegacyProbeBuffer);
    }

    // A 1.44 MB volume whose sector 0 is a floppy boot sector with 7 hidden sectors.
    std::vector<std::uint8_t>& AddFloppy(const std::string& name)
    {
        standin::Volume& v = standin::AddVolume(name, 1474560, 0xE5);
        ApplyFloppyPreset();
        StoreU32(SectorBuffer, 28, 7);
        StoreU8(SectorBuffer, 38, 0x29); // a label and a serial number follow
        StoreU32(SectorBuffer, 39, 0x1234ABCD);
        std::memcpy(SectorBuffer + 43, "MY DISK    ", 11);
        std::copy(SectorBuffer, SectorBuffer + 512, v.bytes.begin());
        std::memset(SectorBuffer, 0, 512);
        FsKind = FsKindNone;
        return v.bytes;
    }

    PickerAction action = PickerAction::Ok;
    int answer = IDYES; // to every question
    std::string chosenItem = "Disk A:";
    std::vector<std::string> pickerItems;
};

TEST_F(Commands, PickerListsReadableDrivesAndNotReadyOnesOnTheNtFamily)
{
    AddFloppy("\\\\.\\A:");
    standin::AddVolume("\\\\.\\C:", 4096);
    standin::AddVolume("\\\\.\\E:", 0).noMedium = true;
    standin::AddVolume("\\\\.\\F:", 100); // a short read right after a "not ready"
    standin::AddVolume("\\\\.\\Z:", 4096);
    action = PickerAction::Cancel;
    Menu(IDM_READ_DISK);
    EXPECT_EQ(pickerItems, (std::vector<std::string>{"Disk A:", "Disk C:", "Disk E:"}));
    EXPECT_EQ(standin::Handles().open(), 0) << "every probe closes its handle";
}

TEST_F(Commands, PickerOnThe9xFamilyListsOnlyDrivesThatRead)
{
    for (DWORD build : {950u, 2222u}) {
        standin::Reset();
        SetUp();
        AddFloppy("\\\\.\\A:");
        standin::AddVolume("\\\\.\\C:", 4096);
        standin::AddVolume("\\\\.\\E:", 0).noMedium = true;
        standin::AddVolume("\\\\.\\Z:", 4096);
        Use9xFamily(build);
        action = PickerAction::Cancel;
        Menu(IDM_READ_DISK);
        EXPECT_EQ(pickerItems, (std::vector<std::string>{"Disk A:", "Disk C:"}))
            << "build " << build;
    }
}

TEST_F(Commands, ChoosingDriveCGivesDriveNumber3)
{
    standin::AddVolume("\\\\.\\A:", 4096);
    standin::AddVolume("\\\\.\\C:", 4096);
    chosenItem = "Disk C:";
    EXPECT_EQ(PickVolume(), 3);
    action = PickerAction::Cancel;
    EXPECT_EQ(PickVolume(), 0);
    action = PickerAction::Ok;
    chosenItem = "Disk A:";
    EXPECT_EQ(PickVolume(), 1);
    action = PickerAction::CloseBox;
    EXPECT_EQ(PickVolume(), 0) << "the close box chooses nothing, whatever was chosen before";
}

// With nothing to list, the picker never shows: one message says why instead,
// naming administrator rights on the NT family when a volume refused to open.
TEST_F(Commands, PickerWithNoDrivesSaysSoInsteadOfShowingAnEmptyList)
{
    struct Case {
        const char* name;
        bool nt;
        bool denied;
    };
    for (const Case c : {Case{"NT", true, false}, Case{"NT, access denied", true, true},
                         Case{"9x", false, false}}) {
        standin::Reset();
        SetUp();
        if (!c.nt)
            Use9xFamily(950);
        if (c.denied) {
            standin::AddVolume("\\\\.\\C:", 4096);
            standin::PassNext("CreateFileA"); // A: and B: are missing anyway
            standin::PassNext("CreateFileA");
            standin::FailNext("CreateFileA", ERROR_ACCESS_DENIED);
        }
        pickerItems = {"not shown"};
        Menu(IDM_READ_DISK);
        EXPECT_EQ(pickerItems, std::vector<std::string>{"not shown"}) << c.name;
        ASSERT_EQ(Errors().size(), 1u) << c.name;
        EXPECT_TRUE(Holds(Errors()[0], "找不到可以讀取的磁碟")) << Errors()[0];
        EXPECT_EQ(Holds(Errors()[0], "系統管理員"), c.denied) << Errors()[0];
        EXPECT_EQ(standin::MessageBoxes[0].owner, window) << c.name;
        EXPECT_EQ(standin::MessageBoxes[0].wide, c.nt) << "Unicode on NT, ANSI on 9x";
        EXPECT_EQ(FsKind, FsKindNone) << c.name;
    }
}

TEST_F(Commands, ReadFromDiskLoadsRecognisesAndShowsTheSector)
{
    for (bool nt : {true, false}) {
        standin::Reset();
        SetUp();
        const auto image = AddFloppy("\\\\.\\A:");
        if (!nt)
            Use9xFamily(950);
        Menu(IDM_READ_DISK);
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 512, SectorBuffer)) << "nt " << nt;
        EXPECT_EQ(FsKind, FsKindFat12);
        EXPECT_EQ(Box(IDC_HIDDEN_SECTORS), "7");
        EXPECT_EQ(Box(IDC_TOTAL_SECTORS), "2880");
        EXPECT_EQ(standin::Handles().open(), nt ? 0 : 1) << "only the VWIN32 device stays open";
    }
}

// Each way a read can fail leaves the record, FsKind and the form as they were.
TEST_F(Commands, FailedOrShortReadsLoadNothing)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* says; // what failed and why
        bool admin;       // the message asks for administrator rights
    };
    const Case cases[] = {
        {"open denied", [] { standin::FailNext("CreateFileA", ERROR_ACCESS_DENIED); },
         "無法開啟磁碟 A:。\n\n原因：System error 5.（錯誤碼 5）", true},
        {"open not ready", [] { standin::FailNext("CreateFileA", ERROR_NOT_READY); },
         "System error 21.", false},
        {"seek fails", [] { standin::FailNext("SetFilePointer", ERROR_NEGATIVE_SEEK); },
         "無法定位磁碟 A: 的磁區 0", false},
        {"read fails", [] { standin::FailNext("ReadFile", ERROR_NOT_READY); },
         "無法讀取磁碟 A: 的磁區 0。\n\n原因：System error 21.", false},
        {"short read", [] { standin::ShortNext("ReadFile", 100); }, "只傳送了 100 個位元組", false},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetUp();
        AddFloppy("\\\\.\\A:");
        Menu(IDM_NEW_NTFS);
        Type(IDC_HIDDEN_SECTORS, "1234"); // an edit not yet saved
        const Record before = Bytes();
        // The picker's probes run first: let them pass, then fail the transfer.
        standin::OnDialog = [&, hook = standin::OnDialog](HWND dialog, int id) {
            c.arrange();
            hook(dialog, id);
        };
        Menu(IDM_READ_DISK);
        EXPECT_EQ(Bytes(), before) << c.name;
        EXPECT_EQ(FsKind, FsKindNtfs) << c.name;
        EXPECT_EQ(Box(IDC_HIDDEN_SECTORS), "1234") << c.name;
        EXPECT_EQ(Box(IDC_KIND), "NTFS") << c.name;
        const auto h = standin::Handles();
        EXPECT_EQ(h.open(), 0) << c.name;
        EXPECT_EQ(h.doubleCloses + h.invalidCloses + h.badUses, 0) << c.name;
        ASSERT_EQ(Errors().size(), 1u) << c.name;
        EXPECT_TRUE(Holds(Errors()[0], c.says)) << c.name << ": " << Errors()[0];
        EXPECT_TRUE(Holds(Errors()[0], "A:")) << c.name << ": " << Errors()[0];
        EXPECT_EQ(Holds(Errors()[0], "系統管理員"), c.admin) << c.name << ": " << Errors()[0];
    }
}

TEST_F(Commands, CancelledReadChangesNothing)
{
    AddFloppy("\\\\.\\A:");
    Menu(IDM_NEW_FAT16);
    const Record before = Bytes();
    for (PickerAction a : {PickerAction::Cancel, PickerAction::CloseBox}) {
        action = a;
        Menu(IDM_READ_DISK);
        EXPECT_EQ(Bytes(), before);
        EXPECT_EQ(FsKind, FsKindFat16);
    }
}

// The undo file written before the first write at the stand-in's clock.
std::string UndoFile(const std::string& folder, const char* suffix = "")
{
    return folder + "A-20261208-140509" + suffix + ".bin";
}

TEST_F(Commands, WriteToDiskSavesAnUndoFileAsksThenWritesSectorZeroOnly)
{
    for (bool nt : {true, false}) {
        standin::Reset();
        SetUp();
        auto expected = AddFloppy("\\\\.\\A:");
        const std::vector<std::uint8_t> old(expected.begin(), expected.begin() + 512);
        if (!nt)
            Use9xFamily(2222);
        Menu(IDM_READ_DISK);
        Type(IDC_HIDDEN_SECTORS, "63");
        Menu(IDM_WRITE_DISK);
        StoreU32(expected.data(), 28, 63);
        EXPECT_TRUE(standin::FindVolume("\\\\.\\A:")->bytes == expected) << "nt " << nt;
        EXPECT_EQ(standin::LockLevel(1), 0) << "the volume is unlocked again";
        const std::string undo = UndoFile(standin::AppFolder() + "backup/");
        EXPECT_EQ(FileBytes(undo), old) << "the undo file holds the sector as it was";
        ASSERT_EQ(Questions().size(), 1u);
        EXPECT_TRUE(
            Holds(Questions()[0], "磁碟 A: 目前是 FAT12，磁碟區標籤「MY DISK」，序號 1234-ABCD"))
            << Questions()[0];
        EXPECT_TRUE(Holds(Questions()[0], undo)) << Questions()[0];
        EXPECT_TRUE(Errors().empty());
        EXPECT_EQ(standin::MessageBoxes[0].type, UINT(MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2));
    }
}

// Nothing reaches the drive unless the undo file was saved, Yes was pressed and
// the drive still held what the undo file holds.
TEST_F(Commands, WriteToDiskWritesNothingWithoutUndoFileYesAndAnUnchangedDrive)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* says; // the one error, or "" when the user said No
    };
    const Case cases[] = {
        {"answered No", [this] { answer = IDNO; }, ""},
        {"no undo file anywhere",
         [] {
             standin::FailNext("CreateDirectoryA", ERROR_ACCESS_DENIED);
             std::system(("rm -rf " + standin::TempFolder()).c_str());
         },
         "無法儲存復原檔，所以沒有寫入磁碟 A:"},
        {"drive changed while asking",
         [] {
             standin::OnMessageBox = [](const standin::MessageBoxCall& box) {
                 if ((box.type & MB_YESNO) != MB_YESNO)
                     return IDOK;
                 standin::FindVolume("\\\\.\\A:")->bytes[100] ^= 0xFF;
                 return IDYES;
             };
         },
         "磁碟 A: 的啟動磁區在確認期間已經變更"},
        {"first read fails", [] { standin::FailNext("ReadFile", ERROR_NOT_READY); },
         "無法讀取磁碟 A: 的磁區 0"},
        {"second read fails",
         [] {
             standin::PassNext("ReadFile");
             standin::FailNext("ReadFile", ERROR_NOT_READY);
         },
         "無法讀取磁碟 A: 的磁區 0"},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetUp();
        answer = IDYES;
        AddFloppy("\\\\.\\A:");
        Menu(IDM_NEW_FAT16);
        standin::OnDialog = [&, hook = standin::OnDialog](HWND dialog, int id) {
            hook(dialog, id);
            c.arrange(); // after the picker's probes
        };
        const auto before = standin::FindVolume("\\\\.\\A:")->bytes;
        Menu(IDM_WRITE_DISK);
        auto after = standin::FindVolume("\\\\.\\A:")->bytes;
        if (std::string(c.name) == "drive changed while asking")
            after[100] ^= 0xFF;
        EXPECT_TRUE(after == before) << c.name;
        EXPECT_TRUE(standin::CallsStartingWith("WriteFile").empty()) << c.name;
        EXPECT_EQ(standin::Handles().open(), 0) << c.name;
        if (*c.says == '\0') {
            EXPECT_TRUE(Errors().empty()) << c.name;
            continue;
        }
        ASSERT_EQ(Errors().size(), 1u) << c.name;
        EXPECT_TRUE(Holds(Errors()[0], c.says)) << c.name << ": " << Errors()[0];
    }
}

// Undo files: one per write, "-2" and on when the name is taken, the temporary
// folder when the folder beside the exe cannot be written.
TEST_F(Commands, UndoFilesNeverReplaceEachOther)
{
    AddFloppy("\\\\.\\A:");
    Menu(IDM_READ_DISK);
    for (int i = 0; i < 3; ++i)
        Menu(IDM_WRITE_DISK);
    const std::string backup = standin::AppFolder() + "backup/";
    for (const char* suffix : {"", "-2", "-3"})
        EXPECT_EQ(FileBytes(UndoFile(backup, suffix)).size(), 512u) << suffix;

    std::system(("rm -rf " + backup + " && touch " + standin::AppFolder() + "backup").c_str());
    Menu(IDM_WRITE_DISK);
    EXPECT_EQ(FileBytes(UndoFile(standin::TempFolder())).size(), 512u)
        << "a file named backup is in the way: the temporary folder is used";
    EXPECT_TRUE(Holds(Questions().back(), UndoFile(standin::TempFolder()))) << Questions().back();
    EXPECT_TRUE(Errors().empty());
}

TEST_F(Commands, FailedWriteSaysSoAndNamesTheDrive)
{
    for (bool nt : {true, false}) {
        standin::Reset();
        SetUp();
        AddFloppy("\\\\.\\A:");
        if (!nt)
            Use9xFamily(950);
        Menu(IDM_READ_DISK);
        standin::OnMessageBox = [nt](const standin::MessageBoxCall& box) {
            if (nt)
                standin::FailNext("WriteFile", ERROR_WRITE_PROTECT);
            else
                standin::FindVolume("\\\\.\\A:")->writeProtected = true;
            return (box.type & MB_YESNO) == MB_YESNO ? IDYES : IDOK;
        };
        Menu(IDM_WRITE_DISK);
        ASSERT_EQ(Errors().size(), 1u) << "nt " << nt;
        EXPECT_TRUE(Holds(Errors()[0],
                          nt ? "無法寫入磁碟 A: 的磁區 0。\n\n原因：System error 19."
                             : "無法寫入磁碟 A: 的磁區 0。\n\n原因：磁碟服務傳回錯誤碼 0x0300"))
            << Errors()[0];
    }
}

// --- Backup boot sectors ---

constexpr std::size_t VolumeSectors = 64;

// A volume of 64 sectors whose sector 0 is a FAT32 (backup at sector 6) or an
// NTFS (backup in the last sector, past its file system) boot sector, with the
// same copy at the backup's place unless told otherwise.
std::vector<std::uint8_t>& AddBackedUpVolume(std::uint8_t kind, bool backupMatches = true)
{
    auto& volume = standin::AddVolume("\\\\.\\A:", VolumeSectors * 512, 0x5A);
    CreateBootSector(kind);
    StoreU16(SectorBuffer, 14, 32); // reserved sectors
    std::size_t backup = 6 * 512;
    if (kind == FsKindFat32) {
        StoreU16(SectorBuffer, 50, 6);
    } else {
        StoreU64(SectorBuffer, 40, VolumeSectors - 1);
        backup = (VolumeSectors - 1) * 512;
        volume.lastSectorGuarded = true;
    }
    std::copy(SectorBuffer, SectorBuffer + 512, volume.bytes.begin());
    std::copy(SectorBuffer, SectorBuffer + 512, volume.bytes.begin() + backup);
    if (!backupMatches)
        volume.bytes[backup + 100] ^= 0xFF;
    std::memset(SectorBuffer, 0, 512);
    FsKind = FsKindNone;
    return volume.bytes;
}

std::vector<std::uint8_t> SectorOf(const std::vector<std::uint8_t>& bytes, std::size_t sector)
{
    return {bytes.begin() + sector * 512, bytes.begin() + (sector + 1) * 512};
}

// A write keeps a matching backup in step, fills a zeroed one (as after a
// rebuild), and leaves one that already differed alone; the question says which.
TEST_F(Commands, WriteKeepsAMatchingBackupInStep)
{
    struct Case {
        const char* name;
        std::uint8_t kind;
        DWORD build; // 0: the NT family
        bool matches;
        bool lost = false; // sector 0 and the backup zeroed after the read; NTFS: length known
    };
    const Case cases[] = {
        {"FAT32, NT", FsKindFat32, 0, true},        {"NTFS, NT", FsKindNtfs, 0, true},
        {"FAT32, 98", FsKindFat32, 2222, true},     {"FAT32, 95", FsKindFat32, 950, true},
        {"FAT32 differing", FsKindFat32, 0, false}, {"NTFS differing", FsKindNtfs, 0, false},
        {"FAT32 lost", FsKindFat32, 0, true, true}, {"NTFS lost", FsKindNtfs, 0, true, true},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetUp();
        auto& volume = AddBackedUpVolume(c.kind, c.matches);
        if (c.build != 0)
            Use9xFamily(c.build);
        const std::size_t backup = c.kind == FsKindFat32 ? 6 : VolumeSectors - 1;
        const auto oldBackup = SectorOf(volume, backup);
        Menu(IDM_READ_DISK);
        if (c.lost) {
            std::fill_n(volume.begin(), 512, 0);
            std::fill_n(volume.begin() + backup * 512, 512, 0);
            standin::FindVolume("\\\\.\\A:")->partition = standin::Volume::BothRequests;
        }
        Type(IDC_HIDDEN_SECTORS, "2048");
        Menu(IDM_WRITE_DISK);
        ASSERT_EQ(Questions().size(), 1u) << c.name;
        const char* says = c.lost ? "）目前是空的" : c.matches ? "）會一併更新" : "）維持不變";
        EXPECT_TRUE(Holds(Questions()[0], "備份啟動磁區（磁區 " + std::to_string(backup) + says))
            << c.name << ": " << Questions()[0];
        EXPECT_TRUE(Errors().empty()) << c.name << ": " << Errors()[0];
        EXPECT_EQ(LoadU32(volume.data(), 28), 2048u) << c.name;
        if (c.matches)
            EXPECT_EQ(SectorOf(volume, backup), SectorOf(volume, 0)) << c.name;
        else
            EXPECT_EQ(SectorOf(volume, backup), oldBackup) << c.name;
        if (c.build == 2222) {
            // One lock around both writes: FAT32 lock, two 7305h writes, unlock.
            std::vector<std::string> steps;
            for (const auto& e : standin::Exchanges)
                if (e.code == VWIN32_DIOC_DOS_IOCTL || (e.esi & 1) != 0)
                    steps.push_back(e.code == VWIN32_DIOC_DOS_IOCTL
                                        ? ((e.ecx & 0xFF) == 0x4A ? "L" : "U")
                                        : "W" + std::to_string(e.packetForm ? e.start : 0));
            EXPECT_EQ(steps, (std::vector<std::string>{"L", "W0", "W6", "U"})) << c.name;
        }
    }
}

// What a write after Yes asks of the NT family's volume, one word a call, and
// the handles those calls used.
struct SessionTrace {
    std::string calls;
    std::set<std::string> handles;
};

SessionTrace TraceAfter(std::size_t from)
{
    SessionTrace t;
    const std::pair<const char*, const char*> words[] = {
        {"CreateFileA(", "open"},  {"DeviceIoControl(", ""}, // named by its code below
        {"ReadFile(", "read"},     {"WriteFile(", "write"},
        {"CloseHandle(", "close"}, {"MessageBox", "ask"},
    };
    for (std::size_t i = from; i < standin::Calls.size(); ++i) {
        const std::string& call = standin::Calls[i];
        for (const auto& [prefix, word] : words) {
            if (call.rfind(prefix, 0) != 0)
                continue;
            std::string name = word;
            if (*prefix == 'D') {
                const DWORD code = std::stoul(call.substr(call.find(", ") + 2));
                name = code == FSCTL_LOCK_VOLUME       ? "lock"
                       : code == FSCTL_DISMOUNT_VOLUME ? "dismount"
                       : code == FSCTL_UNLOCK_VOLUME   ? "unlock"
                                                       : "";
            }
            if (name.empty())
                break;
            t.calls += (t.calls.empty() ? "" : " ") + name;
            if (*prefix != 'C' && *prefix != 'M')
                t.handles.insert(call.substr(std::strlen(prefix),
                                             call.find_first_of(",)") - std::strlen(prefix)));
            break;
        }
    }
    return t;
}

// On the NT family a write locks the volume, reads sector 0 again, writes and
// dismounts, all through one handle; a volume in use is written unlocked only
// after a second Yes.
TEST_F(Commands, WriteLocksAndDismountsTheVolumeThroughOneHandle)
{
    struct Case {
        const char* name;
        bool inUse;
        int secondAnswer;               // to the question about a volume in use
        std::function<void()> afterYes; // what goes wrong once the write is agreed
        std::string calls;              // after the first Yes
        bool written;                   // sector 0 changed
        int dismounts;                  // granted
        const char* says;               // the one error, or ""
    };
    std::string refused = "open"; // a lock tried for about two seconds
    for (int i = 0; i < 20; ++i)
        refused += " lock";
    const Case cases[] = {
        {"locked", false, IDNO, [] {}, "open lock read write write dismount unlock close", true, 1,
         ""},
        {"in use, then Yes", true, IDYES, [] {}, refused + " ask read write write close", true, 0,
         ""},
        {"in use, then No", true, IDNO, [] {}, refused + " ask close", false, 0, ""},
        {"dismount refused", false, IDNO,
         [] {
             for (int i = 0; i < 2; ++i) // the sector size, the lock
                 standin::PassNext("DeviceIoControl");
             standin::FailNext("DeviceIoControl", ERROR_INVALID_PARAMETER);
         },
         "open lock read write write dismount unlock close", true, 0, ""},
        {"changed under the lock", false, IDNO,
         [] { standin::FindVolume("\\\\.\\A:")->bytes[100] ^= 0xFF; },
         "open lock read unlock close ask", false, 0, "的啟動磁區在確認期間已經變更"},
        {"backup write fails", false, IDNO,
         [] {
             standin::PassNext("WriteFile");
             standin::FailNext("WriteFile", ERROR_WRITE_PROTECT);
         },
         "open lock read write write dismount unlock close ask", true, 1,
         "備份啟動磁區（磁區 6）寫入失敗"},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetUp();
        auto& volume = AddBackedUpVolume(FsKindFat32);
        volume[100] = 0x11; // in the boot code: a change the comparison must see
        std::copy(volume.begin(), volume.begin() + 512, volume.begin() + 6 * 512);
        standin::FindVolume("\\\\.\\A:")->inUse = c.inUse;
        Menu(IDM_READ_DISK);
        Type(IDC_HEADS, "255");
        std::size_t yesAt = 0;
        int asked = 0;
        standin::OnMessageBox = [&](const standin::MessageBoxCall& box) {
            if ((box.type & MB_YESNO) != MB_YESNO)
                return IDOK;
            if (++asked > 1)
                return c.secondAnswer;
            yesAt = standin::Calls.size();
            c.afterYes();
            return IDYES;
        };
        Menu(IDM_WRITE_DISK);
        const SessionTrace t = TraceAfter(yesAt);
        EXPECT_EQ(t.calls, c.calls) << c.name;
        EXPECT_EQ(t.handles.size(), 1u) << c.name << ": every transfer on the locking handle";
        EXPECT_EQ(LoadU16(volume.data(), 26) == 255, c.written) << c.name;
        EXPECT_EQ(standin::Handles().open(), 0) << c.name;
        EXPECT_EQ(standin::FindVolume("\\\\.\\A:")->lockedBy, 0u) << c.name;
        EXPECT_EQ(standin::FindVolume("\\\\.\\A:")->dismounts, c.dismounts) << c.name;
        if (c.inUse) {
            ASSERT_EQ(Questions().size(), 2u) << c.name;
            EXPECT_TRUE(Holds(Questions()[1], "正在使用中")) << Questions()[1];
            EXPECT_TRUE(Holds(Questions()[1], "下次開機")) << Questions()[1];
        }
        if (*c.says == '\0') {
            EXPECT_TRUE(Errors().empty()) << c.name << ": " << Errors()[0];
            continue;
        }
        ASSERT_EQ(Errors().size(), 1u) << c.name;
        EXPECT_TRUE(Holds(Errors()[0], c.says)) << c.name << ": " << Errors()[0];
    }
}

TEST_F(Commands, FailedBackupWriteSaysHowToGetAMatchingPairBack)
{
    auto& volume = AddBackedUpVolume(FsKindFat32);
    Menu(IDM_READ_DISK);
    Type(IDC_HEADS, "255");
    standin::OnMessageBox = [](const standin::MessageBoxCall& box) {
        if ((box.type & MB_YESNO) != MB_YESNO)
            return IDOK;
        standin::PassNext("WriteFile"); // sector 0
        standin::FailNext("WriteFile", ERROR_WRITE_PROTECT);
        return IDYES;
    };
    Menu(IDM_WRITE_DISK);
    EXPECT_EQ(LoadU16(volume.data(), 26), 255u) << "sector 0 stays written";
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_TRUE(Holds(Errors()[0], "備份啟動磁區（磁區 6）寫入失敗")) << Errors()[0];
    EXPECT_TRUE(Holds(Errors()[0], UndoFile(standin::AppFolder() + "backup/"))) << Errors()[0];
}

// Read backup: where sector 0 says, else sector 6 for FAT32, else the
// partition's last sector for NTFS, found only when the system gives its length.
TEST_F(Commands, ReadBackupFindsTheBackupOrSaysWhyNot)
{
    struct Case {
        const char* name;
        std::uint8_t kind;
        bool damageNamesBackup; // sector 0 damaged but still names the backup
        standin::Volume::Partition partition;
        bool loads;
        const char* says;
    };
    using V = standin::Volume;
    const Case cases[] = {
        {"FAT32, sector 0 zeroed", FsKindFat32, false, V::NoRequests, true, ""},
        {"NTFS, sector 0 names it", FsKindNtfs, true, V::NoRequests, true, ""},
        {"NTFS, sector 0 zeroed, length known", FsKindNtfs, false, V::BothRequests, true, ""},
        {"NTFS, sector 0 zeroed, GPT disk", FsKindNtfs, false, V::NewerOnly, true, ""},
        {"NTFS, sector 0 zeroed, NT 4.0", FsKindNtfs, false, V::OlderOnly, true, ""},
        {"NTFS, sector 0 zeroed, length unknown", FsKindNtfs, false, V::NoRequests, false,
         "找不到磁碟 A: 的備份啟動磁區"},
        {"no backup anywhere", FsKindFat16, false, V::BothRequests, false,
         "磁碟 A: 沒有備份啟動磁區"},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetUp();
        const std::uint8_t kind = c.kind == FsKindFat16 ? FsKindFat32 : c.kind;
        auto& volume = AddBackedUpVolume(kind);
        standin::FindVolume("\\\\.\\A:")->partition = c.partition;
        const std::size_t backup = kind == FsKindFat32 ? 6 : VolumeSectors - 1;
        const auto expected = SectorOf(volume, backup);
        if (c.kind == FsKindFat16)
            std::fill(volume.begin() + backup * 512, volume.begin() + (backup + 1) * 512, 0);
        if (c.damageNamesBackup)
            std::fill(volume.begin() + 84, volume.begin() + 510, 0); // boot code gone
        else
            std::fill(volume.begin(), volume.begin() + 512, 0);
        Menu(IDM_NEW_FAT12);
        const Record before = Bytes();
        Menu(IDM_READ_BACKUP);
        if (c.loads) {
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), SectorBuffer)) << c.name;
            EXPECT_EQ(FsKind, kind) << c.name;
            EXPECT_TRUE(Errors().empty()) << c.name << ": " << Errors()[0];
        } else {
            EXPECT_EQ(Bytes(), before) << c.name;
            ASSERT_EQ(Errors().size(), 1u) << c.name;
            EXPECT_TRUE(Holds(Errors()[0], c.says)) << c.name << ": " << Errors()[0];
        }
        EXPECT_EQ(standin::Handles().open(), 0) << c.name;
    }
}

// After Read from disk on the NT family, the check also holds the hidden
// sectors against the partition start the system gives, and the record against
// the drive's backup; on the 9x family it checks the record alone.
TEST_F(Commands, CheckComparesWithTheDriveTheRecordCameFrom)
{
    struct Case {
        const char* name;
        std::uint8_t kind;
        standin::Volume::Partition partition;
        std::uint32_t hidden; // the partition starts at sector 2048
        bool backupMatches;
        DWORD build; // 0: the NT family
        std::vector<std::string> lines;
        DWORD sectorSize = 512; // above 512: the backup is sector 8 of 512 bytes
    };
    using V = standin::Volume;
    const std::string moved =
        "「隱藏的磁區」為 63：分割區從磁區 2048 開始。延伸分割區中的邏輯磁碟機"
        "可能從延伸分割區的起點算起，那樣並沒有錯；否則是分割區搬移或複製後"
        "沒有更新，應改為 2048。";
    const std::string unknown =
        "\n\n註：系統沒有告知分割區的起點，所以沒有檢查「隱藏的磁區」（2048）。";
    const Case cases[] = {
        {"FAT32, both in step", FsKindFat32, V::BothRequests, 2048, true, 0, {}},
        {"FAT32, moved partition", FsKindFat32, V::BothRequests, 63, true, 0, {moved}},
        {"NTFS, GPT disk", FsKindNtfs, V::NewerOnly, 63, true, 0, {moved}},
        {"NTFS, NT 4.0", FsKindNtfs, V::OlderOnly, 2048, true, 0, {}},
        {"FAT32, start refused", FsKindFat32, V::NoRequests, 2048, true, 0, {unknown}},
        {"FAT32, backup differs",
         FsKindFat32,
         V::BothRequests,
         2048,
         false,
         0,
         {"「備份啟動磁區」（磁區 6）與啟動磁區在位移 100 不同。"}},
        {"NTFS, backup differs",
         FsKindNtfs,
         V::BothRequests,
         2048,
         false,
         0,
         {"「備份啟動磁區」（磁區 63）與啟動磁區在位移 100 不同。"}},
        {"FAT32, 98, moved partition", FsKindFat32, V::BothRequests, 63, false, 2222, {}},
        {"FAT32, 4096-byte volume sectors, backup differs",
         FsKindFat32,
         V::BothRequests,
         256,
         false,
         0,
         {"「備份啟動磁區」（磁區 1）與啟動磁區在位移 100 不同。"},
         4096},
    };
    for (const auto& c : cases) {
        standin::Reset();
        SetUp();
        auto& bytes = AddBackedUpVolume(c.kind, c.backupMatches);
        const std::size_t backup = c.kind == FsKindFat32 ? 6 : VolumeSectors - 1;
        StoreU32(bytes.data(), 28, c.hidden); // hidden sectors
        StoreU32(bytes.data() + backup * 512, 28, c.hidden);
        V& volume = *standin::FindVolume("\\\\.\\A:");
        volume.partition = c.partition;
        volume.partitionStart = 2048 * 512;
        if (c.sectorSize != 512) {
            volume.sectorSize = c.sectorSize;
            StoreU16(bytes.data(), 50, 8);
            std::copy(bytes.begin(), bytes.begin() + 512, bytes.begin() + c.sectorSize);
            bytes[c.sectorSize + 100] ^= 0xFF;
        }
        if (c.build != 0)
            Use9xFamily(c.build);
        Menu(IDM_READ_DISK);
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u) << c.name;
        const std::string& text = standin::MessageBoxes[0].text;
        for (const auto& line : c.lines)
            EXPECT_TRUE(Holds(text, line)) << c.name << ": " << text;
        for (const char* part : {"「隱藏的磁區」", "「備份啟動磁區」（"})
            EXPECT_EQ(std::count_if(c.lines.begin(), c.lines.end(),
                                    [&](const std::string& l) { return Holds(l, part); }),
                      Holds(text, part) ? 1 : 0)
                << c.name << ": " << text;
        EXPECT_EQ(standin::Handles().open(), c.build != 0 ? 1 : 0) << c.name << ": VWIN32 stays";
    }

    // A sound floppy: nothing found; a start the system does not give is a note.
    for (auto partition : {V::BothRequests, V::NoRequests}) {
        standin::Reset();
        SetUp();
        AddFloppy("\\\\.\\A:");
        V& volume = *standin::FindVolume("\\\\.\\A:");
        volume.partition = partition;
        volume.partitionStart = 7 * 512;
        Menu(IDM_READ_DISK);
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u);
        EXPECT_EQ(standin::MessageBoxes[0].type, UINT(MB_ICONINFORMATION | MB_OK));
        EXPECT_EQ(standin::MessageBoxes[0].text,
                  partition == V::NoRequests
                      ? "檢查啟動磁區：沒有發現問題。\n\n註：系統沒有告知分割區的起點，"
                        "所以沒有檢查「隱藏的磁區」（7）。"
                      : "檢查啟動磁區：沒有發現問題。");
    }

    // A floppy whose record claims 2900 sectors, 7 hidden ones and media 0xF9,
    // on a partition at sector 9, its FAT starting F0 FF FF: the box offers the
    // three values it knows, default No. Yes puts them into the form, which
    // then checks clean; No leaves it. The drive is never written.
    for (int given : {IDYES, IDNO}) {
        standin::Reset();
        SetUp();
        auto& bytes = AddFloppy("\\\\.\\A:");
        StoreU16(bytes.data(), 19, 2900); // total sectors
        bytes[21] = 0xF9;                 // media
        std::fill(bytes.begin() + 512, bytes.begin() + 515, 0xFF);
        bytes[512] = 0xF0;
        V& volume = *standin::FindVolume("\\\\.\\A:");
        volume.partition = V::BothRequests;
        volume.partitionStart = 9 * 512;
        const auto before = bytes;
        Menu(IDM_READ_DISK);
        answer = given;
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u);
        EXPECT_EQ(standin::MessageBoxes[0].type, UINT(MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2));
        EXPECT_EQ(standin::MessageBoxes[0].text,
                  "檢查啟動磁區發現下列問題：\n\n1. 「隱藏的磁區」為 7：分割區從磁區 9 開始。"
                  "延伸分割區中的邏輯磁碟機可能從延伸分割區的起點算起，那樣並沒有錯；否則是分割區"
                  "搬移或複製後沒有更新，應改為 9。\n2. 「全部磁區」為 2900：超過磁碟區的大小，最多"
                  "只能是 2880。\n3. 「媒體描述」為 0xF9：FAT 的第一個位元組是 0xF0，兩者應相同。"
                  "\n\n程式從磁碟得知下列欄位的值：\n「隱藏的磁區」：7 → 9\n「全部磁區」：2900 → "
                  "2880\n「媒體描述」：0xF9 → 0xF0\n\n要把這些值填入表單嗎？磁碟不會變更；要寫入，"
                  "請再選「寫入到磁碟」。");
        const bool yes = given == IDYES;
        EXPECT_EQ(Box(IDC_HIDDEN_SECTORS), yes ? "9" : "7");
        EXPECT_EQ(Box(IDC_TOTAL_SECTORS), yes ? "2880" : "2900");
        EXPECT_EQ(SectorBuffer[21], yes ? 0xF0 : 0xF9);
        EXPECT_TRUE(bytes == before) << "the drive is not written";
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u);
        EXPECT_EQ(standin::MessageBoxes[0].text == "檢查啟動磁區：沒有發現問題。", yes)
            << standin::MessageBoxes[0].text;
    }
}

TEST_F(Commands, CancelledWriteKeepsTheCaptureAndTouchesNoDrive)
{
    const auto image = AddFloppy("\\\\.\\A:");
    Menu(IDM_READ_DISK);
    Type(IDC_HEADS, "16");
    action = PickerAction::Cancel;
    Menu(IDM_WRITE_DISK);
    EXPECT_EQ(LoadU16(SectorBuffer, 26), 16);
    EXPECT_TRUE(standin::FindVolume("\\\\.\\A:")->bytes == image);
    EXPECT_TRUE(standin::CallsStartingWith("WriteFile").empty());
}

TEST_F(Commands, WriteAfterAFailedSeekNeverReachesTheDrive)
{
    const auto image = AddFloppy("\\\\.\\A:");
    Menu(IDM_NEW_FAT12);
    standin::OnDialog = [hook = standin::OnDialog](HWND dialog, int id) {
        standin::FailNext("SetFilePointer", ERROR_NEGATIVE_SEEK);
        hook(dialog, id);
    };
    // The picker's probe does not seek, so the failure falls on the transfer.
    Menu(IDM_WRITE_DISK);
    EXPECT_TRUE(standin::FindVolume("\\\\.\\A:")->bytes == image);
    EXPECT_TRUE(standin::CallsStartingWith("WriteFile").empty());
    EXPECT_EQ(standin::Handles().open(), 0);
}

// --- Rebuild ---

// A 16 MiB volume made by mkfs.fat (FAT16, 4 sectors per cluster, two
// subdirectories) or mkntfs; empty when a tool is missing.
std::vector<std::uint8_t> MadeVolume(const std::string& kind)
{
    const std::string path = "/tmp/kelvashin-rebuild-" + std::to_string(getpid()) + ".img";
    const std::string make =
        kind == "fat16" ? "mkfs.fat -C -F 16 -s 4 -n KELTEST " + path +
                              " 16384 && MTOOLS_SKIP_CHECK=1 mmd -i " + path + " ::/ONE ::/TWO"
                        : "truncate -s 16M " + path + " && mkntfs -q -F -f -c 4096 -p 0 " + path;
    const bool made = std::system(("(" + make + ") >/dev/null 2>&1").c_str()) == 0;
    auto bytes = made ? FileBytes(path) : std::vector<std::uint8_t>();
    std::remove(path.c_str());
    return bytes;
}

// The rebuild over volumes whose sector 0 (NTFS: and its backup) is zeroed: on
// Yes the rebuilt sector is the record, shown and remembered as Read from disk
// remembers it; on No, Cancel in the progress window, a read failing mid-scan
// or nothing found, the record stays as it was. Each ends in one message.
TEST_F(Commands, RebuildLoadsTheRebuiltSectorOnlyOnYes)
{
    static const auto fat16 = MadeVolume("fat16"), ntfs = MadeVolume("ntfs");
    if (fat16.empty() || ntfs.empty())
        GTEST_SKIP() << "mkfs.fat, mmd or mkntfs is missing";
    const std::vector<std::uint8_t> zeros(2 << 20);
    constexpr int Cancel = -1;
    struct Case {
        const char* name;
        const std::vector<std::uint8_t>* volume;
        int answer;
        int failingRead;      // of the scan's reads, from 1; 0: none; Cancel
        std::size_t from, to; // the bytes of sector 0 the rebuild gives back
        const char* parts;    // of the one message, between '|'
    };
    const Case cases[] = {
        {"FAT16, Yes", &fat16, IDYES, 0, 11, 24,
         "已從磁碟 A: 本身的結構重建 FAT16 啟動磁區。|FAT 副本在磁區 4、36；磁簇大小取自 2 個子目錄"
         "|\n「磁區磁簇」：0 → 4\n|\n「磁碟區標籤」：\"???????????\" → \"KELTEST    \"|（推測）"},
        {"FAT16, No", &fat16, IDNO, 0, 0, 0, "要把重建的啟動磁區載入表單嗎"},
        {"NTFS, Yes", &ntfs, IDYES, 0, 40, 72,
         "$MFT 的記錄 0 在磁區 32 找到，另一份副本相符。|\n「$MFT Mirror Cluster」：0 → "
         "|但無法再從它啟動 Windows。"},
        {"zeros, Cancel", &zeros, IDYES, Cancel, 0, 0, "重建啟動磁區已取消，表單維持不變。"},
        {"zeros, the third read fails", &zeros, IDYES, 3, 0, 0,
         "重建啟動磁區時無法讀取磁碟 A: 的磁區 256 到 383，表單維持不變。"},
        {"zeros, nothing found", &zeros, IDYES, 0, 0, 0,
         "在磁碟 A: 找不到 FAT 或 $MFT|搜尋了磁區 0 到 "},
    };
    for (const Case& c : cases) {
        standin::Reset();
        SetUp();
        auto& volume = standin::AddVolume("\\\\.\\A:", 0);
        volume.bytes = *c.volume;
        volume.partition = standin::Volume::BothRequests;
        std::fill_n(volume.bytes.begin(), 512, 0);
        std::fill_n(volume.bytes.end() - 512, 512, 0);
        Menu(IDM_NEW_FAT12);
        const Record before = Bytes();
        answer = c.answer;
        if (c.failingRead == Cancel) {
            standin::TickStep = 300; // the window shows at the second read
            standin::OnDialog = [hook = standin::OnDialog](HWND dialog, int id) {
                if (id == IDD_PROGRESS)
                    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
                hook(dialog, id);
            };
        }
        for (int i = 0; i < c.failingRead; ++i) // the picker's probe, then the scan
            standin::PassNext("ReadFile");
        if (c.failingRead > 0)
            standin::FailNext("ReadFile", ERROR_NOT_READY);
        Menu(IDM_REBUILD);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u) << c.name;
        const std::string& text = standin::MessageBoxes[0].text;
        for (std::string parts = c.parts, part; !parts.empty(); parts.erase(0, part.size() + 1)) {
            part = parts.substr(0, parts.find('|'));
            EXPECT_TRUE(Holds(text, part)) << c.name << ": no \"" << part << "\" in\n" << text;
        }
        const bool loaded = c.from != c.to;
        EXPECT_TRUE(loaded ? std::equal(c.volume->begin() + c.from, c.volume->begin() + c.to,
                                        SectorBuffer + c.from)
                           : Bytes() == before)
            << c.name;
        EXPECT_EQ(FsKind, !loaded ? FsKindFat12 : c.volume == &ntfs ? FsKindNtfs : FsKindFat16);
        EXPECT_EQ(RecordDrive, loaded ? 1 : 0) << c.name;
        EXPECT_EQ(standin::DestroyedDialogs.size(), c.failingRead == Cancel ? 1u : 0u) << c.name;
        EXPECT_FALSE(standin::Disabled(window)) << c.name;
        EXPECT_EQ(standin::Handles().open(), 0) << c.name;
    }
}

// --- Image files ---

class Files : public Commands {
  protected:
    void SetUp() override
    {
        Commands::SetUp();
        char pattern[] = "/tmp/kelvashin-ui-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ImagePath[0] = '\0';
        standin::OnOpenFileName = [this](OPENFILENAMEA* ofn) {
            titles.push_back(ofn->lpstrTitle);
            startPaths.push_back(ofn->lpstrFile);
            if (choice.empty())
                return FALSE;
            return standin::ChooseFile(ofn, choice);
        };
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static std::vector<std::uint8_t> Read(const std::string& path) { return FileBytes(path); }

    std::string dir;
    std::string choice;
    std::vector<std::string> titles, startPaths;
};

TEST_F(Files, ExportThenImportGivesTheRecordBackAndRecognisesItAfresh)
{
    Menu(IDM_NEW_FAT32);
    Type(IDC_SERIAL, "305419896");
    choice = dir + "/fat32.img";
    Menu(IDM_EXPORT);
    const Record exported = Bytes();
    ASSERT_EQ(Read(choice), std::vector<std::uint8_t>(exported.begin(), exported.end()));

    Menu(IDM_NEW_NTFS);
    Menu(IDM_IMPORT);
    EXPECT_EQ(Bytes(), exported);
    EXPECT_EQ(FsKind, FsKindFat32);
    EXPECT_EQ(Box(IDC_SERIAL), "305419896");
    EXPECT_EQ(titles, (std::vector<std::string>{"匯出檔案?", "匯入檔案?"}));
    EXPECT_EQ(startPaths.back(), choice) << "both commands share the last path";
}

TEST_F(Files, ShortOrMissingFilesImportNothingAndSayWhy)
{
    std::vector<std::uint8_t> sector(512, 0);
    std::memcpy(sector.data() + 54, "FAT16   ", 8);
    const std::pair<std::string, std::string> cases[] = {
        {Write("empty.img", {}), "檔案只有 0 個位元組"},
        {Write("short.img", std::vector<std::uint8_t>(sector.begin(), sector.begin() + 300)),
         "檔案只有 300 個位元組"},
        {Write("511.img", std::vector<std::uint8_t>(sector.begin(), sector.begin() + 511)),
         "檔案只有 511 個位元組"},
        {dir + "/missing.img", "無法開啟檔案 " + dir + "/missing.img。"},
        {dir, "無法"}, // a folder: the C library opens it, or refuses it, by host
    };
    for (const auto& [path, says] : cases) {
        Menu(IDM_NEW_NTFS);
        Type(IDC_HIDDEN_SECTORS, "77");
        const Record before = Bytes();
        standin::MessageBoxes.clear();
        choice = path;
        Menu(IDM_IMPORT);
        EXPECT_EQ(Bytes(), before) << path;
        EXPECT_EQ(FsKind, FsKindNtfs) << path;
        EXPECT_EQ(Box(IDC_HIDDEN_SECTORS), "77") << path;
        ASSERT_EQ(Errors().size(), 1u) << path;
        EXPECT_TRUE(Holds(Errors()[0], says)) << Errors()[0];
        EXPECT_TRUE(Holds(Errors()[0], path)) << Errors()[0];
    }
}

TEST_F(Files, ImportTakesTheFirst512BytesOfALongerFile)
{
    std::vector<std::uint8_t> bytes(2048, 0x11);
    std::memcpy(bytes.data() + 54, "FAT16   ", 8);
    choice = Write("long.img", bytes);
    Menu(IDM_IMPORT);
    EXPECT_EQ(FsKind, FsKindFat16);
    EXPECT_EQ(Bytes()[0], 0x11);
    EXPECT_EQ(StagedSector[511], 0x11) << "read through the staging sector, not past it";
}

TEST_F(Files, CancelledExportKeepsTheCaptureAndWritesNoFile)
{
    Menu(IDM_NEW_FAT16);
    Type(IDC_SECTORS_PER_TRACK, "63");
    choice.clear();
    Menu(IDM_EXPORT);
    EXPECT_EQ(LoadU16(SectorBuffer, 24), 63);
    EXPECT_EQ(Read(dir + "/anything").size(), 0u);
    Menu(IDM_IMPORT); // cancelled too
    EXPECT_EQ(Box(IDC_SECTORS_PER_TRACK), "63");
}

// The names in the folder other than the given ones: no new file is left behind.
std::vector<std::string> Strays(const std::string& folder, const std::vector<std::string>& known)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." &&
                std::find(known.begin(), known.end(), name) == known.end())
                names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

// An existing file is replaced only after a Yes, only by a complete new file,
// on the NT family in one step and on 9x by renames.
TEST_F(Files, ExportAsksBeforeReplacingAnExistingFile)
{
    for (bool nt : {true, false}) {
        TearDown();
        SetUp();
        if (!nt)
            Use9xFamily(950);
        const std::vector<std::uint8_t> old(4096, 0x77);
        choice = Write("old.img", old);
        Menu(IDM_FLOPPY_144);
        answer = IDNO;
        Menu(IDM_EXPORT);
        EXPECT_EQ(Read(choice), old) << "No keeps the file; nt " << nt;
        ASSERT_EQ(Questions().size(), 1u);
        EXPECT_TRUE(Holds(Questions()[0], "檔案 " + choice + " 已經存在，大小為 4096 位元組"))
            << Questions()[0];
        EXPECT_TRUE(Holds(Questions()[0], "「開啟磁碟映像檔」")) << Questions()[0];

        answer = IDYES;
        Menu(IDM_EXPORT);
        const auto written = Read(choice);
        ASSERT_EQ(written.size(), 512u) << "nt " << nt;
        EXPECT_TRUE(std::equal(written.begin(), written.end(), SectorBuffer));
        EXPECT_EQ(Strays(dir, {"old.img"}), std::vector<std::string>{}) << "nt " << nt;
        EXPECT_EQ(standin::CallsStartingWith("MoveFileExA").size(), nt ? 1u : 0u);
        EXPECT_TRUE(Errors().empty()) << "nt " << nt;
    }
}

TEST_F(Files, FailedExportLeavesTheOldFileAsItWasAndSaysSo)
{
    struct Case {
        const char* name;
        bool nt;
        std::function<void()> arrange;
        const char* says;
    };
    const Case cases[] = {
        {"no new file", true, [] { standin::FailNext("GetTempFileNameA", ERROR_ACCESS_DENIED); },
         "無法在同一個資料夾建立新檔案"},
        {"replace refused", true, [] { standin::FailNext("MoveFileExA", ERROR_ACCESS_DENIED); },
         "新檔案無法取代原來的檔案"},
        {"9x: no aside", false, [] { standin::FailNext("MoveFileA", ERROR_ACCESS_DENIED); },
         "新檔案無法取代原來的檔案"},
        {"9x: new one refused", false,
         [] {
             standin::PassNext("MoveFileA");
             standin::FailNext("MoveFileA", ERROR_ACCESS_DENIED);
         },
         "新檔案無法取代原來的檔案"},
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        if (!c.nt)
            Use9xFamily(950);
        const std::vector<std::uint8_t> old(700, 0x42);
        choice = Write("old.img", old);
        Menu(IDM_NEW_FAT32);
        c.arrange();
        Menu(IDM_EXPORT);
        EXPECT_EQ(Read(choice), old) << c.name;
        EXPECT_EQ(Strays(dir, {"old.img"}), std::vector<std::string>{}) << c.name;
        ASSERT_EQ(Errors().size(), 1u) << c.name;
        EXPECT_TRUE(Holds(Errors()[0], c.says)) << c.name << ": " << Errors()[0];
        EXPECT_TRUE(Holds(Errors()[0], choice)) << c.name << ": " << Errors()[0];
    }
    TearDown();
    SetUp();
    choice = dir;
    Menu(IDM_EXPORT);
    EXPECT_TRUE(Questions().empty()) << "a folder is not a file to replace";
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_EQ(Strays(dir, {}), std::vector<std::string>{}) << "the folder stays empty";
}

} // namespace

// --- Disk images as volumes ---

// A 2 MiB image: a FAT16 primary (slot 1, sectors 63 to 1062) and a FAT32
// logical partition (5) at 1163, whose EBR is at 1100 and whose hidden sectors
// count from it, as DOS counts them.
TEST_F(Files, ImageVolumesArePickedReadCheckedAndWrittenInPlace)
{
    const char* const path = "C:\\IMAGES\\SD-CARD.IMG";
    auto& image = standin::AddVolume(path, 4096 * 512, 0xE5).bytes;
    auto entry = [&](std::size_t sector, int slot, std::uint8_t type, std::uint32_t start) {
        std::uint8_t* e = image.data() + sector * 512 + 446 + 16 * slot;
        e[4] = type;
        StoreU32(e, 8, start);
        StoreU32(e, 12, type == 0x05 ? 2900 : 1000);
        StoreU16(image.data(), sector * 512 + 510, 0xAA55);
    };
    std::memset(image.data(), 0, 512);
    entry(0, 0, 0x06, 63);
    entry(0, 1, 0x05, 1100);
    std::memset(image.data() + 1100 * 512, 0, 512);
    entry(1100, 0, 0x0B, 63);
    for (auto [kind, at, hidden] : {std::tuple{FsKindFat16, 63, 63}, {FsKindFat32, 1163, 63}}) {
        CreateBootSector(kind);
        StoreU32(SectorBuffer, 28, static_cast<std::uint32_t>(hidden));
        StoreU16(SectorBuffer, 19, 0);
        StoreU32(SectorBuffer, 32, 1000);
        std::copy_n(SectorBuffer, 512, image.begin() + at * 512);
    }
    const auto before = image;

    // Opening picks the first volume by itself and reads its sector 0.
    choice = path;
    Menu(IDM_OPEN_IMAGE);
    EXPECT_EQ(pickerItems, (std::vector<std::string>{"Image 1: 主要分割區 0.49 MB",
                                                     "Image 5: 邏輯磁碟機 0.49 MB"}));
    EXPECT_EQ(PickedVolume, ImageVolumeAt(0));
    EXPECT_TRUE(std::equal(SectorBuffer, SectorBuffer + 512, before.begin() + 63 * 512));
    const std::string check[] = {"「隱藏的磁區」", "從分割區的 EBR 算起", "那樣應為 63",
                                 "分割區有 1000 個磁區"};
    struct Case {
        const char* hidden;
        const char* total;
        std::vector<bool> lines; // which parts of check the check's box holds
    };
    const Case cases[] = {{"63", "1000", {false, false, false, false}}};
    auto runCheck = [&](const Case& c, const char* name) {
        Type(IDC_HIDDEN_SECTORS, c.hidden);
        Type(IDC_TOTAL_SECTORS, c.total);
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u);
        const std::string& text = standin::MessageBoxes[0].text;
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_EQ(Holds(text, check[i]), c.lines[i])
                << name << ", " << check[i] << ": " << text;
    };
    runCheck(cases[0], "primary in step");

    chosenItem = "Image 5: 邏輯磁碟機 0.49 MB";
    Menu(IDM_READ_DISK);
    EXPECT_EQ(PickedVolume, ImageVolumeAt(1));
    EXPECT_TRUE(std::equal(SectorBuffer, SectorBuffer + 512, before.begin() + 1163 * 512));
    const Case logical[] = {{"63", "1000", {true, true, false, false}},
                            {"1163", "1000", {false, false, false, false}},
                            {"7", "990", {true, false, true, true}}};
    for (const auto& c : logical)
        runCheck(c, c.hidden);

    // The write names the file and the partition and changes only sector 0 and its backup.
    Type(IDC_HIDDEN_SECTORS, "1163");
    standin::MessageBoxes.clear();
    Menu(IDM_WRITE_DISK);
    ASSERT_EQ(Questions().size(), 1u);
    EXPECT_TRUE(Holds(Questions()[0], "映像檔 C:\\IMAGES\\SD-CARD.IMG 的分割區 5"))
        << Questions()[0];
    EXPECT_TRUE(Holds(UndoPath, "backup/SD-CARD-p5-") || Holds(UndoPath, "backup\\SD-CARD-p5-"))
        << UndoPath;
    EXPECT_TRUE(Errors().empty()) << Errors()[0];
    auto expected = before;
    std::copy_n(SectorBuffer, 512, expected.begin() + 1163 * 512);
    for (std::size_t sector = 0; sector < 4096; ++sector)
        EXPECT_TRUE(std::equal(image.begin() + sector * 512, image.begin() + sector * 512 + 512,
                               expected.begin() + sector * 512))
            << "sector " << sector << ": only 1163 changes (too few clusters for a FAT32 backup)";

    // A read-only file: one clear message, nothing written.
    standin::FindVolume(path)->readOnly = true;
    Type(IDC_HEADS, "99");
    standin::MessageBoxes.clear();
    Menu(IDM_WRITE_DISK);
    ASSERT_EQ(Errors().size(), 1u);
    EXPECT_TRUE(Holds(Errors()[0], "映像檔是唯讀的")) << Errors()[0];
    EXPECT_TRUE(image == expected);

    // Another file replaces the list; a container format is refused with one message.
    auto& vhdx = standin::AddVolume("C:\\IMAGES\\VM.VHDX", 4096, 0).bytes;
    std::copy_n("vhdxfile", 8, vhdx.begin());
    choice = "C:\\IMAGES\\VM.VHDX";
    standin::MessageBoxes.clear();
    pickerItems.clear();
    Menu(IDM_OPEN_IMAGE);
    ASSERT_EQ(standin::MessageBoxes.size(), 1u);
    EXPECT_TRUE(Holds(Errors()[0], "VHDX 格式")) << Errors()[0];
    EXPECT_TRUE(pickerItems.empty());
    EXPECT_EQ(ImageVolumeCount, 0);

    // An NTFS volume image whose sector 0 is gone is the whole file, volume 1;
    // Read backup finds the copy in its last sector.
    auto& ntfs = standin::AddVolume("C:\\IMAGES\\NTFS.IMG", 2048 * 512, 0).bytes;
    CreateBootSector(FsKindNtfs);
    StoreU64(SectorBuffer, 40, 2047);
    const Record copy = Bytes();
    std::copy_n(SectorBuffer, 512, ntfs.end() - 512);
    choice = "C:\\IMAGES\\NTFS.IMG";
    standin::MessageBoxes.clear();
    Menu(IDM_OPEN_IMAGE);
    Menu(IDM_READ_BACKUP);
    EXPECT_TRUE(standin::MessageBoxes.empty()) << Errors()[0];
    EXPECT_EQ(Bytes(), copy);

    // Windows 95 opens and reads the image the same way, with no wide call.
    Use9xFamily(950);
    choice = path;
    standin::MessageBoxes.clear();
    Menu(IDM_OPEN_IMAGE);
    EXPECT_TRUE(standin::MessageBoxes.empty());
    EXPECT_EQ(PickedVolume, ImageVolumeAt(1));
    EXPECT_TRUE(std::equal(SectorBuffer, SectorBuffer + 512, expected.begin() + 1163 * 512));
}
