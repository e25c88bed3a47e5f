// Fault injection over the disk and file commands. Each command is first run with
// nothing failing and every question answered Yes, which counts its calls of
// every Win32 and C library function and its message boxes (its steps). Then,
// for every function, every step n and every outcome, the command runs again
// from the same starting state with that one call failing or falling short (or
// that box answered otherwise), and the rules below are checked:
//  - a read that fails or falls short loads nothing: the record (bytes 0..511),
//    FsKind and the form stay exactly as they were; a read that works loads the
//    chosen drive's sector 0 or the chosen file's first 512 bytes and shows them;
//  - a write reaches only the drive or file chosen in that command, never after
//    a failed open or positioning, and the record keeps the captured form;
//  - every handle the command opens is closed exactly once, no invalid or closed
//    handle is used, and only the VWIN32 device handle stays open; every FILE*
//    opened is closed once;
//  - where the fault leaves the transfer itself alone, the bytes arrive in full;
//  - the picker alone (cancelled) changes nothing and gives no drive, and only
//    the drive whose probe failed may leave or join its offer;
//  - a file dialog that gives no file keeps the path the next one starts from;
//  - a write reaches a drive only when an undo file holding the drive's old
//    sector 0 was saved (beside the exe in "backup", or in the temporary
//    folder), Yes was answered, and the read after the answer still gave those
//    bytes; an undo file is saved only for the question and never left partial;
//  - an export that fails leaves the old file byte-identical and no new "kel"
//    file behind; one that works leaves the record in the file;
//  - a command that fails shows exactly one error box (a cancelled dialog or a
//    No shows none), besides the question it asked; every box is owned by the
//    main dialog and no volume is open while one waits.
// The C library calls are steered through c_faults.h; the Win32 ones through the
// stand-in's scripted outcomes. Each command prints a table of function, steps,
// outcomes and cases held.
#include "c_faults.h"
#include "standin.h"
#include "standin_disk.h"
#include "winioctl.h"
#include "core/recognize.h"
#include "core/record.h"
#include "core/template.h"
#include "disk/legacy.h"
#include "disk/sector.h"
#include "image/image_file.h"
#include "resources/resource.h"
#include "ui/app.h"
#include "ui/commands.h"
#include "ui/form.h"
#include "ui/picker.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Record = std::array<std::uint8_t, 512>;

// --- The commands under test ---

enum class Family { Nt, Legacy, LegacyExtended };
enum class Action { Pick, Read, Write, Import, Export };

struct Command {
    const char* name;
    Family family;
    Action action;
};

const Command Commands[] = {
    {"ReadNt", Family::Nt, Action::Read},
    {"WriteNt", Family::Nt, Action::Write},
    {"Read9xInt25", Family::Legacy, Action::Read},
    {"Write9xInt26", Family::Legacy, Action::Write},
    {"Read9x7305", Family::LegacyExtended, Action::Read},
    {"Write9x7305", Family::LegacyExtended, Action::Write},
    {"Import", Family::Nt, Action::Import},
    {"Export", Family::Nt, Action::Export},
    {"Export9x", Family::Legacy, Action::Export}, // target renamed aside, not replaced
    {"PickerNt", Family::Nt, Action::Pick},
    {"Picker9xInt25", Family::Legacy, Action::Pick},
    {"Picker9x7305", Family::LegacyExtended, Action::Pick},
};

bool IsLoad(Action a)
{
    return a == Action::Read || a == Action::Import;
}
bool IsSave(Action a)
{
    return a == Action::Write || a == Action::Export;
}

// --- The functions whose calls are made to fail, and how ---

enum Function {
    CreateFileA_,
    SetFilePointer_,
    ReadFile_,
    WriteFile_,
    CloseHandle_,
    DeviceIoControl_,
    CreateDirectoryA_,
    GetTempFileNameA_,
    MoveFileA_,
    MoveFileExA_,
    DeleteFileA_,
    GetOpenFileNameA_,
    MessageBox_, // the answer the user gives, A or W
    Fopen_,
    Fread_,
    Fwrite_,
    Fclose_,
    FunctionCount
};

const char* const FunctionNames[FunctionCount] = {
    "CreateFileA",     "SetFilePointer",   "ReadFile",         "WriteFile", "CloseHandle",
    "DeviceIoControl", "CreateDirectoryA", "GetTempFileNameA", "MoveFileA", "MoveFileExA",
    "DeleteFileA",     "GetOpenFileNameA", "MessageBox",       "fopen",     "fread",
    "fwrite",          "fclose",
};

// The Win32 calls the stand-in fails by script.
bool IsScripted(int f)
{
    return f <= DeleteFileA_;
}
// How the stand-in's log names a call of f.
std::string LogPrefix(int f)
{
    return f == MessageBox_ ? "MessageBox" : std::string(FunctionNames[f]) + "(";
}
bool IsCLibrary(int f)
{
    return f >= Fopen_;
}
cfaults::Function CFunction(int f)
{
    return static_cast<cfaults::Function>(f - Fopen_);
}

enum class Kind { Fail, Short, Carry, Cancel, DialogFails, Answer, DriveChanged };

struct Outcome {
    Kind kind;
    DWORD value; // the error, the byte or item count, AX for a carry, or the answer
    const char* label;
    bool onward = false; // every later call of the function fails the same way
};

