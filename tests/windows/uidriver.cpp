// uidriver.exe: operates kelvashin.exe from another process the way a user
// would, through window messages only. The end-to-end tests start it once per
// session and talk to it over its standard streams:
//   - each input line is one command, its words separated by tabs (so a word
//     may hold blanks), UTF-8;
//   - each command answers with zero or more data lines and then exactly one
//     line "OK" or "ERR <reason>".
// Window handles are written and read as hexadecimal numbers. Texts in data
// lines are UTF-8 with backslash, tab, CR and LF escaped as \\, \t, \r, \n.
//
// clang-format off
// Commands (TIMEOUT in milliseconds):
//   windows                          WIN <hwnd> <pid> <owner> <class> <title> per visible
//                                    top-level window
//   wait-main TIMEOUT                MAIN <hwnd>: the visible dialog with a menu whose
//                                    title holds "Kelvashin"
//   wait-dialog TEXT TIMEOUT         DIALOG <hwnd>: a visible #32770 whose title holds TEXT
//   wait-owned OWNER TIMEOUT         DIALOG <hwnd> <title>: a visible #32770 owned by OWNER
//   count-dialogs TEXT               COUNT <n>: visible #32770 windows whose title holds TEXT
//   wait-gone HWND TIMEOUT           OK once the window no longer exists or is hidden
//   title HWND                       TEXT <title>
//   menu HWND ID                     posts WM_COMMAND(ID, 0), as a menu choice does
//   command HWND ID CODE             posts WM_COMMAND(ID, CODE) with the control as lParam
//   get HWND ID                      TEXT <text of control ID>
//   set HWND ID TEXT                 WM_SETTEXT on control ID
//   exists HWND ID                   EXISTS 0|1, VISIBLE 0|1, CLASS <class>
//   combo HWND ID                    COUNT <n>, SEL <index>, then ITEM <text> per item
//   choose HWND ID INDEX             CB_SETCURSEL, then WM_COMMAND(ID, CBN_SELCHANGE) to
//                                    the dialog
//   click HWND ID                    WM_COMMAND(ID, BN_CLICKED) from the button, as a mouse
//                                    click sends it
//   key HWND VK                      WM_KEYDOWN/WM_KEYUP of a virtual key to the focused
//                                    control of HWND's thread (the dialog manager turns
//                                    Enter/Esc into IDOK/IDCANCEL)
//   close HWND                       WM_SYSCOMMAND SC_CLOSE, as the close box sends it
//   file-dialog OWNER PATH TIMEOUT   waits for the file dialog owned by OWNER, types PATH
//                                    into its file name box (cmb13), presses OK and waits
//                                    until it is gone; DIALOG <hwnd> <title>
//   file-cancel OWNER TIMEOUT        the same dialog, closed with Cancel
//   message OWNER TIMEOUT [BUTTON]   waits for a message box owned by OWNER (a visible #32770
//                                    whose title holds "Kelvashin"): DIALOG <hwnd> <title>,
//                                    TEXT <message>, BUTTONS <id> <id>..., DEFAULT <id> (0:
//                                    none drawn as the default); with
//                                    BUTTON (1 OK, 6 Yes, 7 No) presses it and waits until the
//                                    box is gone
//   wait-exit PID TIMEOUT            EXIT <code> once the process has ended
//   stats HWND                       of the process that owns HWND: PID <pid>, HANDLES <n>,
//                                    WORKSET <bytes>, PRIVATE <bytes> (-1: no figure)
//   sleep MS
//   quit                             ends the driver
// clang-format on
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

HANDLE g_out;

std::string Utf8(const wchar_t* text, int length)
{
    if (length == 0)
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
    return result;
}

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring result(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &result[0], size);
    return result;
}

std::string Escape(const std::wstring& text)
{
    std::string raw = Utf8(text.data(), (int)text.size());
    std::string result;
    for (char c : raw) {
        switch (c) {
        case '\\': result += "\\\\"; break;
        case '\t': result += "\\t"; break;
        case '\r': result += "\\r"; break;
        case '\n': result += "\\n"; break;
        default: result += c;
        }
    }
    return result;
}

void Emit(const std::string& line)
{
    std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(g_out, data.data(), (DWORD)data.size(), &written, nullptr);
}

std::string Hex(HWND hwnd)
{
    char text[20];
    snprintf(text, sizeof text, "%lx", (unsigned long)(ULONG_PTR)hwnd);
    return text;
}

