#include "message.h"

#include "app.h"
#include "form.h"
#include "text.h"

namespace {

constexpr int MessageSize = 2048;
wchar_t Message[MessageSize];
int Length = 0;

} // namespace

void MessageBegin()
{
    Length = 0;
    Message[0] = L'\0';
}

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

void MessageAddHex(DWORD value, int digits)
{
    wchar_t text[9];
    text[digits] = L'\0';
    for (int at = digits - 1; at >= 0; --at, value >>= 4)
        text[at] = L"0123456789ABCDEF"[value & 0xF];
    MessageAdd(text);
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
