# One exe for every 32-bit Windows from 95 and NT 4.0 on: no instruction newer
# than the 486, no C++ runtime that pulls in newer imports, the C library from
# msvcrt.dll with its own printf, and a PE header old loaders accept.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=0 WINVER=0x0400 _WIN32_WINNT=0x0400
                        _WIN32_WINDOWS=0x0400 WIN32_LEAN_AND_MEAN)
add_compile_options(-Wall -Wextra -march=i486 -mtune=i686 -Os -ffunction-sections -fdata-sections
                    "$<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions;-fno-rtti;-fno-threadsafe-statics>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:SHELL:-include stdio.h>")
add_link_options(-static -s -Wl,--gc-sections -Wl,--subsystem,windows:4.0
                 -Wl,--major-os-version,4 -Wl,--minor-os-version,0
                 -Wl,--no-insert-timestamp -Wl,--disable-auto-import)