HWND ParseHwnd(const std::string& text)
{
    return (HWND)(ULONG_PTR)strtoul(text.c_str(), nullptr, 16);
}

long ParseLong(const std::string& text)
{
    return strtol(text.c_str(), nullptr, 0);
}

std::wstring WindowText(HWND hwnd)
{
    // WM_GETTEXT rather than GetWindowTextW: for a window of another process the
    // latter returns only the caption cached by the system, never a control's text.
    LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0)
        return std::wstring();
    std::vector<wchar_t> buffer(length + 2, L'\0');
    LRESULT got = SendMessageW(hwnd, WM_GETTEXT, buffer.size(), (LPARAM)buffer.data());
    return std::wstring(buffer.data(), got > 0 ? got : 0);
}

std::wstring ClassOf(HWND hwnd)
{
    wchar_t name[128] = {0};
    GetClassNameW(hwnd, name, 127);
    return name;
}

bool IsVisibleDialog(HWND hwnd)
{
    return IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770";
}

struct Search {
    std::wstring title_part; // empty: any title
    HWND owner;              // null: any owner
    bool need_menu;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND hwnd, LPARAM param)
{
    Search* search = (Search*)param;
    if (!IsVisibleDialog(hwnd))
        return TRUE;
    if (search->owner && GetWindow(hwnd, GW_OWNER) != search->owner)
        return TRUE;
    if (search->need_menu && !GetMenu(hwnd))
        return TRUE;
    if (!search->title_part.empty() &&
        WindowText(hwnd).find(search->title_part) == std::wstring::npos)
        return TRUE;
    search->found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> FindDialogs(const std::wstring& title_part, HWND owner, bool need_menu)
{
    Search search{title_part, owner, need_menu, {}};
    EnumWindows(CollectDialog, (LPARAM)&search);
    return search.found;
}

// Polls until a matching dialog shows up or the time is over.
HWND WaitDialog(const std::wstring& title_part, HWND owner, bool need_menu, long timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> found = FindDialogs(title_part, owner, need_menu);
        if (!found.empty())
            return found.front();
        if ((long)(GetTickCount() - start) >= timeout_ms)
            return nullptr;
        Sleep(20);
    }
}

// Waits for a dialog owned by OWNER (whose title holds TITLE_PART, when given)
// and reports it: DIALOG <hwnd> <title>.
HWND WaitOwnedDialog(HWND owner, long timeout_ms, const wchar_t* title_part = L"")
{
    HWND dialog = WaitDialog(title_part, owner, false, timeout_ms);
    if (dialog)
        Emit("DIALOG\t" + Hex(dialog) + "\t" + Escape(WindowText(dialog)));
    return dialog;
}

// The message a mouse click on button ID sends to its dialog.
void PressButton(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

bool WaitGone(HWND hwnd, long timeout_ms);

// The static control that holds a message box's text, and the buttons a
// message box can have (OK, Cancel, Abort, Retry, Ignore, Yes, No).
const int MessageTextId = 0xFFFF;
const int MessageButtons[] = {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO};

// Waits for a message box of the program, reports its title, text, visible
// buttons and default button, and presses BUTTON unless it is 0.
std::string MessageBoxCommand(HWND owner, long timeout_ms, int button)
{
    HWND box = WaitOwnedDialog(owner, timeout_ms, L"Kelvashin");
    if (!box)
        return "no message box";
    Emit("TEXT\t" + Escape(WindowText(GetDlgItem(box, MessageTextId))));
    std::string buttons = "BUTTONS";
    for (int id : MessageButtons) {
        HWND control = GetDlgItem(box, id);
        if (control && IsWindowVisible(control))
            buttons += "\t" + std::to_string(id);
    }
    Emit(buttons);
    // The default button is the one drawn as such (Enter presses it while it
    // has the focus); Wine's box leaves DM_GETDEFID at its template's IDOK.
    int default_id = 0;
    for (int id : MessageButtons) {
        HWND control = GetDlgItem(box, id);
        if (control && IsWindowVisible(control) &&
            (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            default_id = id;
    }
    Emit("DEFAULT\t" + std::to_string(default_id));
    if (button == 0)
        return "";
    if (!GetDlgItem(box, button))
        return "no button " + std::to_string(button);
    PressButton(box, button);
    return WaitGone(box, timeout_ms) ? "" : "message box still open";
}

bool WaitGone(HWND hwnd, long timeout_ms)
{
    DWORD start = GetTickCount();
    while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
        if ((long)(GetTickCount() - start) >= timeout_ms)
            return false;
        Sleep(20);
    }
    return true;
}

BOOL CALLBACK ListWindow(HWND hwnd, LPARAM)
{
    if (!IsWindowVisible(hwnd))
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char pid_text[16];
    snprintf(pid_text, sizeof pid_text, "%lu", (unsigned long)pid);
    Emit("WIN\t" + Hex(hwnd) + "\t" + pid_text + "\t" + Hex(GetWindow(hwnd, GW_OWNER)) + "\t" +
         Escape(ClassOf(hwnd)) + "\t" + Escape(WindowText(hwnd)));
    return TRUE;
}

void PostKey(HWND dialog, UINT vk)
{
    // The focus belongs to the program's thread; ask that thread where it is.
    DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
    GUITHREADINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    HWND target = dialog;
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus)
        target = info.hwndFocus;
    UINT scan = MapVirtualKeyW(vk, 0);
    PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | 0xC0000000u);
}

