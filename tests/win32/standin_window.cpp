// The window manager half of the stand-in: dialogs, their controls, messages.
#include "standin.h"
#include "commctrl.h"
#include "text.h"

#include <deque>
#include <map>
#include <string>
#include <utility>

namespace standin {

std::function<void(HWND, int)> OnDialog;
std::function<BOOL(OPENFILENAMEA*)> OnOpenFileName;
std::vector<std::string> EndedDialogs;
DWORD TickStep = 0;
std::vector<int> DestroyedDialogs;

namespace {

struct Control {
    std::wstring text;
    std::string setBy;
    std::vector<std::wstring> items;
    std::vector<LPARAM> itemData;
    int selection = -1;
};

struct Dialog {
    DLGPROC procedure = nullptr;
    int templateId = 0;
    bool ended = false;
    INT_PTR result = 0;
};

struct Posted {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

std::uintptr_t nextWindow = 0x1000;
std::map<HWND, Dialog> dialogs;
std::map<std::pair<HWND, int>, Control> controls;
std::map<HWND, std::pair<HWND, int>> controlHandles; // handle -> (dialog, id)
std::deque<Posted> posted;
bool quitPosted = false;
int quitCode = 0;
DWORD ticks = 0;
std::map<HWND, bool> disabled;

HWND Allocate()
{
    nextWindow += 0x10;
    return reinterpret_cast<HWND>(nextWindow);
}

Control& ControlOf(HWND dialog, int id) { return controls[{dialog, id}]; }

Control* ControlByHandle(HWND handle)
{
    auto found = controlHandles.find(handle);
    return found == controlHandles.end() ? nullptr : &ControlOf(found->second.first, found->second.second);
}

int IdOf(HWND handle)
{
    auto found = controlHandles.find(handle);
    return found == controlHandles.end() ? 0 : found->second.second;
}

LRESULT ComboMessage(Control& c, int id, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case CB_RESETCONTENT:
        Log("CB_RESETCONTENT(" + std::to_string(id) + ")");
        c.items.clear();
        c.itemData.clear();
        c.selection = -1;
        return 0;
    case CB_ADDSTRING: {
        const char* text = reinterpret_cast<const char*>(lParam);
        Log("CB_ADDSTRING(" + std::to_string(id) + ", " + text + ")");
        c.items.push_back(WidenUtf8(text));
        c.itemData.push_back(0);
        return static_cast<LRESULT>(c.items.size() - 1);
    }
    case CB_SETITEMDATA:
    case CB_GETITEMDATA: {
        const auto index = static_cast<std::size_t>(wParam);
        if (index >= c.itemData.size())
            return CB_ERR;
        if (message == CB_SETITEMDATA)
            c.itemData[index] = lParam;
        return c.itemData[index];
    }
    case CB_SETCURSEL: {
        const int index = static_cast<int>(wParam);
        Log("CB_SETCURSEL(" + std::to_string(id) + ", " + std::to_string(index) + ")");
        if (index < 0 || index >= static_cast<int>(c.items.size())) {
            c.selection = -1;
            return CB_ERR;
        }
        c.selection = index;
        return index;
    }
    case CB_GETCURSEL:
        Log("CB_GETCURSEL(" + std::to_string(id) + ")");
        return c.selection;
    case CB_GETCOUNT:
        return static_cast<LRESULT>(c.items.size());
    default:
        return 0;
    }
}

void Dispatch(const Posted& p)
{
    if (p.message == WM_CLOSE || dialogs.count(p.window))
        Send(p.window, p.message, p.wParam, p.lParam);
}

} // namespace

void ResetWindow()
{
    dialogs.clear();
    controls.clear();
    controlHandles.clear();
    posted.clear();
    quitPosted = false;
    quitCode = 0;
    OnDialog = nullptr;
    OnOpenFileName = nullptr;
    EndedDialogs.clear();
    TickStep = 0;
    ticks = 0;
    DestroyedDialogs.clear();
    disabled.clear();
}

bool Disabled(HWND window) { return disabled[window]; }

HWND NewWindow() { return Allocate(); }

std::string Text(HWND dialog, int id) { return NarrowUtf8(ControlOf(dialog, id).text); }
std::string SetBy(HWND dialog, int id) { return ControlOf(dialog, id).setBy; }

void SetText(HWND dialog, int id, const std::string& utf8)
{
    ControlOf(dialog, id).text = WidenUtf8(utf8.c_str());
}

std::vector<std::string> Items(HWND dialog, int id)
{
    std::vector<std::string> items;
    for (const auto& item : ControlOf(dialog, id).items)
        items.push_back(NarrowUtf8(item));
    return items;
}

int Selection(HWND dialog, int id) { return ControlOf(dialog, id).selection; }
void Select(HWND dialog, int id, int index) { ControlOf(dialog, id).selection = index; }

INT_PTR Send(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto found = dialogs.find(dialog);
    if (found == dialogs.end() || found->second.procedure == nullptr)
        return 0;
    return found->second.procedure(dialog, message, wParam, lParam);
}

// Registers a dialog procedure for a window made by NewWindow, so that messages
// sent or posted to it reach the procedure (used for the main dialog in tests).
void Attach(HWND dialog, DLGPROC procedure, int templateId)
{
    dialogs[dialog] = Dialog{procedure, templateId, false, 0};
}

bool QuitPosted() { return quitPosted; }
int QuitCode() { return quitCode; }

// Runs the posted messages until the dialog has ended or the quit message came.
bool Pump(HWND dialog)
{
    while (!dialogs[dialog].ended && !quitPosted && !posted.empty()) {
        const Posted p = posted.front();
        posted.pop_front();
        Dispatch(p);
    }
    return dialogs[dialog].ended || quitPosted;
}

} // namespace standin

