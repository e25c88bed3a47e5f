// The kernel32 half of the stand-in that is not about files: version, last
// error, libraries and module lookups, and code-page conversion.
#include "standin.h"
#include "text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

namespace standin {

std::vector<std::string> Calls;

namespace {
DWORD platformId = VER_PLATFORM_WIN32_NT;
DWORD buildNumber = 7601;
bool wideAvailable = true;
DWORD lastError = 0;
std::set<std::string> missing;
} // namespace

void ResetWindow();

void Reset()
{
    Calls.clear();
    platformId = VER_PLATFORM_WIN32_NT;
    buildNumber = 7601;
    wideAvailable = true;
    lastError = 0;
    missing.clear();
    ResetWindow();
    ResetDisk();
    ResetFiles();
}

void Log(const std::string& line) { Calls.push_back(line); }

std::vector<std::string> CallsStartingWith(const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& call : Calls)
        if (call.compare(0, prefix.size(), prefix) == 0)
            found.push_back(call);
    return found;
}

void SetVersion(DWORD platform, DWORD build)
{
    platformId = platform;
    buildNumber = build;
}

bool Family9x()
{
    return platformId == VER_PLATFORM_WIN32_WINDOWS;
}

void SetWideFunctionsAvailable(bool available) { wideAvailable = available; }

void SetMissing(const std::string& libraryOrFunction)
{
    missing.insert(libraryOrFunction);
}

std::wstring WidenUtf8(const char* s)
{
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        unsigned c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= extra == 3 ? 0x07 : extra == 2 ? 0x0F : extra == 1 ? 0x1F : 0x7F;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra)
            c = (c << 6) | (*p++ & 0x3F);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

std::string NarrowUtf8(const std::wstring& wide)
{
    std::string out;
    for (wchar_t w : wide) {
        const auto c = static_cast<unsigned>(w);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace standin

using namespace standin;

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    Log("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) + ")");
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
        return FALSE;
    info->dwMajorVersion = platformId == VER_PLATFORM_WIN32_WINDOWS ? 4 : 6;
    info->dwMinorVersion = platformId == VER_PLATFORM_WIN32_WINDOWS ? 0 : 1;
    // The 9x family keeps the version in the high word of the build number.
    info->dwBuildNumber =
        platformId == VER_PLATFORM_WIN32_WINDOWS ? (0x04000000u | buildNumber) : buildNumber;
    info->dwPlatformId = platformId;
    info->szCSDVersion[0] = '\0';
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name)
{
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(name ? 0x7000 : 0x400000));
}

namespace {
// The real GetProcAddress hands back an untyped pointer; so does this one.
template <typename Function> FARPROC Untyped(Function* function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// The libraries that LoadLibraryA finds, each with its handle, and the
// functions of them that the program looks up.
struct Library {
    const char* name;
    std::uintptr_t handle;
    const char* function;
    FARPROC address;
};
const Library Libraries[] = {
    {"comdlg32.dll", 0x7100, "GetOpenFileNameA", Untyped(&GetOpenFileNameA)},
    {"comdlg32.dll", 0x7100, "CommDlgExtendedError", Untyped(&CommDlgExtendedError)},
    {"shell32.dll", 0x7200, "ShellExecuteA", Untyped(&ShellExecuteA)},
};

bool IsMissing(const std::string& libraryOrFunction)
{
    return missing.count(libraryOrFunction) != 0;
}

std::string Lower(const char* text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}
} // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR name)
{
    Log(std::string("LoadLibraryA(") + name + ")");
    for (const Library& library : Libraries)
        if (Lower(name) == library.name && !IsMissing(library.name))
            return reinterpret_cast<HMODULE>(library.handle);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    Log(std::string("GetProcAddress(") + name + ")");
    if (wideAvailable && std::strcmp(name, "SetDlgItemTextW") == 0)
        return Untyped(&SetDlgItemTextW);
    if (wideAvailable && std::strcmp(name, "MessageBoxW") == 0)
        return Untyped(&MessageBoxW);
    if (std::strcmp(name, "MoveFileExA") == 0 && !IsMissing(name))
        return Untyped(&MoveFileExA);
    for (const Library& library : Libraries)
        if (reinterpret_cast<HMODULE>(library.handle) == module &&
            std::strcmp(name, library.function) == 0 && !IsMissing(name))
            return library.address;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetLastError() { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR multi, int multiCount, LPWSTR wide, int wideSize)
{
    std::wstring text = WidenUtf8(
        multiCount < 0 ? std::string(multi).c_str()
                       : std::string(multi, static_cast<std::size_t>(multiCount)).c_str());
    if (multiCount < 0)
        text.push_back(L'\0');
    if (wideSize == 0)
        return static_cast<int>(text.size());
    if (text.size() > static_cast<std::size_t>(wideSize))
        return 0;
    std::copy(text.begin(), text.end(), wide);
    return static_cast<int>(text.size());
}

// The system's text for an error: "System error N." on this host.
DWORD WINAPI FormatMessageA(DWORD, LPCVOID, DWORD id, DWORD, LPSTR buffer, DWORD size, void*)
{
    Log("FormatMessageA(" + std::to_string(id) + ")");
    const std::string text = "System error " + std::to_string(id) + ".\r\n";
    if (text.size() + 1 > size)
        return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

int WINAPI WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideCount, LPSTR multi,
                               int multiSize, LPCSTR, LPBOOL)
{
    std::wstring text = wideCount < 0 ? std::wstring(wide) : std::wstring(wide, static_cast<std::size_t>(wideCount));
    std::string narrow = NarrowUtf8(text);
    if (wideCount < 0)
        narrow.push_back('\0');
    if (multiSize == 0)
        return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<std::size_t>(multiSize))
        return 0;
    std::memcpy(multi, narrow.data(), narrow.size());
    return static_cast<int>(narrow.size());
}
