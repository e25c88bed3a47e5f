// Boot sector image files: the 512 bytes of the record, moved with the standard
// library's buffered streams, and the file dialog that names them.
#include "image/image_file.h"

#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

char ImagePath[ImagePathSize];
ImageError LastImageError = {};

namespace {

constexpr std::size_t ImageSize = 512;
// The record as Windows 95 and NT 4.0 know it; later fields are left out.
constexpr DWORD FileDialogRecordSize = 76;
constexpr DWORD FirstFilter = 1;
constexpr char NewFilePrefix[] = "kel"; // names of the not yet complete files
constexpr DWORD PathBufferSize = MAX_PATH;

// The one file dialog record of the process, set up anew before each use.
OPENFILENAMEA FileDialog;

typedef BOOL(WINAPI* OpenFileDialogFunction)(OPENFILENAMEA*);
static_assert(std::is_same_v<OpenFileDialogFunction, decltype(&GetOpenFileNameA)>);

// COMDLG32 is loaded by the first file command, not at start-up. Each use
// takes one more reference and gives none back, so the library stays loaded
// for the rest of the process, as an import would.
typedef DWORD(WINAPI* DialogErrorFunction)();
static_assert(std::is_same_v<DialogErrorFunction, decltype(&CommDlgExtendedError)>);

FARPROC DialogLibraryFunction(const char* name)
{
    HMODULE library = LoadLibraryA("comdlg32.dll");
    return library == nullptr ? nullptr : GetProcAddress(library, name);
}

OpenFileDialogFunction FileDialogFunction()
{
    return reinterpret_cast<OpenFileDialogFunction>(
        reinterpret_cast<void (*)()>(DialogLibraryFunction("GetOpenFileNameA")));
}

// Why the dialog gave no file: 0 when the user cancelled it.
DWORD FileDialogError()
{
    const auto dialogError = reinterpret_cast<DialogErrorFunction>(
        reinterpret_cast<void (*)()>(DialogLibraryFunction("CommDlgExtendedError")));
    return dialogError == nullptr ? 0 : dialogError();
}

} // namespace

bool ChooseImagePath(HWND owner, const char* title, const char* filter)
{
    // Without COMDLG32 the command goes as a cancelled dialog.
    OpenFileDialogFunction openFileDialog = FileDialogFunction();
    if (openFileDialog == nullptr)
        return false;
    std::memset(&FileDialog, 0, sizeof FileDialog);
    FileDialog.lStructSize = FileDialogRecordSize;
    FileDialog.hwndOwner = owner;
    FileDialog.nFilterIndex = FirstFilter;
    FileDialog.lpstrFile = ImagePath;
    FileDialog.nMaxFile = ImagePathSize;
    FileDialog.lpstrTitle = title;
    FileDialog.lpstrFilter = filter;
    // Hide the read-only box; no must-exist or overwrite prompt, no default extension.
    FileDialog.Flags = OFN_HIDEREADONLY;
    // A dialog that fails (a chosen path longer than the buffer, say) writes the
    // size it needed over the start of the path; put back the path chosen last,
    // which the next dialog starts from.
    char chosenLast[ImagePathSize];
    std::memcpy(chosenLast, ImagePath, ImagePathSize);
    LastImageError = {};
    if (openFileDialog(&FileDialog) != 0)
        return true;
    std::memcpy(ImagePath, chosenLast, ImagePathSize);
    if (const DWORD error = FileDialogError())
        LastImageError = {ImageStepDialog, error};
    return false;
}

void NoteImageError(std::uint8_t step, DWORD code)
{
    LastImageError = {step, code};
}

// The C library's file calls go through the system's file functions, which
// leave the reason for a failure in the thread's last error.
bool ReadImageFile(const char* path, std::uint8_t* sector)
{
    SetLastError(ERROR_SUCCESS);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        NoteImageError(ImageStepOpen, GetLastError());
        return false;
    }
    const std::size_t read = std::fread(sector, 1, ImageSize, file);
    const bool failed = std::ferror(file) != 0;
    const DWORD error = GetLastError();
    std::fclose(file);
    if (read == ImageSize)
        return true;
    if (failed)
        NoteImageError(ImageStepRead, error);
    else
        NoteImageError(ImageStepShort, static_cast<DWORD>(read));
    return false;
}

