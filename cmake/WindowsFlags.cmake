# One exe for every 32-bit Windows from 95 and NT 4.0 on: no instruction newer
# than the 486, no C++ runtime that pulls in newer imports, the C library from
# msvcrt.dll with its own printf, and a PE header old loaders accept.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0 WINVER=0x0400 _WIN32_WINNT=0x0400
                        _WIN32_WINDOWS=0x0400 WIN32_LEAN_AND_MEAN)
add_compile_options(-Wall -Wextra -march=i486 -mtune=i686 -Os -ffunction-sections
                    -fno-asynchronous-unwind-tables
                    "$<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions;-fno-rtti;-fno-threadsafe-statics>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:SHELL:-include stdio.h>")
add_link_options(-static -s -Wl,--gc-sections -Wl,--major-os-version,4 -Wl,--minor-os-version,0
                 -Wl,--no-insert-timestamp -Wl,--disable-auto-import)

# Makes an executable target a window program that starts in ui/entry.cpp
# instead of the toolchain's start-up object (crt2.o, which holds conditional
# moves, an instruction of the Pentium Pro and later). The target must compile
# ui/entry.cpp. Subsystem version 4.0 is the one that Windows 95 and NT 4.0
# accept and that gives the 3D dialog look.
function(kelvashin_gui_exe target)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  target_link_options(${target} PRIVATE -nostartfiles
                      -Wl,--subsystem,windows:4.0 -Wl,--entry,_WinMainCRTStartup)
endfunction()
