// Image files on real files in a scratch folder, and the file dialog's record.
#include "image/image_file.h"

#include "standin_disk.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder of its own under the test's temporary directory, removed with
// everything in it when the test ends.
struct ScratchFolder {
    std::string path;
    ScratchFolder()
    {
        path = testing::TempDir() + "kelvashin-image-XXXXXX";
        if (mkdtemp(path.data()) == nullptr)
            ADD_FAILURE() << "cannot make a scratch folder from " << path;
    }
    ~ScratchFolder() { std::filesystem::remove_all(path); }
};

Bytes Pattern(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + seed);
    return bytes;
}

void WriteAll(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct ReadCase {
    const char* name;
    int size; // bytes in the file; -1: no file; -2: a folder of that name
    bool answer;
    std::size_t taken; // leading bytes of the record that now come from the file
};

TEST(ReadImageFile, TakesTheFirst512BytesAndSaysWhetherAllArrived)
{
    const ScratchFolder scratch;
    const std::string& folder = scratch.path;
    const ReadCase cases[] = {
        {"longer than a sector", 700, true, 512},
        {"exactly a sector", 512, true, 512},
        {"300 bytes", 300, false, 300},
        {"empty", 0, false, 0},
        {"missing", -1, false, 0},
        {"a folder", -2, false, 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = folder + "/read" + std::to_string(++n) + ".img";
        const Bytes file = Pattern(c.size > 0 ? c.size : 0, 7);
        if (c.size >= 0) {
            WriteAll(path, file);
        } else if (c.size == -2) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        }
        std::array<std::uint8_t, 512> sector;
        sector.fill(0xEE);

        EXPECT_EQ(ReadImageFile(path.c_str(), sector.data()), c.answer) << c.name;
        for (std::size_t i = 0; i < sector.size(); ++i) {
            const std::uint8_t wanted = i < c.taken ? file[i] : 0xEE;
            if (sector[i] != wanted) {
                ADD_FAILURE() << c.name << ": byte " << i << " is " << int(sector[i])
                              << ", expected " << int(wanted);
                break;
            }
        }
    }
}

struct WriteCase {
    const char* name;
    const char* path; // under the scratch folder
    int existing;     // -1: nothing there; -2: a folder; else a file of that size
    bool answer;
};

TEST(WriteImageFile, CreatesOrReplacesWithExactlyTheSectorOrSaysItCouldNot)
{
    const ScratchFolder scratch;
    const std::string& folder = scratch.path;
    // Running as root, permission bits do not stop a write; these targets cannot
    // be written for any user.
    const WriteCase cases[] = {
        {"new file", "/new.img", -1, true},
        {"existing longer file replaced", "/old.img", 2000, true},
        {"existing shorter file replaced", "/short.img", 10, true},
        {"no extension", "/bootsector", -1, true},
        {"inside a missing folder", "/missing/x.img", -1, false},
        {"a folder of that name", "/folder.img", -2, false},
    };
    const Bytes sector = Pattern(512, 99);
    for (const auto& c : cases) {
        const std::string path = folder + c.path;
        if (c.existing >= 0) {
            WriteAll(path, Pattern(static_cast<std::size_t>(c.existing), 1));
        } else if (c.existing == -2) {
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        }

        EXPECT_EQ(WriteImageFile(path.c_str(), sector.data()), c.answer) << c.name;
        if (c.answer) {
            EXPECT_EQ(ReadAll(path), sector) << c.name << ": the file is not the sector";
        } else if (c.existing == -2) {
            EXPECT_TRUE(IsDirectory(path)) << c.name;
        } else {
            EXPECT_EQ(access(path.c_str(), F_OK), -1) << c.name << ": a file appeared";
        }
    }
}

TEST(WriteImageFile, ReportsBytesThatNeverReachedAFullDevice)
{
    // The bytes sit in the stream's buffer until the close, which then fails.
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full here";
    const Bytes sector = Pattern(512, 5);
    EXPECT_FALSE(WriteImageFile("/dev/full", sector.data()));
}

TEST(ImageFiles, ExportThenImportGivesTheSectorBack)
{
    const ScratchFolder scratch;
    const std::string path = scratch.path + "/round.img";
    const Bytes sector = Pattern(512, 42);
    ASSERT_TRUE(WriteImageFile(path.c_str(), sector.data()));
    std::array<std::uint8_t, 512> back{};
    ASSERT_TRUE(ReadImageFile(path.c_str(), back.data()));
    EXPECT_TRUE(std::equal(back.begin(), back.end(), sector.begin()));
}

TEST(ChooseImagePath, SetsUpTheRecordAndKeepsThePathBetweenUses)
{
    standin::Reset();
    ImagePath[0] = '\0';
    HWND owner = standin::NewWindow();
    std::vector<OPENFILENAMEA> seen;
    std::string choice = "C:\\images\\floppy.img";
    standin::OnOpenFileName = [&](OPENFILENAMEA* dialog) {
        seen.push_back(*dialog);
        return standin::ChooseFile(dialog, choice);
    };
    ASSERT_TRUE(ChooseImagePath(owner, "Import"));
    EXPECT_STREQ(ImagePath, "C:\\images\\floppy.img");
    choice = "D:\\out"; // typed without an extension, taken as typed
    ASSERT_TRUE(ChooseImagePath(owner, "Export"));
    EXPECT_STREQ(ImagePath, "D:\\out");

    // Size, owner, filter, filter index, file-name field, its size, title, flags,
    // default extension, as the dialog was handed them; the second use starts
    // from the path the first one chose.
    EXPECT_EQ(standin::CallsStartingWith("GetOpenFileNameA"),
              (std::vector<std::string>{
                  "GetOpenFileNameA(76, owner, filter null, index 1, file \"\", max "
                  "256, title Import, flags 0x4, ext null)",
                  "GetOpenFileNameA(76, owner, filter null, index 1, file "
                  "\"C:\\images\\floppy.img\", max 256, title Export, flags 0x4, ext null)"}));
    for (const auto& r : seen) {
        EXPECT_EQ(r.hwndOwner, owner);
        EXPECT_EQ(r.lpstrFile, ImagePath);
        EXPECT_TRUE(r.hInstance == nullptr && r.lpstrCustomFilter == nullptr &&
                    r.nMaxCustFilter == 0 && r.lpstrFileTitle == nullptr && r.nMaxFileTitle == 0 &&
                    r.lpstrInitialDir == nullptr && r.lCustData == 0 && r.lpfnHook == nullptr &&
                    r.lpTemplateName == nullptr)
            << "a field that stays empty was set";
    }
}

TEST(ChooseImagePath, NoFileChosenGivesFalseAndKeepsThePath)
{
    // The user cancels (no hook), or the system lacks COMDLG32 or the function
    // in it: the library is loaded on first use, so only then does that show.
    struct Case {
        const char* missing;
        std::size_t dialogs;
    };
    const Case cases[] = {{nullptr, 1}, {"comdlg32.dll", 0}, {"GetOpenFileNameA", 0}};
    for (const auto& c : cases) {
        standin::Reset();
        if (c.missing != nullptr)
            standin::SetMissing(c.missing);
        std::snprintf(ImagePath, ImagePathSize, "%s", "A:\\kept.img");
        EXPECT_FALSE(ChooseImagePath(standin::NewWindow(), "Import"));
        EXPECT_STREQ(ImagePath, "A:\\kept.img");
        EXPECT_EQ(standin::CallsStartingWith("GetOpenFileNameA").size(), c.dialogs)
            << (c.missing ? c.missing : "cancel");
    }
}

} // namespace
