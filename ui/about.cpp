#include "about.h"

#include "app.h"
#include "resources/resource.h"

#include <shellapi.h>

#include <type_traits>

#define MAKER_MAIL "kelvashin@morvane.example"
#define MAKER_MAIL_ESCAPED "kelvashin%40morvane.example"

const char MailLink[] = "mailto:" MAKER_MAIL;
const char DonationLink[] = "https://donate.morvane.example/xclick/business=" MAKER_MAIL_ESCAPED
                            "&item_name=Kelvashin+Donation";

namespace {

typedef HINSTANCE(WINAPI* OpenLinkFunction)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
static_assert(std::is_same_v<OpenLinkFunction, decltype(&ShellExecuteA)>);

// SHELL32 is loaded by the first press of a link button, not at start-up.
// Each press takes one more reference and gives none back, so the library
// stays loaded for the rest of the process, as an import would.
OpenLinkFunction ShellOpenFunction()
{
    HMODULE library = LoadLibraryA("shell32.dll");
    if (library == nullptr)
        return nullptr;
    FARPROC found = GetProcAddress(library, "ShellExecuteA");
    return reinterpret_cast<OpenLinkFunction>(reinterpret_cast<void (*)()>(found));
}

// Without SHELL32 the link does not open.
void OpenLink(HWND dialog, const char* link)
{
    if (OpenLinkFunction open = ShellOpenFunction())
        open(dialog, "open", link, nullptr, nullptr, SW_HIDE);
}

void OnAboutCommand(HWND dialog, int id)
{
    switch (id) {
    case IDC_EMAIL: OpenLink(dialog, MailLink); break;
    case IDC_DONATE: OpenLink(dialog, DonationLink); break;
    default: break; // Esc (IDCANCEL) does not close the box
    }
}

} // namespace

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0)
            OnAboutCommand(dialog, LOWORD(wParam));
        return FALSE;
    case WM_CLOSE:
    case WM_DESTROY:
    case WM_QUERYENDSESSION: EndDialog(dialog, 0); return FALSE;
    default: return FALSE;
    }
}

void ShowAbout()
{
    DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_ABOUT), nullptr, AboutDialogProc, 0);
}