std::vector<Outcome> OutcomesOf(int f, Action action)
{
    switch (f) {
    case CreateFileA_:
        return {{Kind::Fail, ERROR_ACCESS_DENIED, "fails, access denied"},
                {Kind::Fail, ERROR_NOT_READY, "fails, not ready"}};
    case SetFilePointer_: return {{Kind::Fail, ERROR_INVALID_PARAMETER, "fails"}};
    case ReadFile_:
        return {{Kind::Fail, ERROR_NOT_READY, "fails, not ready"},
                {Kind::Fail, ERROR_ACCESS_DENIED, "fails, access denied"},
                {Kind::Short, 0, "reads 0 bytes"},
                {Kind::Short, 1, "reads 1 byte"},
                {Kind::Short, 256, "reads 256 bytes"},
                {Kind::Short, 511, "reads 511 bytes"}};
    case WriteFile_:
        return {{Kind::Fail, ERROR_WRITE_PROTECT, "fails, write protected"},
                {Kind::Short, 0, "writes 0 bytes"},
                {Kind::Short, 256, "writes 256 bytes"},
                {Kind::Short, 511, "writes 511 bytes"}};
    case CloseHandle_: return {{Kind::Fail, ERROR_INVALID_HANDLE, "fails"}};
    case DeviceIoControl_:
        return {{Kind::Fail, ERROR_INVALID_FUNCTION, "call fails"},
                {Kind::Carry, 0x0015, "carry set, not ready"}};
    case CreateDirectoryA_:
        // A file named "backup" makes the name taken while no folder is there.
        return {{Kind::Fail, ERROR_ACCESS_DENIED, "fails, access denied"},
                {Kind::Fail, ERROR_ALREADY_EXISTS, "fails, name taken"}};
    case GetTempFileNameA_:
    case MoveFileA_:
    case MoveFileExA_:
    case DeleteFileA_: return {{Kind::Fail, ERROR_ACCESS_DENIED, "fails, access denied"}};
    case GetOpenFileNameA_:
        return {{Kind::Cancel, 0, "cancelled"}, {Kind::DialogFails, 0, "fails, buffer too small"}};
    case MessageBox_:
        if (action == Action::Write)
            return {{Kind::Answer, IDNO, "answered No"},
                    {Kind::Answer, 0, "fails, gives 0"},
                    {Kind::DriveChanged, IDYES, "Yes after the drive changed"}};
        return {{Kind::Answer, IDNO, "answered No"}, {Kind::Answer, 0, "fails, gives 0"}};
    case Fopen_: return {{Kind::Fail, 0, "fails"}, {Kind::Fail, 0, "fails, and all later", true}};
    case Fread_:
        return {{Kind::Short, 0, "reads 0 items"},
                {Kind::Short, 1, "reads 1 item"},
                {Kind::Short, 256, "reads 256 items"},
                {Kind::Short, 511, "reads 511 items"}};
    case Fwrite_:
        return {{Kind::Short, 0, "writes 0 items"},
                {Kind::Short, 256, "writes 256 items"},
                {Kind::Short, 511, "writes 511 items"},
                {Kind::Short, 0, "writes 0 items, and all later", true}};
    case Fclose_: return {{Kind::Fail, 0, "fails, buffered bytes lost"}};
    default: return {};
    }
}

struct Fault {
    int function;
    int step; // 1-based call of the function within the command
    Outcome outcome;
};

// --- The world each run starts from ---

constexpr std::size_t VolumeSize = std::size_t{64} * 1024;
const char* const DriveA = "\\\\.\\A:";
const char* const DriveC = "\\\\.\\C:";
const char* const DriveE = "\\\\.\\E:"; // removable, no medium
const char* const DriveF = "\\\\.\\F:"; // probed after a "not ready"
const char* const TargetItem = "Disk C:";
const char* const ImportName = "import.img";
const char* const ExportName = "target.img";
const char* const BystanderName = "other.img";
constexpr std::size_t ChangedByte = 3; // what changes on a drive while the question waits
constexpr UINT QuestionBox = MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2;
constexpr UINT ErrorBox = MB_ICONERROR | MB_OK;

Record SectorA, SectorC, SectorF, ImportSector; // built once from the template

std::string TempDir;

void BuildSectors()
{
    ApplyFloppyPreset();
    StoreU32(SectorBuffer, 28, 7); // hidden sectors
    std::memcpy(SectorA.data(), SectorBuffer, 512);
    CreateBootSector(FsKindFat32);
    StoreU32(SectorBuffer, 67, 0x12345678); // volume ID
    std::memcpy(SectorC.data(), SectorBuffer, 512);
    CreateBootSector(FsKindNtfs);
    std::memcpy(SectorF.data(), SectorBuffer, 512);
    CreateBootSector(FsKindFat16);
    StoreU32(SectorBuffer, 39, 0xCAFEF00D);
    std::memcpy(ImportSector.data(), SectorBuffer, 512);
}

void AddVolume(const char* name, const Record& sector0, std::uint8_t fill)
{
    standin::Volume& v = standin::AddVolume(name, VolumeSize, fill);
    std::copy(sector0.begin(), sector0.end(), v.bytes.begin());
}

std::string PathOf(const std::string& name)
{
    return TempDir + "/" + name;
}