using namespace standin;

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR templateName, HWND owner, DLGPROC procedure,
                               LPARAM initParam)
{
    const int templateId = static_cast<int>(reinterpret_cast<std::uintptr_t>(templateName));
    Log("DialogBoxParamA(" + std::to_string(templateId) + ", owner " +
        (owner ? "set" : "none") + ", " + std::to_string(initParam) + ")");
    HWND dialog = Allocate();
    Attach(dialog, procedure, templateId);
    procedure(dialog, WM_INITDIALOG, 0, initParam);
    // A dialog ended while it started is never shown to the user.
    if (OnDialog && !dialogs[dialog].ended)
        OnDialog(dialog, templateId);
    if (!Pump(dialog))
        return -1;
    return dialogs[dialog].ended ? dialogs[dialog].result : 0;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result)
{
    auto found = dialogs.find(dialog);
    if (found == dialogs.end())
        return FALSE;
    Log("EndDialog(" + std::to_string(found->second.templateId) + ", " + std::to_string(result) + ")");
    found->second.ended = true;
    found->second.result = result;
    EndedDialogs.push_back(std::to_string(found->second.templateId) + ":" + std::to_string(result));
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dialog, int id)
{
    for (const auto& entry : controlHandles)
        if (entry.second == std::make_pair(dialog, id))
            return entry.first;
    HWND handle = Allocate();
    controlHandles[handle] = {dialog, id};
    return handle;
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (Control* c = ControlByHandle(window))
        return ComboMessage(*c, IdOf(window), message, wParam, lParam);
    return Send(window, message, wParam, lParam);
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Log("PostMessageA(" + std::to_string(message) + ", " + std::to_string(wParam) + ", " +
        std::to_string(lParam) + ")");
    posted.push_back({window, message, wParam, lParam});
    return TRUE;
}

void WINAPI PostQuitMessage(int exitCode)
{
    Log("PostQuitMessage(" + std::to_string(exitCode) + ")");
    quitPosted = true;
    quitCode = exitCode;
}

BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned)
{
    Log("SetDlgItemInt(" + std::to_string(id) + ", " + std::to_string(value) + ", " +
        std::to_string(isSigned) + ")");
    Control& c = ControlOf(dialog, id);
    c.text = isSigned ? std::to_wstring(static_cast<int>(value)) : std::to_wstring(value);
    c.setBy = "Int";
    return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned)
{
    Log("GetDlgItemInt(" + std::to_string(id) + ", " + std::to_string(isSigned) + ")");
    if (translated)
        *translated = FALSE;
    const std::wstring& text = ControlOf(dialog, id).text;
    std::size_t i = 0;
    while (i < text.size() && text[i] == L' ')
        ++i;
    if (i == text.size() || text[i] < L'0' || text[i] > L'9')
        return 0;
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        if (value > 0xFFFFFFFFu)
            return 0;
    }
    if (translated)
        *translated = TRUE;
    return static_cast<UINT>(value);
}

BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    Log("SetDlgItemTextA(" + std::to_string(id) + ", " + text + ")");
    Control& c = ControlOf(dialog, id);
    c.text = WidenUtf8(text);
    c.setBy = "A";
    return TRUE;
}

BOOL WINAPI SetDlgItemTextW(HWND dialog, int id, LPCWSTR text)
{
    Log("SetDlgItemTextW(" + std::to_string(id) + ", " + NarrowUtf8(text) + ")");
    if (Family9x())
        return FALSE; // a stub there
    Control& c = ControlOf(dialog, id);
    c.text = text;
    c.setBy = "W";
    return TRUE;
}

UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR text, int maxCount)
{
    Log("GetDlgItemTextA(" + std::to_string(id) + ", " + std::to_string(maxCount) + ")");
    Control& c = ControlOf(dialog, id);
    // A drop-down list's text is its selected item.
    std::string value = NarrowUtf8(c.items.empty() ? c.text
                                   : c.selection >= 0 ? c.items[static_cast<std::size_t>(c.selection)]
                                                      : std::wstring());
    if (maxCount <= 0)
        return 0;
    if (value.size() > static_cast<std::size_t>(maxCount - 1))
        value.resize(static_cast<std::size_t>(maxCount - 1));
    value.copy(text, value.size());
    text[value.size()] = '\0';
    return static_cast<UINT>(value.size());
}

HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show)
{
    Log(std::string("ShellExecuteA(") + (owner ? "owner" : "none") + ", " + (verb ? verb : "null") +
        ", " + (file ? file : "null") + ", " + (parameters ? parameters : "null") + ", " +
        (directory ? directory : "null") + ", " + std::to_string(show) + ")");
    return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(42));
}

HWND WINAPI CreateDialogParamA(HINSTANCE, LPCSTR templateName, HWND owner, DLGPROC procedure,
                               LPARAM initParam)
{
    const int templateId = static_cast<int>(reinterpret_cast<std::uintptr_t>(templateName));
    Log("CreateDialogParamA(" + std::to_string(templateId) + ", owner " +
        (owner ? "set" : "none") + ")");
    HWND dialog = Allocate();
    Attach(dialog, procedure, templateId);
    procedure(dialog, WM_INITDIALOG, 0, initParam);
    if (OnDialog)
        OnDialog(dialog, templateId);
    return dialog;
}

BOOL WINAPI DestroyWindow(HWND window)
{
    auto found = dialogs.find(window);
    if (found == dialogs.end())
        return FALSE;
    Log("DestroyWindow(" + std::to_string(found->second.templateId) + ")");
    DestroyedDialogs.push_back(found->second.templateId);
    dialogs.erase(found);
    return TRUE;
}

BOOL WINAPI EnableWindow(HWND window, BOOL enable)
{
    Log(std::string("EnableWindow(") + (enable ? "TRUE" : "FALSE") + ")");
    const bool was = disabled[window];
    disabled[window] = !enable;
    return was ? TRUE : FALSE;
}

// Posted messages come out in order, each once.
BOOL WINAPI PeekMessageA(LPMSG message, HWND, UINT, UINT, UINT)
{
    if (posted.empty())
        return FALSE;
    const Posted p = posted.front();
    posted.pop_front();
    *message = MSG{p.window, p.message, p.wParam, p.lParam, 0, {0, 0}};
    return TRUE;
}

BOOL WINAPI IsDialogMessageA(HWND dialog, LPMSG message)
{
    if (message->hwnd != dialog || dialogs.count(dialog) == 0)
        return FALSE;
    Send(dialog, message->message, message->wParam, message->lParam);
    return TRUE;
}

LRESULT WINAPI DispatchMessageA(const MSG* message)
{
    return Send(message->hwnd, message->message, message->wParam, message->lParam);
}

DWORD WINAPI GetTickCount()
{
    ticks += TickStep;
    return ticks;
}

void WINAPI InitCommonControls()
{
    Log("InitCommonControls()");
}
