#!/usr/bin/env bash
# Installs what is missing, then builds kelvashin.exe and the Windows programs
# the tests use into build/win32/bin.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh

cmake -S . -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw.cmake -DKELVASHIN_TEST_PROGRAMS=ON
cmake --build build/win32
