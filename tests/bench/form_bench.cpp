// In-process cost of the load ending (RecognizeFsKind, then RecordToForm) and
// of a capture (FormToRecord) on the Win32 stand-in, each against a floor that
// makes the same window calls, in the same order, with fixed arguments and no
// field logic: no recognition, no binding tables, no loads or stores of the
// record, no number or size formatting. Before measuring, the program checks
// that each floor really makes the product's calls (it exits with 1 if not),
// so the difference between the two is the field logic alone.
#include "core/recognize.h"
#include "core/record.h"
#include "core/template.h"
#include "resources/resource.h"
#include "standin.h"
#include "ui/app.h"
#include "ui/form.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

HWND window = nullptr;

const std::uint8_t Kinds[] = {FsKindFat12, FsKindFat16, FsKindFat32, FsKindNtfs};
const char* const KindNames[] = {"FAT12", "FAT16", "FAT32", "NTFS"};

const int NumberBoxes[13] = {IDC_BYTES_PER_SECTOR,
                             IDC_SECTORS_PER_CLUSTER,
                             IDC_RESERVED_SECTORS,
                             IDC_SECTORS_PER_TRACK,
                             IDC_HEADS,
                             IDC_TOTAL_SECTORS,
                             IDC_RIGHT_ROW6,
                             IDC_RIGHT_ROW7,
                             IDC_SERIAL,
                             IDC_RIGHT_ROW2,
                             IDC_RIGHT_ROW3,
                             IDC_HIDDEN_SECTORS,
                             IDC_RIGHT_ROW5};
const int KindLabels[6] = {IDC_LBL_RIGHT_ROW2, IDC_LBL_RIGHT_ROW3, IDC_LBL_HIDDEN_SECTORS,
                           IDC_LBL_RIGHT_ROW5, IDC_LBL_RIGHT_ROW6, IDC_LBL_RIGHT_ROW7};
const char* const MediaTexts[9] = {"360K FD", "320K FD", "160K FD",   "180K FD",  "640K FD",
                                   "1.2M FD", "720K FD", "1.44M+ FD", "Hard Disk"};

// A main window on the stand-in holding the new sector of one kind.
void Prepare(std::uint8_t kind)
{
    standin::Reset();
    standin::SetWideFunctionsAvailable(true);
    if (SectorBuffer == nullptr && !AllocateSectorBuffer()) {
        std::fprintf(stderr, "no sector buffer\n");
        std::exit(1);
    }
    OsFamily = OsFamilyNt;
    window = standin::NewWindow();
    standin::Attach(window, MainDialogProc, IDD_MAIN);
    standin::Send(window, WM_INITDIALOG, 0, 0);
    CreateBootSector(kind);
    // One display first: it looks up the wide text function, which happens
    // once per process, and gives the capture a form to read.
    RecordToForm();
    standin::Calls.clear();
}

void LoadEnding()
{
    RecognizeFsKind();
    RecordToForm();
}

// The load ending's window calls with fixed arguments.
void LoadEndingFloor()
{
    SendMessageA(MediaComboBox, CB_RESETCONTENT, 0, 0);
    for (const char* text : MediaTexts)
        SendMessageA(MediaComboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    SetDlgItemTextA(MainDialog, IDC_KIND, "FAT12");
    // NTFS gives its 64-bit fields, the sixth to ninth boxes it fills, as texts.
    const bool ntfs = FsKind == FsKindNtfs;
    for (int i = 0; i < 13; ++i) {
        if (ntfs && i >= 5 && i < 9)
            SetDlgItemTextA(MainDialog, NumberBoxes[i], "512");
        else
            SetDlgItemInt(MainDialog, NumberBoxes[i], 512, FALSE);
    }
    SendMessageA(MediaComboBox, CB_SETCURSEL, 7, 0);
    for (int label : KindLabels)
        SetDlgItemTextW(MainDialog, label, L"FAT 磁區");
    SetDlgItemTextA(MainDialog, IDC_SIZE_TEXT, "1440.00 KB");
}

// The window calls of a capture without edits, their answers thrown away: each
// box's text is read and, being as shown, not read as a number.
void CaptureFloor()
{
    benchmark::DoNotOptimize(SendMessageA(MediaComboBox, CB_GETCURSEL, 0, 0));
    benchmark::DoNotOptimize(SendMessageA(MediaComboBox, CB_GETCURSEL, 0, 0));
    char text[32];
    for (int box : NumberBoxes)
        benchmark::DoNotOptimize(GetDlgItemTextA(MainDialog, box, text, sizeof text));
}

// The names of the calls logged by one run of a procedure: "SetDlgItemInt" and so on.
std::vector<std::string> CallNames(void (*procedure)())
{
    standin::Calls.clear();
    procedure();
    std::vector<std::string> names;
    for (const std::string& call : standin::Calls)
        names.push_back(call.substr(0, call.find('(')));
    standin::Calls.clear();
    return names;
}

std::string Joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const std::string& name : names)
        out += name + " ";
    return out;
}

// Each floor must make exactly the product's calls, for every kind, on a form
// as the display left it.
bool FloorsMatch()
{
    bool match = true;
    for (std::size_t i = 0; i < sizeof Kinds; ++i) {
        const struct {
            const char* what;
            void (*product)();
            void (*floor)();
        } pairs[] = {{"load ending", LoadEnding, LoadEndingFloor},
                     {"capture", FormToRecord, CaptureFloor}};
        for (const auto& pair : pairs) {
            Prepare(Kinds[i]);
            const std::vector<std::string> expected = CallNames(pair.product);
            const std::vector<std::string> actual = CallNames(pair.floor);
            if (expected != actual) {
                std::printf("FLOOR MISMATCH %s %s:\n  product: %s\n  floor:   %s\n", KindNames[i],
                            pair.what, Joined(expected).c_str(), Joined(actual).c_str());
                match = false;
            }
        }
    }
    return match;
}

// The call log is cleared on every iteration, by product and floor alike.
void Measure(benchmark::State& state, void (*procedure)())
{
    Prepare(Kinds[state.range(0)]);
    for (auto _ : state) {
        procedure();
        standin::Calls.clear();
    }
    state.SetLabel(KindNames[state.range(0)]);
}

void BM_LoadEnding(benchmark::State& state)
{
    Measure(state, LoadEnding);
}
void BM_LoadEndingFloor(benchmark::State& state)
{
    Measure(state, LoadEndingFloor);
}
void BM_Capture(benchmark::State& state)
{
    Measure(state, FormToRecord);
}
void BM_CaptureFloor(benchmark::State& state)
{
    Measure(state, CaptureFloor);
}

BENCHMARK(BM_LoadEnding)->DenseRange(0, 3);
BENCHMARK(BM_LoadEndingFloor)->DenseRange(0, 3);
BENCHMARK(BM_Capture)->DenseRange(0, 3);
BENCHMARK(BM_CaptureFloor)->DenseRange(0, 3);

} // namespace

int main(int argc, char** argv)
{
    if (!FloorsMatch())
        return 1;
    std::printf("floors make the product's calls\n");
    std::fflush(stdout);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
