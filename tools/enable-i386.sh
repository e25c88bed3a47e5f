#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs runnable; Wine's 32-bit loader is one.
# Some virtual machines run a 64-bit kernel without its 32-bit personality:
# every 32-bit program then fails with "Exec format error". There the kernel's
# binfmt_misc hands such programs to qemu-i386-static (user-mode emulation).
# Needs root; the registration lasts until the machine restarts. Does nothing
# where 32-bit programs already run.
set -euo pipefail

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  exit 0
fi
qemu=$(command -v qemu-i386-static) || { echo "enable-i386: qemu-i386-static is missing" >&2; exit 1; }
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-i386" ]; then
  # ELF, 32-bit, little-endian, i386; executables and PIE programs alike.
  # F: the interpreter is opened now, so it serves every mount namespace.
  printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
    >"$binfmt/register"
fi
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "enable-i386: 32-bit programs still do not run" >&2
  exit 1
fi
echo "enable-i386: 32-bit programs run through $qemu (slow: user-mode emulation)"