// The file name box of the Explorer-style open dialog is cmb13 (0x47C); the
// older edt1 (0x480) is the fallback for the other style.
bool TypeFileName(HWND dialog, const std::wstring& path)
{
    HWND box = GetDlgItem(dialog, 0x47C);
    if (!box)
        box = GetDlgItem(dialog, 0x480);
    if (!box)
        return false;
    SendMessageW(box, WM_SETTEXT, 0, (LPARAM)path.c_str());
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        words.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    return words;
}

// Reads one line from standard input; false at its end.
bool ReadLine(HANDLE in, std::string& line)
{
    line.clear();
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0)
            return !line.empty();
        if (c == '\n')
            break;
        if (c != '\r')
            line += c;
    }
    return true;
}

// Runs one command; returns an empty string for success, else the reason.
std::string Run(const std::vector<std::string>& w, bool& quit)
{
    const std::string& cmd = w[0];
    size_t n = w.size();
    auto need = [&](size_t count) { return n >= count + 1; };

    if (cmd == "quit") {
        quit = true;
        return "";
    }
    if (cmd == "sleep" && need(1)) {
        Sleep(ParseLong(w[1]));
        return "";
    }
    if (cmd == "windows") {
        EnumWindows(ListWindow, 0);
        return "";
    }
    if (cmd == "wait-main" && need(1)) {
        HWND hwnd = WaitDialog(L"Kelvashin", nullptr, true, ParseLong(w[1]));
        if (!hwnd)
            return "no main window";
        Emit("MAIN\t" + Hex(hwnd));
        return "";
    }
    if (cmd == "wait-dialog" && need(2)) {
        HWND hwnd = WaitDialog(Wide(w[1]), nullptr, false, ParseLong(w[2]));
        if (!hwnd)
            return "no such dialog";
        Emit("DIALOG\t" + Hex(hwnd));
        return "";
    }
    if (cmd == "wait-owned" && need(2)) {
        return WaitOwnedDialog(ParseHwnd(w[1]), ParseLong(w[2])) ? "" : "no owned dialog";
    }
    if (cmd == "count-dialogs" && need(1)) {
        char text[16];
        snprintf(text, sizeof text, "%u", (unsigned)FindDialogs(Wide(w[1]), nullptr, false).size());
        Emit(std::string("COUNT\t") + text);
        return "";
    }
    if (cmd == "wait-gone" && need(2)) {
        return WaitGone(ParseHwnd(w[1]), ParseLong(w[2])) ? "" : "still there";
    }
    if (cmd == "title" && need(1)) {
        HWND hwnd = ParseHwnd(w[1]);
        if (!IsWindow(hwnd))
            return "no window";
        Emit("TEXT\t" + Escape(WindowText(hwnd)));
        return "";
    }

    // The rest address a window and, mostly, one of its controls.
    if (n < 2)
        return "missing arguments";
    HWND hwnd = ParseHwnd(w[1]);
    if (!IsWindow(hwnd))
        return "no window";
    HWND control = need(2) ? GetDlgItem(hwnd, (int)ParseLong(w[2])) : nullptr;

    if (cmd == "menu" && need(2)) {
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(ParseLong(w[2]), 0), 0);
        return "";
    }
    if (cmd == "command" && need(3)) {
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(ParseLong(w[2]), ParseLong(w[3])),
                     (LPARAM)control);
        return "";
    }
    if (cmd == "close") {
        PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return "";
    }
    if (cmd == "key" && need(2)) {
        PostKey(hwnd, (UINT)ParseLong(w[2]));
        return "";
    }
    if (cmd == "exists" && need(2)) {
        Emit(std::string("EXISTS\t") + (control ? "1" : "0"));
        if (control) {
            Emit(std::string("VISIBLE\t") + (IsWindowVisible(control) ? "1" : "0"));
            Emit("CLASS\t" + Escape(ClassOf(control)));
        }
        return "";
    }
    if (cmd == "file-dialog" && need(3)) {
        HWND dialog = WaitOwnedDialog(hwnd, ParseLong(w[3]));
        if (!dialog)
            return "no file dialog";
        // The dialog may still be filling itself in when it shows, and can then
        // put its own start name back or drop the OK: type and press OK again
        // until it closes, as a user would.
        const long timeout = ParseLong(w[3]);
        const DWORD start = GetTickCount();
        for (long wait = 1000; (long)(GetTickCount() - start) < timeout; wait = 5000) {
            Sleep(300);
            if (!TypeFileName(dialog, Wide(w[2])))
                return "no file name box";
            PressButton(dialog, IDOK);
            if (WaitGone(dialog, wait))
                return "";
        }
        return "file dialog still open";
    }
    if (cmd == "file-cancel" && need(2)) {
        HWND dialog = WaitOwnedDialog(hwnd, ParseLong(w[2]));
        if (!dialog)
            return "no file dialog";
        PressButton(dialog, IDCANCEL);
        return WaitGone(dialog, ParseLong(w[2])) ? "" : "file dialog still open";
    }
    if (cmd == "message" && need(2))
        return MessageBoxCommand(hwnd, ParseLong(w[2]), need(3) ? (int)ParseLong(w[3]) : 0);
    if (!control && need(2) && cmd != "wait-exit")
        return "no control " + w[2];

    if (cmd == "get" && need(2)) {
        Emit("TEXT\t" + Escape(WindowText(control)));
        return "";
    }
    if (cmd == "set" && need(2)) {
        std::wstring text = n > 3 ? Wide(w[3]) : std::wstring();
        SendMessageW(control, WM_SETTEXT, 0, (LPARAM)text.c_str());
        return "";
    }
    if (cmd == "combo" && need(2)) {
        LRESULT count = SendMessageW(control, CB_GETCOUNT, 0, 0);
        LRESULT sel = SendMessageW(control, CB_GETCURSEL, 0, 0);
        char text[32];
        snprintf(text, sizeof text, "COUNT\t%ld", (long)count);
        Emit(text);
        snprintf(text, sizeof text, "SEL\t%ld", (long)sel);
        Emit(text);
        for (LRESULT i = 0; i < count; ++i) {
            LRESULT length = SendMessageW(control, CB_GETLBTEXTLEN, i, 0);
            std::vector<wchar_t> item(length > 0 ? length + 2 : 2, L'\0');
            LRESULT got = SendMessageW(control, CB_GETLBTEXT, i, (LPARAM)item.data());
            Emit("ITEM\t" + Escape(std::wstring(item.data(), got > 0 ? got : 0)));
        }
        return "";
    }
    if (cmd == "choose" && need(3)) {
        LRESULT result = SendMessageW(control, CB_SETCURSEL, ParseLong(w[3]), 0);
        if (result == CB_ERR)
            return "no such item";
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(ParseLong(w[2]), CBN_SELCHANGE), (LPARAM)control);
        return "";
    }
    if (cmd == "click" && need(2)) {
        PressButton(hwnd, (int)ParseLong(w[2]));
        return "";
    }
    return "unknown command or missing arguments: " + cmd;
}

