// Coverage-guided fuzzing of everything a loaded sector goes through: kind
// recognition, the form display under every kind, the capture back, and the
// check. Any 512 bytes must be shown and checked without fault, the display
// must never write the record, and a capture without edits must give the same
// 512 bytes back.
#include "standin.h"
#include "core/check.h"
#include "core/recognize.h"
#include "core/record.h"
#include "resources/resource.h"
#include "ui/app.h"
#include "ui/check.h"
#include "ui/form.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Sector = std::array<std::uint8_t, 512>;

void Check(bool condition, const char* what, std::uint8_t kind)
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz check failed: %s (kind %d)\n", what, kind);
    std::abort();
}

Sector Record()
{
    Sector r{};
    std::memcpy(r.data(), SectorBuffer, r.size());
    return r;
}

// Shows the record under kind and captures it again, checking both halves.
void DisplayAndCapture(const Sector& input, std::uint8_t kind)
{
    std::memcpy(SectorBuffer, input.data(), input.size());
    FsKind = kind;
    RecordToForm();
    Check(Record() == input, "the display wrote the record", kind);
    Check(FsKind >= FsKindFat12 && FsKind <= FsKindGeneric, "the display left no kind", kind);
    FormToRecord();
    Check(Record() == input, "display then capture changed the record", kind);
    standin::Calls.clear();
}

// The check under every kind fills no more findings than it has room for and
// words each of them.
void CheckEveryKind(const Sector& input)
{
    constexpr int Room = 64;
    for (std::uint8_t kind = FsKindNone; kind <= FsKindGeneric; ++kind) {
        Finding findings[Room];
        const int count = CheckBootRecord(input.data(), kind, findings, Room);
        Check(count >= 0 && count <= Room, "the check gave a count out of range", kind);
        Check(CheckMessage(findings, count, kind)[0] != L'\0', "the check said nothing", kind);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    standin::Reset();
    AllocateSectorBuffer();
    OsFamily = OsFamilyNt;
    HWND window = standin::NewWindow();
    standin::Attach(window, MainDialogProc, IDD_MAIN);
    standin::Send(window, WM_INITDIALOG, 0, 0);
    return 0;
}

// The first 512 bytes are the sector (shorter inputs are padded with zeros); a
// 513th byte, when present, names a kind to show it under as well.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Sector input{};
    std::memcpy(input.data(), data, size < input.size() ? size : input.size());

    std::memcpy(SectorBuffer, input.data(), input.size());
    RecognizeFsKind();
    Check(FsKind <= FsKindFat32, "recognition gave a kind out of range", FsKind);
    Check(Record() == input, "recognition wrote the record", FsKind);

    DisplayAndCapture(input, FsKind);
    if (size > input.size())
        DisplayAndCapture(input, data[input.size()]);
    CheckEveryKind(input);
    return 0;
}
