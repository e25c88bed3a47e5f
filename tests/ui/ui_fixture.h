// A main window on the Win32 stand-in, with a fresh record, for the form tests.
#pragma once

#include "core/record.h"
#include "core/template.h"
#include "disk/sector.h"
#include "resources/resource.h"
#include "standin.h"
#include "ui/app.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <string>

using Record = std::array<std::uint8_t, 512>;

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        standin::Reset();
        if (SectorBuffer == nullptr) {
            ASSERT_TRUE(AllocateSectorBuffer());
        }
        std::memset(SectorBuffer, 0, SectorBufferSize);
        FsKind = FsKindNone;
        OsFamily = OsFamilyNt;
        PrepareDiskAccess(); // the stand-in plays the NT family after a reset
        window = standin::NewWindow();
        standin::Attach(window, MainDialogProc, IDD_MAIN);
        standin::Send(window, WM_INITDIALOG, 0, 0);
        standin::Calls.clear();
    }

    std::string Box(int id) const { return standin::Text(window, id); }
    void Type(int id, const std::string& text) const { standin::SetText(window, id, text); }
    void Menu(int id) const { standin::Send(window, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

    static Record Bytes()
    {
        Record r{};
        std::memcpy(r.data(), SectorBuffer, r.size());
        return r;
    }
    static void Load(const Record& r) { std::memcpy(SectorBuffer, r.data(), r.size()); }

    HWND window = nullptr;
};

// Lists the offsets where two records differ, for failure messages.
inline std::string Differences(const Record& expected, const Record& actual)
{
    std::string out;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != actual[i])
            out += " [" + std::to_string(i) + "] expected " + std::to_string(expected[i]) +
                   " got " + std::to_string(actual[i]) + "\n";
    return out;
}

// The first bytes of a volume of the check's case table, made by mkfs.fat,
// in a record that ends in 55 AA.
inline Record TableVolume(const std::string& name)
{
    std::ifstream table(KELVASHIN_CHECK_CASES);
    std::string line;
    std::string hex;
    bool inVolume = false;
    while (std::getline(table, line)) {
        if (line[0] != ' ')
            inVolume = line.rfind("volume " + name + " ", 0) == 0;
        else if (inVolume)
            hex += line.substr(line.find_first_not_of(' '));
    }
    Record r{};
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        r[i / 2] = static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16));
    r[510] = 0x55;
    r[511] = 0xAA;
    return r;
}