void WriteWholeFile(const std::string& name, const Bytes& bytes)
{
    std::ofstream(PathOf(name), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The files in folder by name, each with prefix before its name.
std::map<std::string, Bytes> FilesIn(const std::string& folder, const std::string& prefix = "")
{
    std::map<std::string, Bytes> files;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                files[prefix + entry->d_name] = ReadWholeFile(folder + "/" + entry->d_name);
        closedir(dir);
    }
    return files;
}

// Where undo files may go: "backup" beside the exe, else the temporary folder.
std::map<std::string, Bytes> UndoFiles()
{
    auto files = FilesIn(standin::AppFolder() + "backup", "backup/");
    const auto temp = FilesIn(standin::TempFolder(), "temp/");
    files.insert(temp.begin(), temp.end());
    return files;
}

void WriteStartingFiles()
{
    for (const auto& file : FilesIn(TempDir))
        unlink(PathOf(file.first).c_str());
    Bytes import(ImportSector.begin(), ImportSector.end());
    import.resize(600, 0x99); // longer than a sector: only 512 bytes are taken
    WriteWholeFile(ImportName, import);
    WriteWholeFile(ExportName, Bytes(4096, 0x77));
    WriteWholeFile(BystanderName, Bytes(512, 0x3C));
}

std::map<std::string, Bytes> AllVolumes()
{
    std::map<std::string, Bytes> volumes;
    for (const char* name : {DriveA, DriveC, DriveE, DriveF})
        volumes[name] = standin::FindVolume(name)->bytes;
    return volumes;
}

// --- The form, every control the display sets ---

const int FormControls[] = {IDC_BYTES_PER_SECTOR,
                            IDC_SECTORS_PER_CLUSTER,
                            IDC_RESERVED_SECTORS,
                            IDC_SECTORS_PER_TRACK,
                            IDC_HEADS,
                            IDC_TOTAL_SECTORS,
                            IDC_SERIAL,
                            IDC_RIGHT_ROW2,
                            IDC_RIGHT_ROW3,
                            IDC_HIDDEN_SECTORS,
                            IDC_RIGHT_ROW5,
                            IDC_RIGHT_ROW6,
                            IDC_RIGHT_ROW7,
                            IDC_LBL_BYTES_PER_SECTOR,
                            IDC_LBL_SECTORS_PER_CLUSTER,
                            IDC_LBL_RESERVED_SECTORS,
                            IDC_LBL_MEDIA,
                            IDC_LBL_SECTORS_PER_TRACK,
                            IDC_LBL_HEADS,
                            IDC_LBL_TOTAL_SECTORS,
                            IDC_LBL_SERIAL,
                            IDC_LBL_RIGHT_ROW2,
                            IDC_LBL_RIGHT_ROW3,
                            IDC_LBL_HIDDEN_SECTORS,
                            IDC_LBL_RIGHT_ROW5,
                            IDC_LBL_RIGHT_ROW6,
                            IDC_LBL_RIGHT_ROW7,
                            IDC_KIND,
                            IDC_SIZE_TEXT};

struct Form {
    std::vector<std::string> texts;
    std::vector<std::string> media;
    int mediaSelection = -1;
    bool operator==(const Form& o) const
    {
        return texts == o.texts && media == o.media && mediaSelection == o.mediaSelection;
    }
};

Form FormOf(HWND window)
{
    Form form;
    for (int id : FormControls)
        form.texts.push_back(standin::Text(window, id));
    form.media = standin::Items(window, IDC_MEDIA);
    form.mediaSelection = standin::Selection(window, IDC_MEDIA);
    return form;
}

std::string FormDifferences(const Form& expected, const Form& actual)
{
    std::string out;
    for (std::size_t i = 0; i < expected.texts.size(); ++i)
        if (expected.texts[i] != actual.texts[i])
            out += " control " + std::to_string(FormControls[i]) + " expected \"" +
                   expected.texts[i] + "\" got \"" + actual.texts[i] + "\";";
    if (expected.media != actual.media)
        out += " media list differs;";
    if (expected.mediaSelection != actual.mediaSelection)
        out += " media selection expected " + std::to_string(expected.mediaSelection) + " got " +
               std::to_string(actual.mediaSelection) + ";";
    return out;
}

Record RecordNow()
{
    Record r;
    std::memcpy(r.data(), SectorBuffer, r.size());
    return r;
}

std::string RecordDifferences(const Record& expected, const Record& actual)
{
    std::string out;
    int shown = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != actual[i] && shown++ < 8)
            out += " [" + std::to_string(i) + "] expected " + std::to_string(expected[i]) +
                   " got " + std::to_string(actual[i]) + ";";
    return out;
}

// --- One run of a command ---

struct Observed {
    Record recordBefore{}, recordAfter{};
    std::uint8_t kindBefore = 0, kindAfter = 0;
    Form formBefore, formAfter;
    bool formShowsRecord = false;  // redrawing the record now changes nothing
    std::uint8_t kindOfRecord = 0; // what recognition gives for the record now
    std::map<std::string, Bytes> volumesBefore, volumesAfter;
    std::map<std::string, Bytes> filesBefore, filesAfter;
    std::map<std::string, Bytes> undoFiles; // by "backup/name" or "temp/name"
    std::string changedVolume;              // changed while the question waited
    HWND window = nullptr;                  // the main dialog
    std::vector<standin::MessageBoxCall> boxes;
    std::vector<int> answers; // the user's, one per box
    int openAtBoxes = 0;      // the most handles open while a box waited
    int callCount[FunctionCount] = {};
    int probeCalls[FunctionCount] = {}; // made while the picker filled its list
    std::vector<std::string> calls;     // the stand-in's log of the command
    std::vector<std::string> listed;    // the picker's items
    std::string chosen;                 // the item the user's OK took, "" for none
    std::uint8_t driveNumber = 0;
    std::string imagePathBefore, imagePathAfter;
    std::vector<standin::Exchange> exchanges;
    std::vector<std::string> handleProblems;
    standin::HandleStats handles;
    cfaults::Stats streams;
    int locked = 0; // drives left locked
};

int CountCalls(int f)
{
    return static_cast<int>(standin::CallsStartingWith(LogPrefix(f)).size());
}

// Where the step-th call of f stands in a command's log; -1 when it is not there
// (the C library's calls are not logged).
int At(const std::vector<std::string>& calls, int f, int step)
{
    int seen = 0;
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(LogPrefix(f), 0) == 0 && ++seen == step)
            return static_cast<int>(i);
    return -1;
}

// Each handle CreateFileA gave out during the command must see one CloseHandle,
// and no other handle may be closed.
std::vector<std::string> HandleProblems()
{
    std::map<std::string, int> closes;
    std::set<std::string> opened;
    for (const auto& call : standin::Calls) {
        const std::size_t arrow = call.rfind(" -> ");
        if (call.rfind("CreateFileA(", 0) == 0 && arrow != std::string::npos &&
            call.substr(arrow + 4) != "INVALID")
            opened.insert(call.substr(arrow + 4));
        if (call.rfind("CloseHandle(", 0) == 0)
            ++closes[call.substr(12, call.size() - 13)];
    }
    std::vector<std::string> problems;
    for (const auto& h : opened)
        if (closes[h] != 1)
            problems.push_back(h + " closed " + std::to_string(closes[h]) + " times");
    for (const auto& c : closes)
        if (opened.count(c.first) == 0)
            problems.push_back("closed " + c.first + ", which this command did not open");
    return problems;
}

