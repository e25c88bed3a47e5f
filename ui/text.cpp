#include "text.h"

#include "app.h"

namespace {

typedef BOOL(WINAPI* SetTextWideFunction)(HWND, int, const wchar_t*);

// Looked up on first use, on the NT family only: a 9x system's user32 has no
// working wide version, and an import would not load on every system.
SetTextWideFunction SetTextWide = nullptr;
bool wideLookedUp = false;

SetTextWideFunction WideSetter()
{
    if (OsFamily != OsFamilyNt)
        return nullptr;
    if (!wideLookedUp) {
        wideLookedUp = true;
        FARPROC found = GetProcAddress(GetModuleHandleA("user32.dll"), "SetDlgItemTextW");
        SetTextWide = reinterpret_cast<SetTextWideFunction>(reinterpret_cast<void (*)()>(found));
    }
    return SetTextWide;
}

} // namespace

void ToAnsi(const wchar_t* text, char* buffer, int size)
{
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, size, nullptr, nullptr) == 0)
        buffer[0] = '\0';
}

void SetControlText(HWND dialog, int id, const wchar_t* text)
{
    if (SetTextWideFunction setter = WideSetter()) {
        setter(dialog, id, text);
        return;
    }
    char ansi[64];
    ToAnsi(text, ansi, sizeof ansi);
    SetDlgItemTextA(dialog, id, ansi);
}