// wait-exit takes a process id, not a window; it is handled apart.
std::string WaitExit(const std::vector<std::string>& w)
{
    if (w.size() < 3)
        return "missing arguments";
    HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, (DWORD)ParseLong(w[1]));
    if (!process)
        return "no such process";
    DWORD wait = WaitForSingleObject(process, (DWORD)ParseLong(w[2]));
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (wait != WAIT_OBJECT_0)
        return "still running";
    char text[32];
    snprintf(text, sizeof text, "EXIT\t%lu", (unsigned long)code);
    Emit(text);
    return "";
}

// The memory counters of GetProcessMemoryInfo, declared here so that the driver
// needs no import library beyond kernel32; the call is looked up at run time
// (kernel32 holds it from Windows 7 on, psapi.dll before).
struct MemoryCounters {
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize;
    SIZE_T WorkingSetSize;
    SIZE_T QuotaPeakPagedPoolUsage;
    SIZE_T QuotaPagedPoolUsage;
    SIZE_T QuotaPeakNonPagedPoolUsage;
    SIZE_T QuotaNonPagedPoolUsage;
    SIZE_T PagefileUsage;
    SIZE_T PeakPagefileUsage;
};
typedef BOOL(WINAPI* MemoryInfoCall)(HANDLE, MemoryCounters*, DWORD);

