// The text of the one message box being built: texts of the STRINGTABLE
// appended with their values filled in, then shown owned by the main window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>

// One value filled into a text's placeholder %1 to %9.
enum FillKind : std::uint8_t { FillDecimal, FillHex, FillWide, FillAnsi, FillDrive };
struct Fill {
    FillKind kind;
    std::uint8_t digits; // FillHex: the low digits * 4 bits of number
    std::uint64_t number;
    const void* text; // FillWide: wchar_t; FillAnsi: char in the ANSI code page
};
constexpr Fill Decimal(std::uint64_t value)
{
    return {FillDecimal, 0, value, nullptr};
}
constexpr Fill Hex(std::uint32_t value, int digits)
{
    return {FillHex, static_cast<std::uint8_t>(digits), value, nullptr};
}
constexpr Fill Wide(const wchar_t* text)
{
    return {FillWide, 0, 0, text};
}
constexpr Fill Ansi(const char* text)
{
    return {FillAnsi, 0, 0, text};
}
// A volume: a drive as "A:", an image volume as its file and partition.
constexpr Fill Drive(std::uint32_t drive)
{
    return {FillDrive, 0, drive, nullptr};
}

// Appends the text id with %n replaced by fills[n - 1]; a placeholder without
// a value stays as it is.
void MessageAddText(UINT id, std::initializer_list<Fill> fills = {});

void MessageBegin();
// A volume's name, as the fill Drive gives it.
void AddVolumeName(std::uint32_t volume);
// A number alone, in decimal.
void MessageAddDecimal(std::uint64_t value);
// Characters so far.
int MessageLength();
const wchar_t* MessageText();
// Shows the text in a box of that type owned by the main window; gives the
// button pressed.
int MessageShow(UINT type);
