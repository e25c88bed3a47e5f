// The built-in boot sector template and the commands that build new sectors
// from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The message printed by the template's boot program, from offset 256.
constexpr std::size_t BootMessageOffset = 0x100;
constexpr std::size_t BootProgramOffset = 0x58;
extern const char BootMessage[];

// 512 bytes: jump, OEM name, a zero BPB, the boot program, its message and the
// 0x55 0xAA signature.
extern const std::array<std::uint8_t, 512> BootSectorTemplate;

// Overwrites the record with the template, stores the few fields of the chosen
// layout and sets FsKind. kind is FsKindFat12, FsKindFat16, FsKindFat32 or
// FsKindNtfs; any other value leaves everything unchanged.
void CreateBootSector(std::uint8_t kind);

// Overwrites the record with a complete 1.44 MB floppy sector; FsKind becomes 1.
void ApplyFloppyPreset();
