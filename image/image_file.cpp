// Boot sector image files: the 512 bytes of the record, moved with the standard
// library's buffered streams, and the file dialog that names them.
#include "image/image_file.h"

#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

char ImagePath[ImagePathSize];

namespace {

constexpr std::size_t ImageSize = 512;
// The record as Windows 95 and NT 4.0 know it; later fields are left out.
constexpr DWORD FileDialogRecordSize = 76;
constexpr DWORD FirstFilter = 1;

// The one file dialog record of the process, set up anew before each use.
OPENFILENAMEA FileDialog;

typedef BOOL(WINAPI* OpenFileDialogFunction)(OPENFILENAMEA*);
static_assert(std::is_same_v<OpenFileDialogFunction, decltype(&GetOpenFileNameA)>);

// COMDLG32 is loaded by the first file command, not at start-up. Each use
// takes one more reference and gives none back, so the library stays loaded
// for the rest of the process, as an import would.
OpenFileDialogFunction FileDialogFunction()
{
    HMODULE library = LoadLibraryA("comdlg32.dll");
    if (library == nullptr)
        return nullptr;
    FARPROC found = GetProcAddress(library, "GetOpenFileNameA");
    return reinterpret_cast<OpenFileDialogFunction>(reinterpret_cast<void (*)()>(found));
}

} // namespace

bool ChooseImagePath(HWND owner, const char* title)
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
    // Hide the read-only box; no must-exist or overwrite prompt, no default extension.
    FileDialog.Flags = OFN_HIDEREADONLY;
    // A dialog that fails (a chosen path longer than the buffer, say) writes the
    // size it needed over the start of the path; put back the path chosen last,
    // which the next dialog starts from.
    char chosenLast[ImagePathSize];
    std::memcpy(chosenLast, ImagePath, ImagePathSize);
    if (openFileDialog(&FileDialog) != 0)
        return true;
    std::memcpy(ImagePath, chosenLast, ImagePathSize);
    return false;
}

bool ReadImageFile(const char* path, std::uint8_t* sector)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    const std::size_t read = std::fread(sector, 1, ImageSize, file);
    std::fclose(file);
    return read == ImageSize;
}

bool WriteImageFile(const char* path, const std::uint8_t* sector)
{
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    const std::size_t written = std::fwrite(sector, 1, ImageSize, file);
    // Buffered bytes reach the file only at the close, which can fail too.
    const bool closed = std::fclose(file) == 0;
    return written == ImageSize && closed;
}
