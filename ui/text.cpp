#include "text.h"

#include "app.h"

namespace {

typedef BOOL(WINAPI* SetTextWideFunction)(HWND, int, const wchar_t*);
typedef int(WINAPI* MessageBoxWideFunction)(HWND, const wchar_t*, const wchar_t*, UINT);

// Looked up on first use, on the NT family only: a 9x system's user32 has no
// working wide versions, and an import would not load on every system.
SetTextWideFunction SetTextWide = nullptr;
MessageBoxWideFunction MessageBoxWide = nullptr;
bool wideLookedUp = false;

// True on the NT family, whose wide functions are then looked up.
bool WideFamily()
{
    if (OsFamily != OsFamilyNt)
        return false;
    if (!wideLookedUp) {
        wideLookedUp = true;
        HMODULE user32 = GetModuleHandleA("user32.dll");
        SetTextWide = reinterpret_cast<SetTextWideFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(user32, "SetDlgItemTextW")));
        MessageBoxWide = reinterpret_cast<MessageBoxWideFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(user32, "MessageBoxW")));
    }
    return true;
}

// The caption of every message box: the program's name.
const wchar_t MessageCaption[] = L"Kelvashin";
constexpr int AnsiMessageSize = 4096; // two bytes a character in the double-byte code pages

} // namespace

void ToAnsi(const wchar_t* text, char* buffer, int size)
{
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, size, nullptr, nullptr) == 0)
        buffer[0] = '\0';
}

void LoadText(UINT id, wchar_t* buffer, int size)
{
    // Block n holds the texts 16 * (n - 1) to 16 * n - 1, each as its length
    // in characters and then its characters.
    constexpr int TextsPerBlock = 16;
    HRSRC block = FindResourceA(AppInstance, MAKEINTRESOURCEA(id / TextsPerBlock + 1), RT_STRING);
    HGLOBAL loaded = block != nullptr ? LoadResource(AppInstance, block) : nullptr;
    const auto* entry =
        static_cast<const WORD*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    int length = 0;
    if (entry != nullptr) {
        for (UINT skip = id % TextsPerBlock; skip > 0; --skip)
            entry += 1 + *entry;
        length = *entry < size ? *entry : size - 1;
        for (int i = 0; i < length; ++i)
            buffer[i] = static_cast<wchar_t>(entry[1 + i]);
    }
    buffer[length] = L'\0';
}

void SetControlText(HWND dialog, int id, const wchar_t* text)
{
    if (WideFamily() && SetTextWide != nullptr) {
        SetTextWide(dialog, id, text);
        return;
    }
    char ansi[64];
    ToAnsi(text, ansi, sizeof ansi);
    SetDlgItemTextA(dialog, id, ansi);
}

int ShowMessageBox(HWND owner, const wchar_t* text, UINT type)
{
    if (WideFamily() && MessageBoxWide != nullptr)
        return MessageBoxWide(owner, text, MessageCaption, type);
    static char ansiText[AnsiMessageSize];
    char ansiCaption[32];
    ToAnsi(text, ansiText, sizeof ansiText);
    ToAnsi(MessageCaption, ansiCaption, sizeof ansiCaption);
    return MessageBoxA(owner, ansiText, ansiCaption, type);
}

void ToWide(const char* text, wchar_t* buffer, int size)
{
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, size) == 0)
        buffer[0] = L'\0';
}
