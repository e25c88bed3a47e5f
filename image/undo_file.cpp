// Undo files: before a write replaces a drive's sector, the sector it held is
// saved where the user can find it again, under a name that says which drive
// and when.
#include "image/undo_file.h"

#include "image/image_file.h"

#include <cstdio>
#include <cstring>

char UndoPath[UndoPathSize];

namespace {

constexpr char BackupFolderName[] = "backup";
constexpr unsigned LastSuffix = 9999; // "-2" to "-9999"; a folder that full is not written
// "<stem>-yyyymmdd-hhmmss-nnnn.bin" and its terminator.
constexpr std::size_t NameSize = MaxUndoStem + 26;

// The separator used in the exe's own path, so that paths are joined the way
// the system writes them.
char Separator = '\\';

// The folder of the exe, with its separator, then "backup" and a separator.
// False when the path does not fit.
bool BackupFolder(char* folder)
{
    const DWORD length = GetModuleFileNameA(nullptr, folder, UndoPathSize);
    if (length == 0 || length >= UndoPathSize)
        return false;
    char* end = nullptr;
    for (char* p = folder; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/')
            end = p;
    if (end == nullptr)
        return false;
    Separator = *end;
    const std::size_t used = static_cast<std::size_t>(end - folder) + 1;
    if (used + sizeof BackupFolderName + 1 > UndoPathSize)
        return false;
    std::sprintf(end + 1, "%s%c", BackupFolderName, Separator);
    return true;
}

// Makes the folder (given with its last separator) unless it is there already.
bool MakeFolder(char* folder)
{
    const std::size_t length = std::strlen(folder);
    folder[length - 1] = '\0';
    const bool made =
        CreateDirectoryA(folder, nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
    folder[length - 1] = Separator;
    return made;
}

// Saves the sector in folder (which ends in a separator) under the first free
// name for this moment.
bool SaveIn(const char* folder, const char* stem, const std::uint8_t* sector)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    if (std::strlen(folder) + NameSize > UndoPathSize) {
        LastImageError = {ImageStepCreate, ERROR_FILENAME_EXCED_RANGE};
        return false;
    }
    for (unsigned n = 1; n <= LastSuffix; ++n) {
        char name[NameSize + 8];
        int used = std::sprintf(name, "%.47s-%04u%02u%02u-%02u%02u%02u", stem, now.wYear,
                                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
        if (n > 1)
            used += std::sprintf(name + used, "-%u", n);
        std::strcpy(name + used, ".bin");
        std::sprintf(UndoPath, "%s%s", folder, name);
        if (PathExists(UndoPath))
            continue;
        if (WriteImageFile(UndoPath, sector))
            return true;
        DeleteFileA(UndoPath); // never leave a partial undo file behind
        return false;
    }
    LastImageError = {ImageStepCreate, ERROR_FILE_EXISTS};
    return false;
}

} // namespace

bool SaveUndoFile(const char* stem, const std::uint8_t* sector)
{
    char folder[UndoPathSize];
    if (BackupFolder(folder) && MakeFolder(folder) && SaveIn(folder, stem, sector))
        return true;
    // The temporary folder comes with its separator; room is left to add one.
    const DWORD length = GetTempPathA(UndoPathSize - 1, folder);
    if (length == 0 || length >= UndoPathSize - 1) {
        LastImageError = {ImageStepCreate, GetLastError()};
        UndoPath[0] = '\0';
        return false;
    }
    if (folder[length - 1] == '\\' || folder[length - 1] == '/')
        Separator = folder[length - 1];
    else
        std::sprintf(folder + length, "%c", Separator);
    if (SaveIn(folder, stem, sector))
        return true;
    UndoPath[0] = '\0';
    return false;
}
