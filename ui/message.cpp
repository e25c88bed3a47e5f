#include "message.h"

#include "app.h"
#include "form.h"
#include "text.h"
#include "disk/sector.h"
#include "resources/resource.h"

namespace {

constexpr int MessageSize = 2048;
constexpr int TextSize = 256; // the longest text of the table, and its NUL
wchar_t Message[MessageSize];
int Length = 0;

void MessageAdd(const wchar_t* text)
{
    while (*text != L'\0' && Length < MessageSize - 1)
        Message[Length++] = *text++;
    Message[Length] = L'\0';
}

void MessageAddAnsi(const char* text)
{
    static wchar_t wide[MessageSize];
    ToWide(text, wide, MessageSize);
    MessageAdd(wide);
}

// The low digits * 4 bits of value as that many hex digits (at most 8).
void AddHex(DWORD value, int digits)
{
    wchar_t text[9];
    text[digits] = L'\0';
    for (int at = digits - 1; at >= 0; --at, value >>= 4)
        text[at] = L"0123456789ABCDEF"[value & 0xF];
    MessageAdd(text);
}

} // namespace

// A drive as "A:"; an image volume as its file and its number there.
void AddVolumeName(Volume volume)
{
    if (const char* file = VolumeImageFile(volume)) {
        MessageAddText(IDS_IMAGE_VOLUME, {Ansi(file), Decimal(VolumeImageNumber(volume))});
        return;
    }
    const wchar_t drive[] = {static_cast<wchar_t>(L'@' + volume), L':', L'\0'};
    MessageAdd(drive);
}

void MessageBegin()
{
    Length = 0;
    Message[0] = L'\0';
}

// Numbers are written out by the form's own conversion rather than through
// the C library's wide formatting, which the oldest msvcrt.dll lacks.
void MessageAddDecimal(std::uint64_t value)
{
    char digits[NumberTextSize];
    FormatNumber(value, digits);
    wchar_t wide[NumberTextSize];
    int i = 0;
    for (; digits[i] != '\0'; ++i)
        wide[i] = static_cast<wchar_t>(digits[i]);
    wide[i] = L'\0';
    MessageAdd(wide);
}

void MessageAddText(UINT id, std::initializer_list<Fill> fills)
{
    wchar_t text[TextSize];
    LoadText(id, text, TextSize);
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        const auto n = static_cast<std::size_t>(at[1] - L'1');
        if (*at != L'%' || at[1] < L'1' || n >= fills.size()) {
            const wchar_t one[] = {*at, L'\0'};
            MessageAdd(one);
            continue;
        }
        ++at;
        const Fill& f = fills.begin()[n];
        switch (f.kind) {
        case FillDecimal: MessageAddDecimal(f.number); break;
        case FillHex: AddHex(static_cast<DWORD>(f.number), f.digits); break;
        case FillWide: MessageAdd(static_cast<const wchar_t*>(f.text)); break;
        case FillAnsi: MessageAddAnsi(static_cast<const char*>(f.text)); break;
        case FillDrive: AddVolumeName(static_cast<Volume>(f.number)); break;
        }
    }
}

int MessageLength()
{
    return Length;
}

const wchar_t* MessageText()
{
    return Message;
}

int MessageShow(UINT type)
{
    return ShowMessageBox(MainDialog, Message, type);
}
