#include "about.h"

#include "app.h"
#include "resources/resource.h"

#include <shellapi.h>

#define MAKER_MAIL "kelvashin@morvane.example"
#define MAKER_MAIL_ESCAPED "kelvashin%40morvane.example"

const char MailLink[] = "mailto:" MAKER_MAIL;
const char DonationLink[] = "https://donate.morvane.example/xclick/business=" MAKER_MAIL_ESCAPED
                            "&item_name=Kelvashin+Donation";

namespace {

void OpenLink(HWND dialog, const char* link)
{
    ShellExecuteA(dialog, "open", link, nullptr, nullptr, SW_HIDE);
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
