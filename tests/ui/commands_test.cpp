// The disk and file commands end to end on the stand-in: the drive picker, the
// volume device (NT family), the VWIN32 device (9x family) and image files.
#include "standin_disk.h"
#include "ui_fixture.h"
#include "disk/legacy.h"
#include "image/image_file.h"
#include "ui/form.h"
#include "ui/picker.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

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
            case PickerAction::Cancel: standin::Send(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); break;
            case PickerAction::CloseBox: standin::Send(dialog, WM_CLOSE, 0, 0); break;
            case PickerAction::Ignore: break;
            }
        };
    }

    // The 9x family as start-up leaves it, with the memory the device may address.
    void Use9xFamily(DWORD build)
    {
        OsFamily = OsFamily9x;
        standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, build);
        PrepareLegacyDiskIo();
        standin::MapMemory("record", SectorBuffer, SectorBufferSize);
        standin::MapMemory("packet", &Packet, sizeof Packet);
        standin::MapMemory("probe", LegacyProbeBuffer, sizeof LegacyProbeBuffer);
    }

    // A 1.44 MB volume whose sector 0 is a floppy boot sector with 7 hidden sectors.
    std::vector<std::uint8_t>& AddFloppy(const std::string& name)
    {
        standin::Volume& v = standin::AddVolume(name, 1474560, 0xE5);
        ApplyFloppyPreset();
        StoreU32(SectorBuffer, 28, 7);
        std::copy(SectorBuffer, SectorBuffer + 512, v.bytes.begin());
        std::memset(SectorBuffer, 0, 512);
        FsKind = FsKindNone;
        return v.bytes;
    }

    PickerAction action = PickerAction::Ok;
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
        EXPECT_EQ(pickerItems, (std::vector<std::string>{"Disk A:", "Disk C:"})) << "build " << build;
    }
}

TEST_F(Commands, ChoosingDriveCGivesDriveNumber3)
{
    standin::AddVolume("\\\\.\\A:", 4096);
    standin::AddVolume("\\\\.\\C:", 4096);
    chosenItem = "Disk C:";
    EXPECT_EQ(PickDrive(), 3);
    action = PickerAction::Cancel;
    EXPECT_EQ(PickDrive(), 0);
    action = PickerAction::Ok;
    chosenItem = "Disk A:";
    EXPECT_EQ(PickDrive(), 1);
    action = PickerAction::CloseBox;
    EXPECT_EQ(PickDrive(), 0) << "the close box chooses nothing, whatever was chosen before";
}

TEST_F(Commands, PickerWithNoDrivesGivesNothingForOkOrCancel)
{
    for (PickerAction a : {PickerAction::Ok, PickerAction::Cancel}) {
        action = a;
        EXPECT_EQ(PickDrive(), 0);
        EXPECT_TRUE(pickerItems.empty());
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
    };
    const Case cases[] = {
        {"open fails", [] { standin::FailNext("CreateFileA", ERROR_ACCESS_DENIED); }},
        {"seek fails", [] { standin::FailNext("SetFilePointer", ERROR_NEGATIVE_SEEK); }},
        {"read fails", [] { standin::FailNext("ReadFile", ERROR_NOT_READY); }},
        {"short read", [] { standin::ShortNext("ReadFile", 100); }},
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

TEST_F(Commands, WriteToDiskCapturesThenWritesSectorZeroOnly)
{
    for (bool nt : {true, false}) {
        standin::Reset();
        SetUp();
        auto expected = AddFloppy("\\\\.\\A:");
        if (!nt)
            Use9xFamily(2222);
        Menu(IDM_READ_DISK);
        Type(IDC_HIDDEN_SECTORS, "63");
        Menu(IDM_WRITE_DISK);
        StoreU32(expected.data(), 28, 63);
        EXPECT_TRUE(standin::FindVolume("\\\\.\\A:")->bytes == expected) << "nt " << nt;
        EXPECT_EQ(standin::LockLevel(1), 0) << "the volume is unlocked again";
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
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static std::vector<std::uint8_t> Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

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

TEST_F(Files, ShortOrMissingFilesImportNothing)
{
    std::vector<std::uint8_t> sector(512, 0);
    std::memcpy(sector.data() + 54, "FAT16   ", 8);
    const std::string cases[] = {
        Write("empty.img", {}),
        Write("short.img", std::vector<std::uint8_t>(sector.begin(), sector.begin() + 300)),
        Write("511.img", std::vector<std::uint8_t>(sector.begin(), sector.begin() + 511)),
        dir + "/missing.img",
        dir,
    };
    for (const auto& path : cases) {
        Menu(IDM_NEW_NTFS);
        Type(IDC_HIDDEN_SECTORS, "77");
        const Record before = Bytes();
        choice = path;
        Menu(IDM_IMPORT);
        EXPECT_EQ(Bytes(), before) << path;
        EXPECT_EQ(FsKind, FsKindNtfs) << path;
        EXPECT_EQ(Box(IDC_HIDDEN_SECTORS), "77") << path;
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
    EXPECT_EQ(SectorBuffer[512 + 511], 0x11) << "read through the spare half, not past it";
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

TEST_F(Files, ExportReplacesAnExistingFile)
{
    choice = Write("old.img", std::vector<std::uint8_t>(4096, 0x77));
    Menu(IDM_FLOPPY_144);
    Menu(IDM_EXPORT);
    const auto written = Read(choice);
    ASSERT_EQ(written.size(), 512u);
    EXPECT_EQ(written[510], 0x55);
    EXPECT_EQ(written[511], 0xAA);
}

} // namespace
