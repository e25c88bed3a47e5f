// The half of the stand-in that works on the host's own files: the exe's and
// the temporary folder, folders, renames, unique names, the clock, and message
// boxes. Each call follows the Win32 reference as far as the program relies on
// it: MoveFileA never replaces an existing file, MoveFileExA does with
// MOVEFILE_REPLACE_EXISTING, GetTempFileNameA creates the file it names, and
// every failure sets the last error (from errno, mapped to the Win32 codes the
// program may meet).
#include "standin.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

std::vector<MessageBoxCall> MessageBoxes;
std::function<int(const MessageBoxCall&)> OnMessageBox;
SYSTEMTIME LocalTime;

namespace {

std::string scratch; // made once per process, emptied at each reset

void RemoveAll(const std::string& path)
{
    const std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "stand-in: could not remove %s\n", path.c_str());
}

void RemoveScratch()
{
    if (!scratch.empty())
        RemoveAll(scratch);
}

DWORD Win32Error(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return 3; // ERROR_PATH_NOT_FOUND
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return 1; // ERROR_INVALID_FUNCTION
    }
}

BOOL FailFromErrno()
{
    SetLastError(Win32Error(errno));
    return FALSE;
}

bool Exists(const char* path)
{
    struct stat info;
    return stat(path, &info) == 0;
}

} // namespace

std::string AppFolder()
{
    return scratch + "/app/";
}

std::string TempFolder()
{
    return scratch + "/temp/";
}

void ResetFiles()
{
    MessageBoxes.clear();
    OnMessageBox = nullptr;
    LocalTime = {2026, 12, 2, 8, 14, 5, 9, 0};
    if (scratch.empty()) {
        char pattern[] = "/tmp/kelvashin-standin-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            std::abort();
        scratch = pattern;
        std::atexit(RemoveScratch);
    }
    RemoveAll(scratch + "/app");
    RemoveAll(scratch + "/temp");
    mkdir(AppFolder().c_str(), 0755);
    mkdir(TempFolder().c_str(), 0755);
}

} // namespace standin

using namespace standin;

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR, UINT type)
{
    Log("MessageBoxA(" + std::to_string(type) + ")");
    MessageBoxes.push_back({owner, text, type, false});
    if (OnMessageBox)
        return OnMessageBox(MessageBoxes.back());
    return (type & MB_YESNO) == MB_YESNO ? IDNO : IDOK;
}

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR, UINT type)
{
    Log("MessageBoxW(" + std::to_string(type) + ")");
    if (Family9x())
        return 0; // a stub there: no box
    MessageBoxes.push_back({owner, NarrowUtf8(text), type, true});
    if (OnMessageBox)
        return OnMessageBox(MessageBoxes.back());
    return (type & MB_YESNO) == MB_YESNO ? IDNO : IDOK;
}

DWORD WINAPI GetModuleFileNameA(HMODULE, LPSTR path, DWORD size)
{
    const std::string name = AppFolder() + "kelvashin.exe";
    if (name.size() >= size)
        return 0;
    std::memcpy(path, name.c_str(), name.size() + 1);
    return static_cast<DWORD>(name.size());
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR path)
{
    const std::string name = TempFolder();
    if (name.size() >= size)
        return static_cast<DWORD>(name.size() + 1);
    std::memcpy(path, name.c_str(), name.size() + 1);
    return static_cast<DWORD>(name.size());
}

void WINAPI GetLocalTime(LPSYSTEMTIME time)
{
    *time = LocalTime;
}

// Returns at once: the tests see the wait in the log, not in their run time.
void WINAPI Sleep(DWORD milliseconds)
{
    Log("Sleep(" + std::to_string(milliseconds) + ")");
}

DWORD WINAPI GetFileAttributesA(LPCSTR path)
{
    struct stat info;
    if (stat(path, &info) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES)
{
    Log(std::string("CreateDirectoryA(") + path + ")");
    if (ScriptedFailure("CreateDirectoryA"))
        return FALSE;
    return mkdir(path, 0755) == 0 ? TRUE : FailFromErrno();
}

BOOL WINAPI DeleteFileA(LPCSTR path)
{
    Log(std::string("DeleteFileA(") + path + ")");
    if (ScriptedFailure("DeleteFileA"))
        return FALSE;
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return unlink(path) == 0 ? TRUE : FailFromErrno();
}

BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to)
{
    Log(std::string("MoveFileA(") + from + ", " + to + ")");
    if (ScriptedFailure("MoveFileA"))
        return FALSE;
    if (Exists(to)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    return std::rename(from, to) == 0 ? TRUE : FailFromErrno();
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    Log(std::string("MoveFileExA(") + from + ", " + to + ", " + std::to_string(flags) + ")");
    if (ScriptedFailure("MoveFileExA"))
        return FALSE;
    struct stat info;
    if (stat(to, &info) == 0 &&
        (S_ISDIR(info.st_mode) || (flags & MOVEFILE_REPLACE_EXISTING) == 0)) {
        SetLastError(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    return std::rename(from, to) == 0 ? TRUE : FailFromErrno();
}

UINT WINAPI GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT, LPSTR name)
{
    Log(std::string("GetTempFileNameA(") + folder + ")");
    if (ScriptedFailure("GetTempFileNameA"))
        return 0;
    std::string base = folder;
    if (!base.empty() && base.back() != '/' && base.back() != '\\')
        base += '/';
    for (unsigned n = 1; n < 0x10000; ++n) {
        char unique[8];
        std::snprintf(unique, sizeof unique, "%X", n);
        const std::string path = base + prefix + unique + ".tmp";
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd >= 0) {
            close(fd);
            std::memcpy(name, path.c_str(), path.size() + 1);
            return n;
        }
        if (errno != EEXIST) {
            FailFromErrno();
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}