bool WriteImageFile(const char* path, const std::uint8_t* sector)
{
    SetLastError(ERROR_SUCCESS);
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        NoteImageError(ImageStepCreate, GetLastError());
        return false;
    }
    const std::size_t written = std::fwrite(sector, 1, ImageSize, file);
    const DWORD writeError = GetLastError();
    // Buffered bytes reach the file only at the close, which can fail too.
    const bool closed = std::fclose(file) == 0;
    if (written != ImageSize)
        NoteImageError(ImageStepWrite, writeError);
    else if (!closed)
        NoteImageError(ImageStepClose, GetLastError());
    return written == ImageSize && closed;
}

bool PathExists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool FileExists(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FileBytes(const char* path, std::uint64_t* bytes)
{
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        NoteImageError(ImageStepReplace, GetLastError());
        return false;
    }
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = GetFileSize(file, &high);
    const bool known = low != INVALID_FILE_SIZE || GetLastError() == ERROR_SUCCESS;
    if (!known)
        NoteImageError(ImageStepReplace, GetLastError());
    CloseHandle(file);
    *bytes = (std::uint64_t{high} << 32) | low;
    return known;
}

namespace {

typedef BOOL(WINAPI* MoveFileExFunction)(const char*, const char*, DWORD);

// The folder part of path with its last separator ("C:\\" stays the root, not
// the current folder of C:); "." when path has no separator.
void FolderOf(const char* path, char* folder)
{
    const char* end = nullptr;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/')
            end = p;
    if (end == nullptr) {
        std::strcpy(folder, ".");
        return;
    }
    const std::size_t length = static_cast<std::size_t>(end - path) + 1;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
}

// A file name in folder that nothing else uses, reserved by creating the file.
bool ReserveNewFile(const char* folder, char* name)
{
    return GetTempFileNameA(folder, NewFilePrefix, 0, name) != 0;
}

// MoveFileExA exists on the NT family only; it is looked up when first needed.
MoveFileExFunction FindMoveFileEx()
{
    FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "MoveFileExA");
    return reinterpret_cast<MoveFileExFunction>(reinterpret_cast<void (*)()>(found));
}

// The 9x family's replacement: the old file goes aside under a reserved name,
// the new file takes its name, and only then is the old one deleted.
bool RenameIntoPlace(const char* newFile, const char* path, const char* folder)
{
    if (!PathExists(path))
        return MoveFileA(newFile, path) != 0;
    char aside[PathBufferSize];
    if (!ReserveNewFile(folder, aside))
        return false;
    DeleteFileA(aside); // the name stays ours for the moment the rename needs
    if (!MoveFileA(path, aside)) {
        const DWORD error = GetLastError();
        DeleteFileA(aside); // in case the reserved file could not be deleted above
        SetLastError(error);
        return false;
    }
    if (!MoveFileA(newFile, path)) {
        const DWORD error = GetLastError();
        MoveFileA(aside, path);
        SetLastError(error);
        return false;
    }
    DeleteFileA(aside);
    return true;
}

bool MoveIntoPlace(const char* newFile, const char* path, const char* folder, bool replaceExisting)
{
    if (replaceExisting)
        if (MoveFileExFunction moveFileEx = FindMoveFileEx())
            return moveFileEx(newFile, path, MOVEFILE_REPLACE_EXISTING) != 0;
    return RenameIntoPlace(newFile, path, folder);
}

} // namespace

bool ReplaceImageFile(const char* path, const std::uint8_t* sector, bool replaceExisting)
{
    // A folder is never replaced, nor renamed aside.
    if (PathExists(path) && !FileExists(path)) {
        NoteImageError(ImageStepReplace, ERROR_ACCESS_DENIED);
        return false;
    }
    char folder[PathBufferSize];
    char newFile[PathBufferSize];
    FolderOf(path, folder);
    if (!ReserveNewFile(folder, newFile)) {
        NoteImageError(ImageStepCreate, GetLastError());
        return false;
    }
    if (!WriteImageFile(newFile, sector)) {
        DeleteFileA(newFile);
        return false;
    }
    if (!MoveIntoPlace(newFile, path, folder, replaceExisting)) {
        NoteImageError(ImageStepReplace, GetLastError());
        DeleteFileA(newFile);
        return false;
    }
    return true;
}