// One entry of the system's handle table (NtQuerySystemInformation class 16).
struct SystemHandleEntry {
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID ObjectPointer;
    ULONG AccessMask;
};
typedef LONG(WINAPI* SystemInformationCall)(ULONG, PVOID, ULONG, PULONG);
const ULONG SystemHandleInformation = 16;
const LONG StatusInfoLengthMismatch = (LONG)0xC0000004;

void* FindCall(const char* library, const char* name)
{
    HMODULE module = LoadLibraryA(library);
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

// The handles a process holds, counted in the system's handle table: Wine's
// GetProcessHandleCount gives 0 for any other process, its table is complete.
long long CountHandles(DWORD pid)
{
    SystemInformationCall query =
        reinterpret_cast<SystemInformationCall>(FindCall("ntdll.dll", "NtQuerySystemInformation"));
    if (!query)
        return -1;
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    for (int tries = 0; tries < 8; ++tries) {
        ULONG needed = 0;
        status = query(SystemHandleInformation, buffer.data(), (ULONG)buffer.size(), &needed);
        if (status != StatusInfoLengthMismatch)
            break;
        buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
    }
    if (status != 0)
        return -1;
    ULONG entries = *reinterpret_cast<ULONG*>(buffer.data());
    // The entries start at the first multiple of the pointer size after the count.
    const SystemHandleEntry* entry =
        reinterpret_cast<const SystemHandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    long long count = 0;
    for (ULONG i = 0; i < entries; ++i)
        if (entry[i].OwnerPid == pid)
            ++count;
    return count;
}

// Handle and memory figures of the process that owns a window.
std::string Stats(const std::vector<std::string>& w)
{
    if (w.size() < 2)
        return "missing arguments";
    HWND hwnd = ParseHwnd(w[1]);
    DWORD pid = 0;
    if (!IsWindow(hwnd) || !GetWindowThreadProcessId(hwnd, &pid))
        return "no window";
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process)
        return "no such process";
    MemoryInfoCall memoryInfo =
        reinterpret_cast<MemoryInfoCall>(FindCall("kernel32.dll", "K32GetProcessMemoryInfo"));
    if (!memoryInfo)
        memoryInfo =
            reinterpret_cast<MemoryInfoCall>(FindCall("psapi.dll", "GetProcessMemoryInfo"));
    MemoryCounters memory;
    memset(&memory, 0, sizeof memory);
    memory.cb = sizeof memory;
    long long workset = -1;
    long long privateBytes = -1;
    if (memoryInfo && memoryInfo(process, &memory, sizeof memory)) {
        workset = (long long)memory.WorkingSetSize;
        privateBytes = (long long)memory.PagefileUsage;
    }
    CloseHandle(process);
    char text[64];
    snprintf(text, sizeof text, "PID\t%lu", (unsigned long)pid);
    Emit(text);
    snprintf(text, sizeof text, "HANDLES\t%lld", CountHandles(pid));
    Emit(text);
    snprintf(text, sizeof text, "WORKSET\t%lld", workset);
    Emit(text);
    snprintf(text, sizeof text, "PRIVATE\t%lld", privateBytes);
    Emit(text);
    return "";
}

} // namespace

int main()
{
    g_out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    Emit("READY");
    std::string line;
    bool quit = false;
    while (!quit && ReadLine(in, line)) {
        if (line.empty())
            continue;
        std::vector<std::string> words = SplitTabs(line);
        std::string error = words[0] == "wait-exit" ? WaitExit(words)
                            : words[0] == "stats"   ? Stats(words)
                                                    : Run(words, quit);
        Emit(error.empty() ? "OK" : "ERR\t" + error);
    }
    return 0;
}
