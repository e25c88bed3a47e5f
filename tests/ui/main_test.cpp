// Start-up and the main dialog's dispatch, run on the Win32 stand-in.
#include "ui_fixture.h"
#include "core/layout.h"
#include "core/recognize.h"
#include "ui/check.h"
#include "ui/about.h"
#include "ui/form.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

using Dispatch = MainWindow;

TEST(StartUp, ProbesTheFamilyAndRunsTheMainDialogUntilExit)
{
    struct Case {
        DWORD platform;
        DWORD build;
        std::uint8_t family;
    };
    const Case cases[] = {{VER_PLATFORM_WIN32_NT, 2600, OsFamilyNt},
                          {VER_PLATFORM_WIN32_WINDOWS, 950, OsFamily9x},
                          {VER_PLATFORM_WIN32s, 0, OsFamilyNt}};
    for (const auto& c : cases) {
        standin::Reset();
        standin::SetVersion(c.platform, c.build);
        bool sawEmptyForm = false;
        standin::OnDialog = [&](HWND dialog, int templateId) {
            ASSERT_EQ(templateId, IDD_MAIN);
            EXPECT_EQ(MainDialog, dialog);
            EXPECT_EQ(FsKind, FsKindNone);
            sawEmptyForm = standin::Text(dialog, IDC_BYTES_PER_SECTOR).empty() &&
                           standin::Items(dialog, IDC_MEDIA).empty() &&
                           standin::Text(dialog, IDC_KIND).empty();
            standin::Send(dialog, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
        };
        const int exitCode = WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, nullptr, 0);
        EXPECT_EQ(exitCode, 0);
        EXPECT_EQ(OsFamily, c.family) << "platform " << c.platform;
        EXPECT_TRUE(sawEmptyForm);
        EXPECT_TRUE(standin::QuitPosted());
        EXPECT_EQ(standin::QuitCode(), 0);
        EXPECT_EQ(standin::CallsStartingWith("GetVersionExA"),
                  std::vector<std::string>{"GetVersionExA(148)"})
            << "the version is asked once, for the window and the disk services alike";
        // The 9x family opens the VWIN32 device before the window; NT opens nothing.
        const auto opens = standin::CallsStartingWith("CreateFileA");
        EXPECT_EQ(opens.size(), c.family == OsFamily9x ? 1u : 0u);
        if (c.family == OsFamily9x) {
            EXPECT_EQ(opens[0].rfind("CreateFileA(\\\\.\\vwin32", 0), 0u) << opens[0];
            EXPECT_LT(std::find(standin::Calls.begin(), standin::Calls.end(), opens[0]),
                      std::find_if(
                          standin::Calls.begin(), standin::Calls.end(),
                          [](const std::string& s) { return s.rfind("DialogBoxParamA", 0) == 0; }));
        }
        EXPECT_EQ(standin::CallsStartingWith("DialogBoxParamA"),
                  std::vector<std::string>{"DialogBoxParamA(102, owner none, 0)"});
        // The common controls are set up before the window; COMDLG32 and
        // SHELL32 wait for their first use.
        const auto first = [](const std::string& prefix) {
            return std::find_if(standin::Calls.begin(), standin::Calls.end(),
                                [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
        };
        EXPECT_EQ(standin::CallsStartingWith("InitCommonControls").size(), 1u);
        EXPECT_LT(first("InitCommonControls"), first("DialogBoxParamA"));
        EXPECT_TRUE(standin::CallsStartingWith("LoadLibraryA").empty());
        EXPECT_EQ(standin::CallsStartingWith("PostMessageA"),
                  std::vector<std::string>{"PostMessageA(16, 0, 0)"}); // Exit posts WM_CLOSE
    }
}

TEST_F(Dispatch, CloseDestroyAndEndSessionQuitWithCodeZero)
{
    for (UINT message : {WM_CLOSE, WM_DESTROY, WM_QUERYENDSESSION}) {
        standin::Reset();
        standin::Attach(window, MainDialogProc, IDD_MAIN);
        EXPECT_EQ(standin::Send(window, message, 0, 0), FALSE);
        EXPECT_TRUE(standin::QuitPosted()) << "message " << message;
        EXPECT_EQ(standin::QuitCode(), 0);
    }
}

TEST_F(Dispatch, OnlyInitDialogAnswersTrue)
{
    EXPECT_EQ(standin::Send(window, WM_INITDIALOG, 0, 0), TRUE);
    EXPECT_EQ(standin::Send(window, WM_COMMAND, MAKEWPARAM(IDM_NEW_FAT12, 0), 0), FALSE);
    EXPECT_EQ(standin::Send(window, WM_APP, 0, 0), FALSE);
}

TEST_F(Dispatch, EnterEscAndNotificationsDoNothing)
{
    const WPARAM ignored[] = {MAKEWPARAM(IDOK, 0),
                              MAKEWPARAM(IDCANCEL, 0),
                              MAKEWPARAM(IDM_NEW_FAT12, 1),
                              MAKEWPARAM(IDM_EXIT, 1),
                              MAKEWPARAM(IDM_NEW_NTFS, CBN_SELCHANGE),
                              MAKEWPARAM(12345, 0)};
    for (WPARAM w : ignored) {
        standin::Send(window, WM_COMMAND, w, 0);
        EXPECT_TRUE(standin::Calls.empty()) << "wParam " << w << " did " << standin::Calls.front();
        EXPECT_EQ(FsKind, FsKindNone);
        EXPECT_FALSE(standin::QuitPosted());
    }
}

TEST_F(Dispatch, CreateCommandsShowTheNewRecordWhateverWasShown)
{
    struct Case {
        int command;
        std::uint8_t kind;
        const char* kindText;
        const char* media;
    };
    const Case cases[] = {{IDM_NEW_FAT12, FsKindFat12, "FAT12", "1.44M+ FD"},
                          {IDM_NEW_FAT16, FsKindFat16, "FAT16", "Hard Disk"},
                          {IDM_NEW_FAT32, FsKindFat32, "FAT32", "Hard Disk"},
                          {IDM_NEW_NTFS, FsKindNtfs, "NTFS", "Hard Disk"},
                          {IDM_FLOPPY_144, FsKindFat12, "FAT12", "1.44M+ FD"}};
    for (const auto& previous : cases) {
        for (const auto& c : cases) {
            Menu(previous.command);
            Type(IDC_HIDDEN_SECTORS, "99"); // an edit that the create command discards
            Menu(c.command);
            EXPECT_EQ(FsKind, c.kind);
            EXPECT_EQ(Box(IDC_KIND), c.kindText);
            EXPECT_EQ(Box(IDC_HIDDEN_SECTORS), "0");
            EXPECT_EQ(Box(IDC_BYTES_PER_SECTOR), "512");
            const int selection = standin::Selection(window, IDC_MEDIA);
            ASSERT_GE(selection, 0);
            EXPECT_EQ(standin::Items(window, IDC_MEDIA)[static_cast<std::size_t>(selection)],
                      c.media);
        }
    }
}

TEST_F(Dispatch, AboutLinksGoToTheShellLoadedOnFirstPress)
{
    // Each button hands its link to SHELL32, which is loaded on the first
    // press; without the library or the function the buttons do nothing and
    // the box still closes.
    const std::string mail =
        std::string("ShellExecuteA(owner, open, ") + MailLink + ", null, null, 0)";
    const std::string donation =
        std::string("ShellExecuteA(owner, open, ") + DonationLink + ", null, null, 0)";
    struct Case {
        const char* missing;
        std::vector<std::string> opened;
    };
    const Case cases[] = {
        {nullptr, {mail, donation, mail}}, {"shell32.dll", {}}, {"ShellExecuteA", {}}};
    for (const auto& c : cases) {
        standin::Reset();
        standin::Attach(window, MainDialogProc, IDD_MAIN);
        if (c.missing != nullptr)
            standin::SetMissing(c.missing);
        standin::OnDialog = [](HWND about, int templateId) {
            ASSERT_EQ(templateId, IDD_ABOUT);
            for (int button : {IDC_EMAIL, IDC_DONATE, IDC_EMAIL})
                standin::Send(about, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            standin::Send(about, WM_CLOSE, 0, 0);
        };
        Menu(IDM_ABOUT);
        const char* label = c.missing ? c.missing : "all present";
        EXPECT_EQ(standin::CallsStartingWith("ShellExecuteA"), c.opened) << label;
        EXPECT_EQ(standin::EndedDialogs, std::vector<std::string>{"103:0"}) << label;
    }
}

TEST_F(Dispatch, FloppyPresetShowsTheWholeFloppy)
{
    Menu(IDM_FLOPPY_144);
    const std::pair<int, const char*> expected[] = {
        {1036, "512"},  {1037, "1"}, {1038, "1"}, {1040, "18"},    {1041, "2"},
        {1042, "2880"}, {1043, "0"}, {1044, "9"}, {1045, "2"},     {1046, "0"},
        {1047, "224"},  {1062, "0"}, {1064, "0"}, {1069, "FAT12"}, {1070, "1440.00 KB"}};
    for (const auto& e : expected)
        EXPECT_EQ(Box(e.first), e.second) << "control " << e.first;
}

// The check captures the form first and shows all it finds in one box: the
// field by its label, its value, the rule; or that there is nothing to find.
TEST_F(Dispatch, CheckShowsWhatItFindsInOneBox)
{
    const Record floppy = TableVolume("fat12");
    ASSERT_EQ(floppy[13], 1) << "the mkfs.fat floppy of the check's case table";
    struct Case {
        const char* sectorsPerCluster;
        UINT type;
        const char* text;
    };
    const Case cases[] = {
        {"1", MB_ICONINFORMATION | MB_OK, "檢查啟動磁區：沒有發現問題。"},
        {"3", MB_ICONWARNING | MB_OK,
         "檢查啟動磁區發現下列問題：\n\n1. 「磁區磁簇」為 3：應為 1 到 128 之間 2 的次方。"
         "可用「工具」功能表的「重建啟動磁區」從磁碟找回正確的值。"},
    };
    for (const Case& c : cases) {
        Load(floppy);
        RecognizeFsKind();
        RecordToForm();
        Type(IDC_SECTORS_PER_CLUSTER, c.sectorsPerCluster);
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u) << c.sectorsPerCluster;
        EXPECT_EQ(standin::MessageBoxes[0].owner, window);
        EXPECT_EQ(standin::MessageBoxes[0].type, c.type);
        EXPECT_EQ(standin::MessageBoxes[0].text, c.text);
        EXPECT_EQ(Bytes()[13], std::stoi(c.sectorsPerCluster)) << "the form is captured first";
    }
}

// Fields without a box get names of their own; every line stays one line.
TEST_F(Dispatch, CheckNamesEveryFieldOfABrokenRecord)
{
    for (std::uint8_t kind : {FsKindGeneric, FsKindFat32, FsKindNtfs}) {
        Record ones;
        ones.fill(0xFF);
        Load(ones);
        FsKind = kind;
        RecordToForm();
        standin::MessageBoxes.clear();
        Menu(IDM_CHECK);
        ASSERT_EQ(standin::MessageBoxes.size(), 1u);
        const std::string& text = standin::MessageBoxes[0].text;
        EXPECT_EQ(text.find("「欄位」"), std::string::npos) << text;
        EXPECT_NE(text.find("「跳躍指令」為 FF FF FF："), std::string::npos) << text;
        EXPECT_NE(text.find("「啟動磁區簽名」為 FF FF："), std::string::npos) << text;
        EXPECT_EQ(text.find("\n\n", text.find("\n\n") + 1), std::string::npos) << text;
    }
}

// A message of more lines than fit ends by counting the rest, short enough for
// the 9x family's ANSI copy, which would otherwise come out empty.
TEST_F(Dispatch, CheckMessageCountsTheLinesThatDoNotFit)
{
    std::vector<Finding> findings(60, Finding{RuleNtfsFatField, BPB_RootEntCnt, 65535, 0});
    for (std::size_t i = 40; i < 60; ++i)
        findings[i] = Finding{RuleBackupDiffers, static_cast<std::uint16_t>(i * 2),
                              static_cast<std::uint64_t>(i * 2), 6};
    const std::wstring text = CheckMessage(findings.data(), 60, FsKindNtfs);
    EXPECT_LT(text.size(), 1300u);
    const std::size_t shown = static_cast<std::size_t>(std::count(text.begin(), text.end(), L'\n') -
                                                       2); // after the heading and its blank line
    ASSERT_LT(shown, 40u);
    const std::wstring rest = L"……另有 " + std::to_wstring(40 - shown + 1) + L" 項未列出。";
    EXPECT_EQ(text.substr(text.size() - rest.size()), rest);

    OsFamily = OsFamily9x;
    standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, 950); // its wide calls fail
    Load(Record{});
    FsKind = FsKindNtfs;
    standin::MessageBoxes.clear();
    Menu(IDM_CHECK);
    ASSERT_EQ(standin::MessageBoxes.size(), 1u);
    EXPECT_FALSE(standin::MessageBoxes[0].wide);
    EXPECT_NE(standin::MessageBoxes[0].text.find("「OEM 名稱」"), std::string::npos);
}

} // namespace