void ArmWin32(const Fault& f)
{
    const std::string name = FunctionNames[f.function];
    for (int i = 1; i < f.step; ++i)
        standin::PassNext(name);
    switch (f.outcome.kind) {
    case Kind::Fail: standin::FailNext(name, f.outcome.value); break;
    case Kind::Short: standin::ShortNext(name, f.outcome.value); break;
    case Kind::Carry: standin::CarryNext(static_cast<WORD>(f.outcome.value)); break;
    default: break;
    }
}

Observed Execute(const Command& command, const Fault* fault)
{
    Observed run;
    standin::Reset();
    // The process-wide state as start-up leaves it.
    std::memset(SectorBuffer, 0, SectorBufferSize);
    FsKind = FsKindNone;
    PickedVolume = 1; // an earlier command chose A:
    // The path an earlier file command chose; the dialog starts from it.
    std::snprintf(ImagePath, ImagePathSize, "%s", PathOf("earlier.img").c_str());
    UseExtendedDiskIo = 0;
    Registers = {};
    Packet = {};
    Vwin32Handle = INVALID_HANDLE_VALUE;

    AddVolume(DriveA, SectorA, 0xA1);
    AddVolume(DriveC, SectorC, 0xC3);
    standin::AddVolume(DriveE, 0).noMedium = true;
    AddVolume(DriveF, SectorF, 0x67);
    WriteStartingFiles();

    OsFamily = command.family == Family::Nt ? OsFamilyNt : OsFamily9x;
    if (command.family != Family::Nt) {
        standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS,
                            command.family == Family::LegacyExtended ? 2222 : 950);
    }
    PrepareDiskAccess();
    if (command.family != Family::Nt) {
        standin::MapMemory("record", SectorBuffer, SectorBufferSize);
        standin::MapMemory("staging", StagedSector, sizeof StagedSector);
        standin::MapMemory("packet", &Packet, sizeof Packet);
        standin::MapMemory("probe", LegacyProbeBuffer, sizeof LegacyProbeBuffer);
    }

    HWND window = standin::NewWindow();
    standin::Attach(window, MainDialogProc, IDD_MAIN);
    standin::Send(window, WM_INITDIALOG, 0, 0);
    auto menu = [window](int id) { standin::Send(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); };

    // A shown record with an edit not yet captured: a load must not lose the edit
    // unless it replaces the record; a save captures it.
    if (IsSave(command.action)) {
        menu(IDM_NEW_FAT16);
        standin::SetText(window, IDC_HIDDEN_SECTORS, "63");
        standin::SetText(window, IDC_HEADS, "16");
    } else {
        menu(IDM_NEW_NTFS);
        standin::SetText(window, IDC_HIDDEN_SECTORS, "1234");
    }

    run.imagePathBefore = ImagePath;
    run.recordBefore = RecordNow();
    run.kindBefore = FsKind;
    run.formBefore = FormOf(window);
    run.volumesBefore = AllVolumes();
    run.filesBefore = FilesIn(TempDir);
    run.window = window;

    standin::OnDialog = [&run, &command](HWND dialog, int templateId) {
        if (templateId != IDD_PICKER)
            return;
        for (int f = 0; f < FunctionCount; ++f)
            if (IsScripted(f))
                run.probeCalls[f] = CountCalls(f);
        run.listed = standin::Items(dialog, IDC_DRIVES);
        const auto target = std::find(run.listed.begin(), run.listed.end(), TargetItem);
        if (target != run.listed.end())
            standin::Select(dialog, IDC_DRIVES, static_cast<int>(target - run.listed.begin()));
        if (command.action == Action::Pick) {
            standin::Send(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return;
        }
        // The user takes the target when it is offered, else whatever is selected.
        const int selected = standin::Selection(dialog, IDC_DRIVES);
        if (selected >= 0)
            run.chosen = run.listed[static_cast<std::size_t>(selected)];
        standin::Send(dialog, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
    };
    int dialogs = 0;
    standin::OnOpenFileName = [&](OPENFILENAMEA* dialog) -> BOOL {
        ++dialogs;
        if (fault && fault->function == GetOpenFileNameA_ && fault->step == dialogs) {
            if (fault->outcome.kind == Kind::Cancel)
                return FALSE;
            // A path longer than the buffer: the dialog fails and leaves the size
            // it needed in the buffer's first two bytes.
            return standin::ChooseFile(dialog, PathOf(std::string(300, 'x')));
        }
        return standin::ChooseFile(
            dialog, PathOf(command.action == Action::Import ? ImportName : ExportName));
    };

    // The user answers Yes and OK; a drive may change while the question waits.
    int boxes = 0;
    standin::OnMessageBox = [&](const standin::MessageBoxCall& box) {
        run.openAtBoxes = std::max(run.openAtBoxes, standin::Handles().open());
        int answer = (box.type & MB_YESNO) == MB_YESNO ? IDYES : IDOK;
        if (fault && fault->function == MessageBox_ && fault->step == ++boxes) {
            answer = static_cast<int>(fault->outcome.value);
            if (fault->outcome.kind == Kind::DriveChanged && !run.chosen.empty()) {
                run.changedVolume = standin::VolumeName(run.chosen[5] - '@');
                standin::FindVolume(run.changedVolume)->bytes[ChangedByte] ^= 0xFF;
            }
        }
        run.answers.push_back(answer);
        return answer;
    };

    standin::Calls.clear();
    cfaults::Begin();
    if (fault && IsScripted(fault->function))
        ArmWin32(*fault);
    if (fault && IsCLibrary(fault->function))
        cfaults::Arm(CFunction(fault->function), fault->step,
                     fault->outcome.kind == Kind::Short ? cfaults::Mode::Short
                                                        : cfaults::Mode::Fail,
                     fault->outcome.value, fault->outcome.onward);
    switch (command.action) {
    case Action::Pick: PickVolume(); break;
    case Action::Read: menu(IDM_READ_DISK); break;
    case Action::Write: menu(IDM_WRITE_DISK); break;
    case Action::Import: menu(IDM_IMPORT); break;
    case Action::Export: menu(IDM_EXPORT); break;
    }
    cfaults::End();

    for (int f = 0; f < FunctionCount; ++f)
        run.callCount[f] = IsCLibrary(f)            ? cfaults::Get().calls[CFunction(f)]
                           : f == GetOpenFileNameA_ ? dialogs
                                                    : CountCalls(f);
    run.streams = cfaults::Get();
    run.handles = standin::Handles();
    run.handleProblems = HandleProblems();
    run.calls = standin::Calls;
    run.exchanges = standin::Exchanges;
    run.driveNumber = PickedVolume;
    for (int drive = 1; drive <= 26; ++drive)
        run.locked += standin::LockLevel(drive) != 0;

    run.imagePathAfter = ImagePath;
    run.recordAfter = RecordNow();
    run.kindAfter = FsKind;
    run.formAfter = FormOf(window);
    run.volumesAfter = AllVolumes();
    run.filesAfter = FilesIn(TempDir);
    run.undoFiles = UndoFiles();
    run.boxes = standin::MessageBoxes;
    // Does the form show the record? Recognise and redraw it again and compare.
    RecognizeFsKind();
    run.kindOfRecord = FsKind;
    FsKind = run.kindAfter;
    RecordToForm();
    run.formShowsRecord = FormOf(window) == run.formAfter && FsKind == run.kindAfter;
    return run;
}

// --- What each case must give ---

enum class Result { Unchanged, Complete, Partial };

struct Expectation {
    Result result;
    std::size_t bytes = 0; // for Partial: how many bytes reach the drive or file
    bool lockStays = false;
    bool transferStopped = false; // nothing may move after the failed step
    bool asked = false;           // the Yes/No question is shown
    bool reported = false;        // one error box is shown
    bool asideStays = false;      // the old file may stay under a "kel" name
};

bool IsWriteExchange(const standin::Exchange& e)
{
    return e.code == VWIN32_DIOC_DOS_INT26 ||
           (e.code == VWIN32_DIOC_DOS_DRIVEINFO && (e.esi & 1) != 0);
}

// A lock, an unlock or the volume's geometry: no sector moves.
// The lock, dismount and unlock of a write on the NT family.
bool IsVolumeLockRequest(const standin::Exchange& e)
{
    return e.code == FSCTL_LOCK_VOLUME || e.code == FSCTL_DISMOUNT_VOLUME ||
           e.code == FSCTL_UNLOCK_VOLUME;
}

bool IsControlRequest(const standin::Exchange& e)
{
    return e.code == VWIN32_DIOC_DOS_IOCTL || e.code == IOCTL_DISK_GET_DRIVE_GEOMETRY ||
           IsVolumeLockRequest(e);
}

bool IsStandardUnlock(const standin::Exchange& e)
{
    return e.code == VWIN32_DIOC_DOS_IOCTL && (e.ecx & 0xFFFF) == 0x086A;
}

// The outcome a fault must lead to, judged from where the failing call falls in
// the command as the run without faults made it.
Expectation Expect(const Command& command, const Observed& baseline, const Fault* fault,
                   const Observed& run)
{
    if (command.action == Action::Pick)
        return {Result::Unchanged};
    Expectation done{Result::Complete}, failed{Result::Unchanged};
    done.asked = IsSave(command.action);
    failed.reported = true;
    if (!fault)
        return done;
    const int f = fault->function;
    const Outcome& o = fault->outcome;
    const int at = At(baseline.calls, f, fault->step); // -1 for the C library
    if (f == MessageBox_) { // the question: anything but Yes leaves all as it was
        Expectation x{Result::Unchanged};
        x.asked = true;
        x.reported = o.kind == Kind::DriveChanged;
        return x;
    }
    if (f == GetOpenFileNameA_) {
        failed.reported = o.kind != Kind::Cancel; // a dialog that failed was not cancelled
        return failed;
    }
    if (command.action == Action::Import)
        return f == Fclose_ ? done : failed; // the bytes were in before the close
    if (command.action == Action::Export) {
        // Once the new file took the old one's place, a failure to delete the old
        // one (kept aside on 9x) leaves it under its "kel" name.
        int placed = -1;
        for (std::size_t i = 0; i < baseline.calls.size(); ++i)
            if (baseline.calls[i].rfind("MoveFile", 0) == 0)
                placed = static_cast<int>(i);
        done.asideStays = true;
        failed.asked = f != CreateFileA_; // the target's size, asked before the question
        if (f == CloseHandle_)
            return done; // the handle that asked the size: the question and the export go on
        return at > placed ? done : failed;
    }
    // A disk command: the chosen drive must exist and hold a medium.
    const auto chosen = standin::VolumeName(run.chosen.empty() ? 0 : run.chosen[5] - '@');
    if (run.chosen.empty() || run.volumesBefore.count(chosen) == 0 ||
        run.volumesBefore.at(chosen).empty())
        return failed;
    if (fault->step <= baseline.probeCalls[f])
        return done; // a probe failed: the picker offered less or more
    failed.asked = command.action == Action::Write && at > At(baseline.calls, MessageBox_, 1);
    switch (f) {
    case CreateFileA_:
    case SetFilePointer_: failed.transferStopped = true; return failed;
    case ReadFile_: return failed;
    case WriteFile_:
        if (o.kind == Kind::Short) {
            failed.result = Result::Partial;
            failed.bytes = o.value;
        }
        return failed;
    case DeviceIoControl_: {
        const auto& e = baseline.exchanges[static_cast<std::size_t>(fault->step - 1)];
        if (e.code == IOCTL_DISK_GET_DRIVE_GEOMETRY)
            return done; // the sector size is then found by trying
        // A lock refused once is tried again; a refused dismount or unlock
        // leaves the write standing, and closing the handle unlocks.
        if (IsVolumeLockRequest(e))
            return done;
        if (e.code != VWIN32_DIOC_DOS_IOCTL)
            return failed; // a read or the write
        // A lock refused in every category still lets the write through; a
        // refused unlock with no other category to try leaves the lock.
        done.lockStays = IsStandardUnlock(e);
        return done;
    }
    case Fopen_:
    case Fwrite_:
    case Fclose_:
        // An undo file that could not be saved beside the exe goes to the
        // temporary folder; only a failure there too stops the write.
        return o.onward ? failed : done;
    default: return done; // a failed close, or no "backup" folder
    }
}

std::string VolumeDifference(const Bytes& expected, const Bytes& actual)
{
    if (expected.size() != actual.size())
        return "size " + std::to_string(actual.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != actual[i])
            return "first difference at byte " + std::to_string(i);
    return "";
}

std::string Join(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (const auto& item : items)
        out += (out.size() > 1 ? ", " : "") + item;
    return out + "]";
}

std::string BoxesText(const std::vector<UINT>& types)
{
    std::vector<std::string> names;
    names.reserve(types.size());
    for (UINT type : types)
        names.push_back(type == QuestionBox ? "question"
                        : type == ErrorBox  ? "error"
                                            : "type " + std::to_string(type));
    return Join(names);
}

// The chosen drive's sector 0 before the command.
Bytes OldSector0(const Observed& run)
{
    const Bytes& drive = run.volumesBefore.at(standin::VolumeName(run.chosen[5] - '@'));
    return Bytes(drive.begin(), drive.begin() + 512);
}

// The drive letter whose probe made the failing call.
char FaultedDrive(const Fault& fault, const Observed& run)
{
    if (fault.function == DeviceIoControl_) {
        const auto& e = run.exchanges[static_cast<std::size_t>(fault.step - 1)];
        const DWORD drive = e.code == VWIN32_DIOC_DOS_INT25 ? (e.eax & 0xFF) + 1 : e.edx & 0xFF;
        return static_cast<char>('@' + drive);
    }
    const std::string prefix = std::string(FunctionNames[fault.function]) + "(";
    int seen = 0;
    for (const auto& call : run.calls) {
        if (call.rfind(prefix, 0) != 0 || ++seen != fault.step)
            continue;
        if (fault.function == CreateFileA_)
            return call[prefix.size() + 4]; // after "\\.\"
        // ReadFile(hN, ...) or CloseHandle(hN): find the open that gave hN.
        const std::string handle =
            call.substr(prefix.size(), call.find_first_of(",)") - prefix.size());
        for (const auto& open : run.calls)
            if (open.rfind("CreateFileA(", 0) == 0 && open.size() > handle.size() &&
                open.compare(open.size() - handle.size() - 4, std::string::npos, " -> " + handle) ==
                    0)
                return open[16];
    }
    return '?';
}

enum class Offer { Offered, NotOffered, AsWithoutFault, EitherWay };

// Whether the drive whose probe failed is still offered: a drive that answers
// "not ready" is (no medium), any other failure or short read keeps it off.
Offer ExpectedOffer(const Fault& fault, char drive)
{
    const bool notReady =
        fault.outcome.kind == Kind::Fail && fault.outcome.value == ERROR_NOT_READY;
    switch (fault.function) {
    case CreateFileA_: return notReady ? Offer::Offered : Offer::NotOffered;
    case ReadFile_:
        if (notReady)
            return Offer::Offered;
        // A drive without a medium answers "not ready" before it could fall short.
        if (fault.outcome.kind == Kind::Short && drive == DriveE[4])
            return Offer::Offered;
        return Offer::NotOffered;
    case CloseHandle_:
        // The probe has its answer once the read is over; a drive offered only for
        // its "not ready" may lose that answer to the failed close's own error.
        return drive == DriveE[4] ? Offer::EitherWay : Offer::AsWithoutFault;
    default: return Offer::NotOffered;
    }
}

// Checks every rule for one run; gives the broken ones, empty when all held.
std::vector<std::string> Check(const Command& command, const Observed& baseline, const Fault* fault,
                               const Observed& run)
{
    std::vector<std::string> broken;
    auto rule = [&broken](bool held, const std::string& what) {
        if (!held)
            broken.push_back(what);
    };
    const Expectation x = Expect(command, baseline, fault, run);
    const bool family9x = command.family != Family::Nt;

    if (fault)
        rule(run.callCount[fault->function] >= fault->step,
             "the failing call was never made (" + std::to_string(run.callCount[fault->function]) +
                 " calls)");

    // Handles and streams.
    for (const auto& p : run.handleProblems)
        rule(false, "handle: " + p);
    rule(run.handles.doubleCloses == 0, "a handle was closed twice");
    rule(run.handles.invalidCloses == 0, "an invalid handle was closed");
    rule(run.handles.badUses == 0,
         "an invalid or closed handle was used " + std::to_string(run.handles.badUses) + " times");
    const int leftByFailedClose = fault && fault->function == CloseHandle_ ? 1 : 0;
    rule(run.handles.open() == (family9x ? 1 : 0) + leftByFailedClose,
         "handles left open: " + std::to_string(run.handles.open()));
    rule(run.streams.open() == 0, "FILE* left open: " + std::to_string(run.streams.open()));
    rule(run.streams.badCloses == 0, "a FILE* was closed twice or never opened");
    rule(run.streams.badUses == 0, "a FILE* not open was read or written");
    if (fault && (fault->function == GetOpenFileNameA_))
        rule(run.callCount[Fopen_] == 0, "a file was opened after the dialog gave no file");
    if (command.action == Action::Import || command.action == Action::Export) {
        // The next file dialog starts from the path chosen last: a dialog that
        // gave no file must leave it as it was.
        const bool chose = !(fault && fault->function == GetOpenFileNameA_);
        const std::string expected =
            chose ? PathOf(command.action == Action::Import ? ImportName : ExportName)
                  : run.imagePathBefore;
        rule(run.imagePathAfter == expected, "the path for the next dialog is \"" +
                                                 run.imagePathAfter + "\", not \"" + expected +
                                                 "\"");
    }
    const int faultAt = fault ? At(run.calls, fault->function, fault->step) : -1;
    if (x.transferStopped) {
        bool moved = false;
        for (std::size_t i = static_cast<std::size_t>(faultAt) + 1; i < run.calls.size(); ++i)
            moved = moved || run.calls[i].rfind("ReadFile(", 0) == 0 ||
                    run.calls[i].rfind("WriteFile(", 0) == 0;
        rule(!moved, "data moved after a failed open or positioning");
    }
    rule(run.locked == (x.lockStays ? 1 : 0), "drives left locked: " + std::to_string(run.locked));

    // Message boxes: the question when it is asked, then one error box when the
    // command failed.
    std::vector<UINT> expectedBoxes, shownBoxes;
    if (x.asked)
        expectedBoxes.push_back(QuestionBox);
    if (x.reported)
        expectedBoxes.push_back(ErrorBox);
    bool owned = true;
    for (const auto& box : run.boxes) {
        shownBoxes.push_back(box.type);
        owned = owned && box.owner == run.window && box.wide == !family9x;
    }
    rule(shownBoxes == expectedBoxes,
         "message boxes " + BoxesText(shownBoxes) + ", expected " + BoxesText(expectedBoxes));
    rule(owned, "a message box not owned by the main dialog, or not in the family's text");
    rule(run.openAtBoxes <= (family9x ? 1 : 0) + leftByFailedClose,
         std::to_string(run.openAtBoxes) + " handles open while a message box waited");

    // The undo file: saved for the question alone, whole, named for the drive.
    std::vector<std::string> undoNames;
    bool undoHeld = false;
    for (const auto& file : run.undoFiles) {
        undoNames.push_back(file.first);
        const bool whole = !run.chosen.empty() && file.second == OldSector0(run) &&
                           file.first[file.first.find('/') + 1] == run.chosen[5];
        undoHeld = undoHeld || whole;
        rule(whole, "undo file " + file.first + " (" + std::to_string(file.second.size()) +
                        " bytes) is not the chosen drive's old sector 0");
    }
    const std::size_t undoExpected = command.action == Action::Write && x.asked ? 1 : 0;
    rule(run.undoFiles.size() == undoExpected,
         "undo files " + Join(undoNames) + ", expected " + std::to_string(undoExpected));

    // A write reaches a drive only after the undo file, a Yes, and a second read
    // that the fault left alone and that found the drive unchanged.
    if (command.action == Action::Write) {
        int question = -1, written = -1;
        bool yes = false, readAgain = false;
        for (std::size_t k = 0; k < run.boxes.size() && question < 0; ++k)
            if ((run.boxes[k].type & MB_YESNO) == MB_YESNO) {
                question = At(run.calls, MessageBox_, static_cast<int>(k) + 1);
                yes = run.answers[k] == IDYES;
            }
        std::size_t exchange = 0;
        for (std::size_t i = 0; i < run.calls.size() && written < 0; ++i) {
            const std::string& call = run.calls[i];
            bool read = call.rfind("ReadFile(", 0) == 0, write = call.rfind("WriteFile(", 0) == 0;
            if (call.rfind("DeviceIoControl(", 0) == 0) {
                const auto& e = run.exchanges[exchange++];
                write = IsWriteExchange(e);
                read = !write && e.code != VWIN32_DIOC_DOS_IOCTL &&
                       e.code != IOCTL_DISK_GET_DRIVE_GEOMETRY;
            }
            if (write)
                written = static_cast<int>(i);
            else if (read && question >= 0 && static_cast<int>(i) > question)
                readAgain = true;
        }
        const bool readStruck =
            fault && question >= 0 && faultAt > question && (written < 0 || faultAt < written) &&
            fault->function != CloseHandle_ &&
            !(fault->function == DeviceIoControl_ &&
              IsControlRequest(run.exchanges[static_cast<std::size_t>(fault->step - 1)]));
        if (written >= 0) {
            rule(undoHeld, "written with no undo file of the drive's old sector 0");
            rule(question >= 0 && question < written && yes, "written without a Yes");
            rule(readAgain && !readStruck && run.changedVolume.empty(),
                 "written without a second read that matched the undo file");
        }
    }

    // The picker alone: nothing changes, no drive comes back, and only the drive
    // whose probe failed may change its place in the offer.
    if (command.action == Action::Pick) {
        rule(run.driveNumber == 0, "the cancelled picker gave a drive");
        std::vector<std::string> expected =
            command.family == Family::Nt
                ? std::vector<std::string>{"Disk A:", "Disk C:", "Disk E:", "Disk F:"}
                : std::vector<std::string>{"Disk A:", "Disk C:", "Disk F:"};
        bool eitherWay = false;
        if (fault) {
            const char drive = FaultedDrive(*fault, run);
            const std::string item = std::string("Disk ") + drive + ":";
            expected.erase(std::remove(expected.begin(), expected.end(), item), expected.end());
            const Offer offer = ExpectedOffer(*fault, drive);
            eitherWay = offer == Offer::EitherWay;
            if (offer == Offer::Offered)
                expected.push_back(item);
            if (offer == Offer::AsWithoutFault)
                expected = baseline.listed;
            std::sort(expected.begin(), expected.end());
            if (eitherWay) {
                std::vector<std::string> without = run.listed;
                without.erase(std::remove(without.begin(), without.end(), item), without.end());
                rule(without == expected, "the offer is " + Join(run.listed));
            }
        }
        if (!eitherWay)
            rule(run.listed == expected,
                 "the offer is " + Join(run.listed) + ", not " + Join(expected));
    }

    // The record, FsKind and the form.
    if (IsLoad(command.action) && x.result == Result::Complete) {
        Record expected = ImportSector;
        if (command.action == Action::Read) {
            const Bytes& drive = run.volumesBefore.at(standin::VolumeName(run.chosen[5] - '@'));
            std::copy(drive.begin(), drive.begin() + 512, expected.begin());
        }
        rule(run.recordAfter == expected,
             "the record is not the loaded sector:" + RecordDifferences(expected, run.recordAfter));
        rule(run.kindAfter == run.kindOfRecord, "FsKind " + std::to_string(run.kindAfter) +
                                                    " is not the loaded sector's " +
                                                    std::to_string(run.kindOfRecord));
        rule(run.formShowsRecord, "the form does not show the loaded record");
    } else {
        const Record expected = IsSave(command.action) ? baseline.recordAfter : run.recordBefore;
        rule(run.recordAfter == expected,
             "the record changed:" + RecordDifferences(expected, run.recordAfter));
        rule(run.kindAfter == run.kindBefore, "FsKind changed from " +
                                                  std::to_string(run.kindBefore) + " to " +
                                                  std::to_string(run.kindAfter));
        rule(run.formAfter == run.formBefore,
             "the form changed:" + FormDifferences(run.formBefore, run.formAfter));
    }
    if (IsSave(command.action) && fault)
        rule(baseline.recordAfter != baseline.recordBefore, "the capture changed nothing");

    // The drives.
    const Record& captured = baseline.recordAfter;
    for (const auto& v : run.volumesBefore) {
        Bytes expected = v.second;
        if (v.first == run.changedVolume)
            expected[ChangedByte] ^= 0xFF;
        const bool chosen = command.action == Action::Write && !run.chosen.empty() &&
                            v.first == standin::VolumeName(run.chosen[5] - '@');
        if (chosen && x.result == Result::Complete)
            std::copy(captured.begin(), captured.end(), expected.begin());
        if (chosen && x.result == Result::Partial)
            std::copy(captured.begin(), captured.begin() + static_cast<long>(x.bytes),
                      expected.begin());
        const std::string why = VolumeDifference(expected, run.volumesAfter.at(v.first));
        rule(why.empty(),
             "volume " + v.first.substr(4) + (chosen ? " (chosen)" : " (not chosen)") + ": " + why);
    }

    // The files.
    for (const auto& file : run.filesAfter) {
        const bool aside = x.asideStays && file.first.rfind("kel", 0) == 0 &&
                           file.second == run.filesBefore.at(ExportName);
        rule(run.filesBefore.count(file.first) != 0 || aside,
             "a file appeared: " + file.first + " (" + std::to_string(file.second.size()) +
                 " bytes)");
    }
    for (const auto& file : run.filesBefore) {
        Bytes expected = file.second;
        const bool chosen = command.action == Action::Export && file.first == ExportName;
        if (chosen && x.result == Result::Complete)
            expected.assign(captured.begin(), captured.end());
        if (chosen && x.result == Result::Partial)
            expected.assign(captured.begin(), captured.begin() + static_cast<long>(x.bytes));
        const auto after = run.filesAfter.find(file.first);
        rule(after != run.filesAfter.end() && after->second == expected,
             "file " + file.first + (chosen ? " (chosen)" : " (not chosen)") + " holds " +
                 (after == run.filesAfter.end()
                      ? std::string("nothing")
                      : std::to_string(after->second.size()) + " bytes, not the expected " +
                            std::to_string(expected.size())));
    }
    return broken;
}

std::string Describe(const Command& command, const Fault& f, int calls)
{
    return std::string(command.name) + ": " + FunctionNames[f.function] + " call " +
           std::to_string(f.step) + " of " + std::to_string(calls) + " " + f.outcome.label;
}

// --- The table ---

void PrintTo(const Command& command, std::ostream* out)
{
    *out << command.name;
}

class FaultTable : public ::testing::TestWithParam<Command> {
  protected:
    static void SetUpTestSuite()
    {
        if (SectorBuffer == nullptr) {
            ASSERT_TRUE(AllocateSectorBuffer());
        }
        BuildSectors();
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base && *base ? base : "/tmp") + "/kelvashin-faults-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        TempDir = pattern;
    }
    static void TearDownTestSuite()
    {
        for (const auto& file : FilesIn(TempDir))
            unlink(PathOf(file.first).c_str());
        rmdir(TempDir.c_str());
    }
};

TEST_P(FaultTable, EveryCallFailingAtEveryStepLosesNothing)
{
    const Command& command = GetParam();
    const Observed baseline = Execute(command, nullptr);
    const auto clean = Check(command, baseline, nullptr, baseline);
    for (const auto& b : clean)
        ADD_FAILURE() << command.name << " with nothing failing: " << b;
    if (IsLoad(command.action) || IsSave(command.action)) {
        // The commands must make the calls that the table is about.
        ASSERT_TRUE(command.action == Action::Import || command.action == Action::Export ||
                    !baseline.chosen.empty())
            << command.name << ": the picker did not offer the target drive";
    }

    std::printf("\n%s\n  %-17s %5s %8s %6s %5s\n", command.name, "function", "steps", "outcomes",
                "cases", "held");
    int allCases = 0, allHeld = 0;
    for (int f = 0; f < FunctionCount; ++f) {
        const int steps = baseline.callCount[f];
        if (steps == 0)
            continue;
        const auto outcomes = OutcomesOf(f, command.action);
        int cases = 0, held = 0;
        for (int step = 1; step <= steps; ++step)
            for (const Outcome& o : outcomes) {
                const Fault fault{f, step, o};
                const Observed run = Execute(command, &fault);
                const auto broken = Check(command, baseline, &fault, run);
                ++cases;
                if (broken.empty()) {
                    ++held;
                    continue;
                }
                std::string text;
                for (const auto& b : broken)
                    text += "\n    - " + b;
                ADD_FAILURE() << Describe(command, fault, steps) << text;
            }
        std::printf("  %-17s %5d %8zu %6d %5d\n", FunctionNames[f], steps, outcomes.size(), cases,
                    held);
        allCases += cases;
        allHeld += held;
    }
    std::printf("  %s: %d of %d cases held (plus the run with nothing failing)\n", command.name,
                allHeld, allCases);
    std::fflush(stdout);
    EXPECT_EQ(allHeld, allCases);
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultTable, ::testing::ValuesIn(Commands),
                         [](const ::testing::TestParamInfo<Command>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
